#include "script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "child_process.h"

// The exit status that python3 makes of the pending SystemExit: its code when that is None (0) or
// an integer, else 1, with the code written to sys.stderr.
static int SystemExitStatus() {
  PyObject *type = nullptr;
  PyObject *exception = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
  PyObject *code = exception != nullptr ? PyObject_GetAttrString(exception, "code") : nullptr;
  PyErr_Clear();
  PyObject *shown = code != nullptr ? code : exception;
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
  Py_XDECREF(traceback);
  Py_XDECREF(exception);
  Py_XDECREF(type);
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
  PyObject *type = nullptr;
  PyObject *exception = nullptr;
  PyObject *traceback = nullptr;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
  PyErr_Display(type, exception, traceback);
  Py_XDECREF(traceback);
  Py_XDECREF(exception);
  Py_XDECREF(type);
}

// The conversion became public in 3.13; older releases only have the private name.
static int ToScriptInteger(PyObject *integer) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyLong_AsInt(integer);
#else
  return _PyLong_AsInt(integer);
#endif
}

// The interpreter the program was linked with, or a virtual environment made from it when that is
// the first python3 on PATH, as its activate script arranges, so that its packages can be imported.
static std::string ProgramName() {
  namespace fs = std::filesystem;
  const char *searchPath = std::getenv("PATH");
  std::istringstream folders(searchPath != nullptr ? searchPath : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const fs::path candidate = fs::path(folder.empty() ? "." : folder) / "python3";
    std::error_code error;
    // As execvp searches: a folder, or a file that cannot be run, named python3 is passed over.
    if (fs::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0) {
      const bool linked = fs::equivalent(candidate, SCRIPT_MENU_PYTHON, error);
      const bool environment = fs::exists(candidate.parent_path() / ".." / "pyvenv.cfg", error);
      return linked && environment ? fs::absolute(candidate, error).string() : SCRIPT_MENU_PYTHON;
    }
  }
  return SCRIPT_MENU_PYTHON;
}

// Starts the interpreter of this action with the user's interpreter settings, as python3 would,
// save two. No bytecode is written, since the program writes no file, and a cached copy could
// outlive an edit that keeps the size and modification time of the script. The fault handler is
// on, as with -X faulthandler, so that a crash shows the Python line it happened at.
static PyStatus StartInterpreter() {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.write_bytecode = 0;
  config.faulthandler = 1;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ProgramName().c_str());
  if (!PyStatus_Exception(status)) {
    status = Py_InitializeFromConfig(&config);
  }
  PyConfig_Clear(&config);
  return status;
}

// Python's own sys.stdin reads ahead a buffer's worth, and a pipe or a file cannot take back what
// the script left unread: the menu would never see it. This one is python3's in all but its raw
// file, whose reads stop at the first line end: a byte a read on a pipe, and on a regular file a
// block cut after its first line end, the descriptor moved back over the rest. The block is small
// so that a large read does not read far past every line end. Reading all goes in large blocks.
static const char *const kStandardInput = R"py(
import io, os, stat, sys


class StdinFileIO(io.FileIO):
    __module__ = "script_menu"
    read = io.RawIOBase.read  # through readinto, which FileIO's own read bypasses

    def __init__(self):
        super().__init__(0, "rb", closefd=False)
        self.regular = stat.S_ISREG(os.fstat(0).st_mode)

    def readinto(self, buffer):
        if not self.regular:
            return super().readinto(memoryview(buffer)[:1])
        block = os.read(0, min(len(buffer), 1024))
        end = block.find(b"\n") + 1 or len(block)
        if end < len(block):
            os.lseek(0, end - len(block), os.SEEK_CUR)
        memoryview(buffer)[:end] = block[:end]
        return end


old = sys.__stdin__
if old is not None:
    raw = StdinFileIO()
    raw.name = old.name
    # python3 splits standard input at "\n" on POSIX and translates no line end.
    new = io.TextIOWrapper(io.BufferedReader(raw), old.encoding, old.errors, "\n",
                           old.line_buffering)
    new.mode = old.mode
    if sys.stdin is old:
        sys.stdin = new
    sys.__stdin__ = new
)py";

// On a terminal each read returns at most a line anyway, and python3's sys.stdin stays. When the
// replacement cannot be made, the script gets python3's, after the error's report.
static void ReadOnlyWhatScriptsUse(std::optional<int> &exitStatus) {
  if (isatty(STDIN_FILENO) != 0) {
    return;
  }
  PyObject *code = Py_CompileString(kStandardInput, "<script-menu stdin>", Py_file_input);
  PyObject *globals = code != nullptr ? PyDict_New() : nullptr;
  PyObject *done = nullptr;
  if (globals != nullptr &&
      PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0) {
    done = PyEval_EvalCode(code, globals, globals);
  }
  PrintPendingError(exitStatus);
  Py_XDECREF(done);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

// One whole interpreter lifetime: start, import, look up, call, convert, release, finalize.
std::int32_t RunScriptFunction(const std::string &name, std::int32_t value,
                               std::optional<int> &exitStatus) {
  const PyStatus start = StartInterpreter();
  if (PyStatus_Exception(start)) {
    // What a failed start leaves behind goes with the process that made it.
    PrintStartException();
    std::cerr << "script-menu: the script's interpreter could not start: ";
    if (start.func != nullptr) {
      std::cerr << start.func << ": ";
    }
    std::cerr << (start.err_msg != nullptr ? start.err_msg : "no reason given") << std::endl;
    return -1;
  }
  ReadOnlyWhatScriptsUse(exitStatus);
  PyObject *moduleName = PyUnicode_FromString("PythonCode");
  PyObject *module = moduleName != nullptr ? PyImport_Import(moduleName) : nullptr;
  PyObject *function = nullptr;
  PyObject *arguments = nullptr;
  PyObject *callResult = nullptr;
  if (module == nullptr) {
    PrintPendingError(
        exitStatus);  // missing file, syntax error or a raising top level: nothing to call
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
  // None is what a function that only prints returns: no integer, and no error either. Only
  // __index__ counts as an integer, so that no release truncates a float.
  std::int32_t result = -1;
  if (callResult != nullptr && callResult != Py_None) {
    PyObject *integer = PyNumber_Index(callResult);
    if (integer != nullptr) {
      result = ToScriptInteger(integer);
      Py_DECREF(integer);
    }
    PrintPendingError(exitStatus);  // not an integer, or outside 32 bits
  }
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

static std::int32_t Failed(const char *what, int error) {
  std::cerr << "script-menu: " << what << ": " << std::strerror(error) << std::endl;
  return -1;
}

// The program is single-threaded and has never started the interpreter, so the child is a whole
// process of its own and may run the interpreter's lifetime as a fresh one would.
std::int32_t CallScriptFunction(std::string name, std::int32_t value) {
  std::string handed;
  const ChildOutcome outcome = RunInChild(
      [&name, value](std::string &) {
        std::optional<int> exitStatus;
        const std::int32_t result = RunScriptFunction(name, value, exitStatus);
        if (exitStatus) {
          EndChild(*exitStatus);  // the script's process ends, not the program whose copy it is
        }
        return result;
      },
      0, handed);
  if (outcome.end == ChildEnd::NotStarted) {
    return Failed("cannot start the script's interpreter", outcome.status);
  }
  if (outcome.end == ChildEnd::NotWaited) {
    return Failed("cannot wait for the script's interpreter", outcome.status);
  }
  if (outcome.passedOn != 0) {
    EndBySignal(outcome.passedOn);
  }
  if (outcome.end == ChildEnd::Killed) {
    std::cerr << "script-menu: the script's interpreter was killed by signal " << outcome.status
              << " (" << strsignal(outcome.status) << ")" << std::endl;
    return -1;
  }
  if (outcome.end == ChildEnd::Exited) {
    // SystemExit or os._exit: the script ends the program, as it would end a Python process.
    std::exit(outcome.status);
  }
  return outcome.result;
}
