#ifndef SCRIPT_MENU_KEPT_CODE_IMPORT_H
#define SCRIPT_MENU_KEPT_CODE_IMPORT_H

#include <cstdint>
#include <string>

// The kept code's side in an action's interpreter: what the replacement of importlib's
// SourceLoader.source_to_code works with for one lifetime, which must outlive the interpreter.
struct KeptCodeImport {
  std::string *handing;  // records of the modules compiled, for the program
  std::int64_t magic;
  std::int64_t optimization;  // the interpreter's, which _optimize=-1 stands for
};

// Before the script's first import: modules that earlier actions compiled from the same source are
// loaded from their kept code, and the records of those compiled now go to `import.handing`. Should
// any step fail, modules are compiled as they were without it; no error is left pending.
void UseKeptCode(KeptCodeImport &import);

#endif
