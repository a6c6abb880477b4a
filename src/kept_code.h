#ifndef SCRIPT_MENU_KEPT_CODE_H
#define SCRIPT_MENU_KEPT_CODE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

// The user's own modules have no bytecode (none is written), so each action's child would compile
// them from source. An action returns the source it compiled; a child that runs no script compiles
// it again, and the program keeps that code for later actions, which use it while the source they
// read is still byte for byte the same (docs/internals.md, "The kept code"). This side is the
// program's: what it keeps, and the records in which children return modules.

// At most this many bytes of records are returned by one action, and the memory that kept
// modules take is bounded by this by default; what does not fit is compiled again.
constexpr std::size_t kKeptCodeBytes = std::size_t{32} << 20;

// A module's code as the interpreter's own compile makes it: the path it was compiled under, the
// interpreter's magic number and the optimization level are what it is kept under, and the source
// bytes are what a later import must read again to use it.
struct CompiledModule {
  std::string path;  // UTF-8, lone surrogates passed through, so that no two paths share one
  std::int64_t magic;
  std::int64_t optimization;
  std::string source;
  std::string code;  // marshalled; empty for a module that is looked for
};

// What a kept module is found by; it views the strings of the module kept.
struct ModuleKey {
  std::string_view path;
  std::int64_t magic;
  std::int64_t optimization;

  bool operator==(const ModuleKey &other) const {
    return path == other.path && magic == other.magic && optimization == other.optimization;
  }
};

struct ModuleKeyHash {
  std::size_t operator()(const ModuleKey &key) const;
};

// The modules kept for later actions, the most recently used first, within a bound on the memory
// they take. The menu keeps it for the run; an action's child finds modules in the copy of it that
// fork gave the child. Neither copied nor moved otherwise: the index views the modules' strings.
struct KeptCode {
  std::size_t bound = kKeptCodeBytes;
  std::size_t size = 0;  // the memory the modules take
  std::list<CompiledModule> modules;
  std::unordered_map<ModuleKey, std::list<CompiledModule>::iterator, ModuleKeyHash> index;

  KeptCode() = default;
  ~KeptCode() = default;
  KeptCode(const KeptCode &) = delete;
  KeptCode(KeptCode &&) = delete;
  KeptCode &operator=(const KeptCode &) = delete;
  KeptCode &operator=(KeptCode &&) = delete;
};

// The code kept for a module of the same path, magic number, level and source, or null.
const std::string *FindKeptCode(const KeptCode &kept, const CompiledModule &module);

// What a record says of its module.
enum class RecordKind : std::uint8_t {
  Read,      // an action compiled this source itself, for the program to compile it again
  Used,      // an action used the kept code of this path and level
  Compiled,  // the code that the program's own compile made of this source
};

// In a child: appends a record of `module` to what it returns, while there is room for it.
void AppendRecord(std::string &records, RecordKind kind, const CompiledModule &module);

// The record at `offset` in file `records`, and `offset` moved past it; false at the end, or where
// a size is more than the file holds: the bytes come from a process of the script's.
bool ReadRecord(int records, std::uint64_t &offset, RecordKind &kind, CompiledModule &module);

// Marks the kept modules that an action used as the most recent; returns whether it read source
// that the program should compile.
bool MarkUsed(KeptCode &kept, int records);

// Keeps the code of the Compiled records: a module's new version replaces its old one, and the
// modules least recently used make way for it when the bound is reached. A module larger than the
// bound is not kept. The records are read one by one, so that no more than the bound and one
// module is held at any time.
void KeepCompiled(KeptCode &kept, int records);

#endif
