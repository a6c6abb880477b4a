#ifndef SCRIPT_MENU_SCRIPT_BRIDGE_H
#define SCRIPT_MENU_SCRIPT_BRIDGE_H

#include <cstdint>
#include <string>

// Runs function `name` of the script module PythonCode with `value` as its one argument, in an
// interpreter started for this call alone and finalized before returning. Returns the function's
// result as a 32-bit integer, or -1 when the call produced none; every failure is reported on
// standard error by the interpreter's own error printer. A SystemExit raised by the script ends
// the process with its status.
std::int32_t CallScriptFunction(std::string name, std::int32_t value);

#endif
