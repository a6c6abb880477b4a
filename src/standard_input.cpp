#include "standard_input.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include "standard_input_source.h"  // kStandardInputSource, made from standard_input.py

void InstallStandardInput(bool lineFeedToDrop) {
  if (isatty(STDIN_FILENO) != 0) {
    return;
  }
  PyObject *code = Py_CompileString(kStandardInputSource, "<script-menu stdin>", Py_file_input);
  PyObject *globals = code != nullptr ? PyDict_New() : nullptr;
  PyObject *done = nullptr;
  if (globals != nullptr &&
      PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
      PyDict_SetItemString(globals, "line_feed_to_drop", lineFeedToDrop ? Py_True : Py_False) ==
          0) {
    done = PyEval_EvalCode(code, globals, globals);
  }
  Py_XDECREF(done);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}
