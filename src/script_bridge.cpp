#include "script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Reports the pending interpreter error, if any; a pending SystemExit ends the process here.
static void PrintPendingError() {
  if (PyErr_Occurred() != nullptr) {
    PyErr_Print();
  }
}

// The conversion became public in 3.13; older releases only have the private name.
static int ToScriptInteger(PyObject *object) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyLong_AsInt(object);
#else
  return _PyLong_AsInt(object);
#endif
}

std::int32_t CallScriptFunction(std::string name, std::int32_t value) {
  Py_Initialize();
  PyObject *moduleName = PyUnicode_FromString("PythonCode");
  PyObject *module = moduleName != nullptr ? PyImport_Import(moduleName) : nullptr;
  PyObject *arguments = nullptr;
  PyObject *callResult = nullptr;
  if (module == nullptr) {
    PrintPendingError();  // missing file, syntax error or a raising top level: nothing to call
  } else {
    // Both borrowed. A script may leave a non-module in sys.modules: then there is no dictionary.
    PyObject *dictionary = PyModule_GetDict(module);
    PyObject *function =
        dictionary != nullptr ? PyDict_GetItemString(dictionary, name.c_str()) : nullptr;
    if (function == nullptr) {
      PyErr_Format(PyExc_AttributeError, "module 'PythonCode' has no attribute '%s'", name.c_str());
      PrintPendingError();
    } else if (PyCallable_Check(function) == 0) {
      PyErr_Format(PyExc_TypeError, "PythonCode.%s is not callable ('%s' object)", name.c_str(),
                   Py_TYPE(function)->tp_name);
      PrintPendingError();
    } else {
      arguments = Py_BuildValue("(i)", value);
      PrintPendingError();
      if (arguments != nullptr) {
        callResult = PyObject_CallObject(function, arguments);
        PrintPendingError();  // the function's exception, with its traceback
      }
    }
  }
  // None is what a function that only prints returns: no integer, and no error either.
  std::int32_t result = -1;
  if (callResult != nullptr && callResult != Py_None) {
    result = ToScriptInteger(callResult);
    if (result == -1) {
      PrintPendingError();  // not an integer, or outside 32 bits
    }
  }
  Py_XDECREF(callResult);
  Py_XDECREF(arguments);
  Py_XDECREF(module);
  Py_XDECREF(moduleName);
  Py_Finalize();
  return result;
}
