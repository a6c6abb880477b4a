#ifndef SCRIPT_MENU_KEPT_CODE_H
#define SCRIPT_MENU_KEPT_CODE_H

#include <cstddef>
#include <cstdint>
#include <string>

// The user's own modules have no bytecode (none is written), so each action's child would compile
// them from source. The code that one child compiles goes back to the program instead, and later
// children use it while the source they read is still byte for byte the same. This side is the
// program's: what it keeps, and the records in which a child hands modules over.

// At most this many bytes of modules are kept, and handed over by one action; what does not fit is
// compiled at every action.
constexpr std::size_t kKeptCodeBytes = std::size_t{32} << 20;

// A module's code as importlib compiled it: the path it was compiled under, the optimization level
// and the interpreter's magic number are what it is kept under, and the source bytes are what a
// later import must read again to use it.
struct CompiledModule {
  std::string path;  // UTF-8, lone surrogates passed through, so that no two paths share one
  std::int64_t magic;
  std::int64_t optimization;
  std::string source;
  std::string code;  // marshalled; empty for a module that is being looked for
};

// The code kept for a module of the same path, magic number, level and source, or null.
const std::string *FindKeptCode(const CompiledModule &module);

// Appends a record of `module` to what a child hands over, while there is room for it.
void AppendRecord(std::string &handing, const CompiledModule &module);

// Keeps the modules whose records a child handed over: a module's new version replaces its old one,
// and is kept when it fits within the bound.
void KeepHandedOver(const std::string &handed);

#endif
