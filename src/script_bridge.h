#ifndef SCRIPT_MENU_SCRIPT_BRIDGE_H
#define SCRIPT_MENU_SCRIPT_BRIDGE_H

#include <cstdint>
#include <string>

#include "kept_code.h"

// Runs function `name` of the script module PythonCode with `value` as its one argument, in an
// interpreter started for this call alone, in a child process of its own, and finalized before
// returning. Returns the function's result as a 32-bit integer, or -1 when the call produced none;
// every failure is reported on standard error by the interpreter's own error printer, and one that
// the interpreter cannot report (a child killed by a signal, one that cannot be started) by one
// line of the program's. A script that ends its process (SystemExit, os._exit) ends the program
// with that status; SIGTERM or SIGHUP that reaches the program meanwhile is passed on to the child,
// and ends the program once the child has ended. `lineFeedToDrop`: the line that gave `value` ended
// in a CR whose LF may still come on standard input, for the script's sys.stdin to drop. The source
// of the script's own modules that the action compiled is compiled again by the program, in a child
// that runs no script, and that code is kept in `kept` for later calls.
std::int32_t CallScriptFunction(std::string name, std::int32_t value, bool lineFeedToDrop,
                                KeptCode &kept);

#endif
