#ifndef SCRIPT_MENU_KEPT_CODE_IMPORT_H
#define SCRIPT_MENU_KEPT_CODE_IMPORT_H

#include <cstdint>
#include <string>

#include "kept_code.h"

// The kept code's side in an action's interpreter: what the replacement of importlib's
// SourceLoader.source_to_code works with for one lifetime, which must outlive the interpreter.
struct KeptCodeImport {
  const KeptCode *kept;    // the program's, as fork copied it
  std::string *returning;  // records of the modules read or used, for the program
  std::int64_t magic;
  std::int64_t optimization;  // the interpreter's, which _optimize=-1 stands for
};

// Before the script's first import: modules whose source the program compiled already are loaded
// from the kept code, while the compile that importlib calls is the interpreter's own (a script
// may replace builtins.compile, or set one in importlib's module: its imports then compile as
// with python3 -B). The source of the modules compiled now, and the paths of those loaded, go to
// `import.returning` as records. Should any step fail, modules are compiled as they were without
// it; no error is left pending.
void UseKeptCode(KeptCodeImport &import);

#endif
