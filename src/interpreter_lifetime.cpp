#include "interpreter_lifetime.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include "interpreter_start.h"
#include "kept_code_import.h"
#include "standard_input.h"

// The pending exception, normalized and taken out of the interpreter while this lives.
struct PendingError {
  PyObject *type = nullptr;
  PyObject *value = nullptr;
  PyObject *traceback = nullptr;

  PendingError() {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
  }
  ~PendingError() {
    Py_XDECREF(traceback);
    Py_XDECREF(value);
    Py_XDECREF(type);
  }
  PendingError(const PendingError &) = delete;
  PendingError(PendingError &&) = delete;
  PendingError &operator=(const PendingError &) = delete;
  PendingError &operator=(PendingError &&) = delete;
};

// The exit status that python3 makes of the pending SystemExit: its code when that is None (0) or
// an integer, else 1, with the code written to sys.stderr.
static int SystemExitStatus() {
  const PendingError systemExit;
  PyObject *code =
      systemExit.value != nullptr ? PyObject_GetAttrString(systemExit.value, "code") : nullptr;
  PyErr_Clear();
  PyObject *shown = code != nullptr ? code : systemExit.value;
  int status = 0;
  if (shown != nullptr && PyLong_Check(shown)) {
    status = static_cast<int>(PyLong_AsLong(shown));
  } else if (shown != nullptr && shown != Py_None) {
    PyObject *errors = PySys_GetObject("stderr");
    if (errors != nullptr && errors != Py_None &&
        PyFile_WriteObject(shown, errors, Py_PRINT_RAW) == 0) {
      PyFile_WriteString("\n", errors);
    }
    status = 1;
  }
  PyErr_Clear();
  Py_XDECREF(code);
  return status;
}

// Reports the pending interpreter error, if any. A SystemExit is not reported but kept, as the
// status with which the script ends its process once the interpreter is finalized.
static void PrintPendingError(std::optional<int> &exitStatus) {
  if (PyErr_Occurred() == nullptr) {
    return;
  }
  if (PyErr_ExceptionMatches(PyExc_SystemExit) != 0) {
    exitStatus = SystemExitStatus();
  } else {
    PyErr_Print();
  }
}

// The exception that made the start fail, as python3 prints it with its fatal error.
static void PrintStartException() {
  if (PyGILState_GetThisThreadState() == nullptr || PyErr_Occurred() == nullptr) {
    return;
  }
  const PendingError failure;
  PyErr_Display(failure.type, failure.value, failure.traceback);
}

static void ReportFailedStart(const PyStatus &start) {
  // What a failed start leaves behind goes with the process that made it.
  PrintStartException();
  std::cerr << "script-menu: the script's interpreter could not start: ";
  if (start.func != nullptr) {
    std::cerr << start.func << ": ";
  }
  std::cerr << (start.err_msg != nullptr ? start.err_msg : "no reason given") << std::endl;
}

// The conversion became public in 3.13; older releases only have the private name.
static int ToScriptInteger(PyObject *integer) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyLong_AsInt(integer);
#else
  return _PyLong_AsInt(integer);
#endif
}

// None is what a function that only prints returns: no integer, and no error either. Only
// __index__ counts as an integer, so that no release truncates a float.
static std::int32_t Converted(PyObject *callResult, std::optional<int> &exitStatus) {
  std::int32_t result = -1;
  if (callResult != nullptr && callResult != Py_None) {
    PyObject *integer = PyNumber_Index(callResult);
    if (integer != nullptr) {
      result = ToScriptInteger(integer);
      Py_DECREF(integer);
    }
    PrintPendingError(exitStatus);  // not an integer, or outside 32 bits
  }
  return result;
}

std::int32_t RunScriptFunction(const std::string &name, std::int32_t value, bool lineFeedToDrop,
                               const KeptCode &kept, std::optional<int> &exitStatus,
                               std::string &records) {
  const PyStatus start = StartInterpreter(Started::ForScript);
  if (PyStatus_Exception(start)) {
    ReportFailedStart(start);
    return -1;
  }
  KeptCodeImport import{&kept, &records, -1, -1};
  UseKeptCode(import);
  InstallStandardInput(lineFeedToDrop);
  PrintPendingError(exitStatus);
  PyObject *moduleName = PyUnicode_FromString("PythonCode");
  PyObject *module = moduleName != nullptr ? PyImport_Import(moduleName) : nullptr;
  PyObject *function = nullptr;
  PyObject *arguments = nullptr;
  PyObject *callResult = nullptr;
  if (module == nullptr) {
    // missing file, syntax error or a raising top level: nothing to call
    PrintPendingError(exitStatus);
  } else {
    // As python3 looks it up: a module __getattr__ may supply it.
    function = PyObject_GetAttrString(module, name.c_str());
    if (function == nullptr) {
      PrintPendingError(exitStatus);
    } else if (PyCallable_Check(function) == 0) {
      PyErr_Format(PyExc_TypeError, "PythonCode.%s is not callable ('%s' object)", name.c_str(),
                   Py_TYPE(function)->tp_name);
      PrintPendingError(exitStatus);
    } else {
      arguments = Py_BuildValue("(i)", value);
      PrintPendingError(exitStatus);
      if (arguments != nullptr) {
        callResult = PyObject_CallObject(function, arguments);
        PrintPendingError(exitStatus);  // the function's exception, with its traceback
      }
    }
  }
  const std::int32_t result = Converted(callResult, exitStatus);
  Py_XDECREF(callResult);
  Py_XDECREF(arguments);
  Py_XDECREF(function);
  Py_XDECREF(module);
  Py_XDECREF(moduleName);
  if (Py_FinalizeEx() < 0) {
    std::cerr << "script-menu: the script's output could not be written in full" << std::endl;
  }
  return result;
}
