#ifndef SCRIPT_MENU_INTERPRETER_LIFETIME_H
#define SCRIPT_MENU_INTERPRETER_LIFETIME_H

#include <cstdint>
#include <optional>
#include <string>

// One whole interpreter lifetime, run in the calling process: start with the user's settings,
// import PythonCode, look up and call function `name` with `value`, convert its result, release,
// finalize. Returns the result as a 32-bit integer, or -1 when the call produced none; failures
// are reported on standard error by the interpreter's own error printer. A SystemExit of the
// script's is not reported but kept in `exitStatus`, as the status python3 would end with. The
// records of the script's own modules that it compiles from source are appended to `compiled`
// (kept_code.h). Out of line, so that a leak checker can tell what the lifetime left allocated by
// its frame; the benchmark measures it.
// `lineFeedDue` goes to the script's standard input (standard_input.h).
[[gnu::noinline]] std::int32_t RunScriptFunction(const std::string &name, std::int32_t value,
                                                 bool lineFeedDue, std::optional<int> &exitStatus,
                                                 std::string &compiled);

#endif
