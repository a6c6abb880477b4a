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

// Reports the pending interpreter error, if any; a pending SystemExit ends the process here.
static void PrintPendingError() {
  if (PyErr_Occurred() != nullptr) {
    PyErr_Print();
  }
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
    if (access(candidate.c_str(), X_OK) == 0) {
      std::error_code error;
      const bool linked = fs::equivalent(candidate, SCRIPT_MENU_PYTHON, error);
      const bool environment = fs::exists(candidate.parent_path() / ".." / "pyvenv.cfg", error);
      return linked && environment ? fs::absolute(candidate, error).string() : SCRIPT_MENU_PYTHON;
    }
  }
  return SCRIPT_MENU_PYTHON;
}

// Starts the interpreter of this action with the user's interpreter settings, as python3 would,
// save three. No bytecode is written from the start on: the program writes no file, and a cached
// copy could outlive an edit that keeps the size and modification time of the script. The fault
// handler is on, as with -X faulthandler, so that a crash shows the Python line it happened at.
// PYTHONINSPECT would keep the script's SystemExit from ending the program; the interpreter reads
// it while it starts, whatever the configuration says, so it is out of the environment for that
// time.
static PyStatus StartInterpreter() {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.write_bytecode = 0;
  config.faulthandler = 1;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ProgramName().c_str());
  if (!PyStatus_Exception(status)) {
    const char *inspect = std::getenv("PYTHONINSPECT");
    const std::optional<std::string> inspectSetting =
        inspect != nullptr ? std::optional<std::string>(inspect) : std::nullopt;
    unsetenv("PYTHONINSPECT");
    status = Py_InitializeFromConfig(&config);
    if (inspectSetting) {
      setenv("PYTHONINSPECT", inspectSetting->c_str(), 1);
    }
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
static void ReadOnlyWhatScriptsUse() {
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
  PrintPendingError();
  Py_XDECREF(done);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

// One whole interpreter lifetime: start, import, look up, call, convert, release, finalize.
std::int32_t RunScriptFunction(const std::string &name, std::int32_t value) {
  const PyStatus start = StartInterpreter();
  if (PyStatus_Exception(start)) {
    // What a failed start leaves behind goes with the process that made it.
    std::cerr << "script-menu: the script's interpreter could not start: ";
    if (start.func != nullptr) {
      std::cerr << start.func << ": ";
    }
    std::cerr << (start.err_msg != nullptr ? start.err_msg : "no reason given") << std::endl;
    return -1;
  }
  ReadOnlyWhatScriptsUse();
  PyObject *moduleName = PyUnicode_FromString("PythonCode");
  PyObject *module = moduleName != nullptr ? PyImport_Import(moduleName) : nullptr;
  PyObject *function = nullptr;
  PyObject *arguments = nullptr;
  PyObject *callResult = nullptr;
  if (module == nullptr) {
    PrintPendingError();  // missing file, syntax error or a raising top level: nothing to call
  } else {
    // As python3 looks it up: a module __getattr__ may supply it.
    function = PyObject_GetAttrString(module, name.c_str());
    if (function == nullptr) {
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
  // None is what a function that only prints returns: no integer, and no error either. Only
  // __index__ counts as an integer, so that no release truncates a float.
  std::int32_t result = -1;
  if (callResult != nullptr && callResult != Py_None) {
    PyObject *integer = PyNumber_Index(callResult);
    if (integer != nullptr) {
      result = ToScriptInteger(integer);
      Py_DECREF(integer);
    }
    PrintPendingError();  // not an integer, or outside 32 bits
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
  const ChildOutcome outcome =
      RunInChild([&name, value] { return RunScriptFunction(name, value); });
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
