#ifndef SCRIPT_MENU_KEPT_CODE_IMPORT_H
#define SCRIPT_MENU_KEPT_CODE_IMPORT_H

#include <cstdint>
#include <string>

#include "kept_code.h"

// The kept code's side in an action's interpreter: what the replacement of importlib's
// SourceLoader.source_to_code works with for one lifetime, which must outlive the interpreter.
struct KeptCodeImport {
  const KeptCode *kept;    // the program's, as fork copied it
  std::string *returning;  // records of the modules compiled or used, for the program
  std::int64_t magic;
  std::int64_t optimization;  // the interpreter's, which _optimize=-1 stands for
};

// Before the script's first import: modules that earlier actions compiled from the same source are
// loaded from their kept code, and the records of those compiled or used now go to
// `import.returning`. Kept code stands only for what the interpreter's own compile makes: while the
// compile that importlib calls is another (a script may replace builtins.compile, or set one in
// importlib's module), modules are compiled as python3 -B would, and none of them is returned.
// Should any step fail, modules are compiled as they were without it; no error is left pending.
void UseKeptCode(KeptCodeImport &import);

#endif
