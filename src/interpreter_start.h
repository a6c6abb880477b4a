#ifndef SCRIPT_MENU_INTERPRETER_START_H
#define SCRIPT_MENU_INTERPRETER_START_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// What an interpreter is started for.
enum class Started {
  // An action: with the user's interpreter settings, as python3 would, save two. No bytecode is
  // written, since the program writes no file, and a cached copy could outlive an edit that keeps
  // the size and modification time of the script. The fault handler is on, as with
  // -X faulthandler, so that a crash shows the Python line it happened at.
  ForScript,
  // The program's own compile of what actions read: without an import system, so that no code
  // of the user's runs (site, .pth files) and the start costs little; the builtins and the
  // compiler are all there is.
  ForCompile,
};

// Starts the interpreter in this process, as the installation the program was linked with, or a
// virtual environment of it that is the first python3 on PATH (docs/internals.md, "An action's
// interpreter").
PyStatus StartInterpreter(Started purpose);

#endif
