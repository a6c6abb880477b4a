#ifndef SCRIPT_MENU_KEPT_CODE_H
#define SCRIPT_MENU_KEPT_CODE_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

// The user's own modules have no bytecode (none is written), so each action's child would compile
// them from source. The code that one child compiles goes back to the program instead, and later
// children use it while the source they read is still byte for byte the same. This side is the
// program's: what it keeps, and the records in which a child returns modules.

// At most this many bytes of records are returned by one action, and the memory that kept
// modules take is bounded by this by default; what does not fit is compiled again.
constexpr std::size_t kKeptCodeBytes = std::size_t{32} << 20;

// A module's code as importlib compiled it: the path it was compiled under, the interpreter's magic
// number and the optimization level are what it is kept under, and the source bytes are what a
// later import must read again to use it.
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

// In a child: appends to what it returns a record of a module it compiled, or one that says
// that it used the kept code of `module`, while there is room for it.
void AppendCompiled(std::string &returning, const CompiledModule &module);
void AppendUsed(std::string &returning, const CompiledModule &module);

// Keeps the modules whose records a child returned: a module's new version replaces its old one,
// and the modules least recently used make way for it when the bound is reached. A module larger
// than the bound is not kept.
void KeepReturned(KeptCode &kept, std::string_view returned);

#endif
