#include "standard_input.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>
#include <unistd.h>

#include "standard_input_code.h"    // kStandardInputCode and its magic number, compiled from it
#include "standard_input_source.h"  // kStandardInputSource, made from standard_input.py

// As the program was built, where this interpreter's bytecode is the same; else compiled now.
static PyObject *StandardInputCode() {
  if (PyImport_GetMagicNumber() == kStandardInputMagic) {
    PyObject *code = PyMarshal_ReadObjectFromString(
        reinterpret_cast<const char *>(kStandardInputCode), sizeof kStandardInputCode);
    if (code != nullptr) {
      return code;
    }
  }
  PyErr_Clear();
  return Py_CompileString(kStandardInputSource, "<script-menu stdin>", Py_file_input);
}

void InstallStandardInput(bool lineFeedToDrop) {
  if (isatty(STDIN_FILENO) != 0) {
    return;
  }
  PyObject *code = StandardInputCode();
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
