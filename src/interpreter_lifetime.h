#ifndef SCRIPT_MENU_INTERPRETER_LIFETIME_H
#define SCRIPT_MENU_INTERPRETER_LIFETIME_H

#include <cstdint>
#include <optional>
#include <string>

#include "kept_code.h"

// One whole interpreter lifetime, run in the calling process: start with the user's settings,
// import PythonCode, look up and call function `name` with `value`, convert its result, release,
// finalize. Returns the result as a 32-bit integer, or -1 when the call produced none; failures
// are reported on standard error by the interpreter's own error printer. A SystemExit of the
// script's is not reported but kept in `exitStatus`, as the status python3 would end with. The
// script's own modules are loaded from `kept` where their source is the same, and records of the
// source of those it compiles, and of those it loads, are appended to `records`. `lineFeedToDrop`
// goes to the script's standard input (standard_input.h). Out of line, so that a leak checker can
// tell what the lifetime left allocated by its frame; the benchmark measures it.
[[gnu::noinline]] std::int32_t RunScriptFunction(const std::string &name, std::int32_t value,
                                                 bool lineFeedToDrop, const KeptCode &kept,
                                                 std::optional<int> &exitStatus,
                                                 std::string &records);

#endif
