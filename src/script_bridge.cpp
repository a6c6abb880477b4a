#include "script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

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

// One whole interpreter lifetime: start, import, look up, call, convert, release, finalize. Kept
// out of line so that a leak checker can tell what the lifetime left allocated by this frame.
[[gnu::noinline]] static std::int32_t RunScriptFunction(const std::string &name,
                                                        std::int32_t value) {
  Py_Initialize();
  // The program writes no file, and a cached copy could outlive an edit that keeps the size and
  // modification time of the script.
  PySys_SetObject("dont_write_bytecode", Py_True);
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
  Py_XDECREF(module);
  Py_XDECREF(moduleName);
  Py_Finalize();
  return result;
}

// Where the child leaves its result: memory shared with the program, which a script cannot close
// the way it can close an inherited descriptor. `from` names the process that left it there.
struct HandOver {
  pid_t from;
  std::int32_t result;
};

// The child's half. The program is single-threaded and has never started the interpreter, so the
// child is a whole process of its own and may run the interpreter's lifetime as a fresh one would.
// It hands the result over unless it is a copy that the script forked and let return, and leaves
// without flushing or destroying anything inherited from the program.
[[noreturn]] static void RunInChild(const std::string &name, std::int32_t value,
                                    const ProgramState &program, HandOver &handOver) {
  StartChild(program);
  const pid_t self = getpid();
  const std::int32_t result = RunScriptFunction(name, value);
  if (getpid() == self) {
    handOver.result = result;
    handOver.from = self;
  }
  std::fflush(stdout);  // what a C extension printed: the inherited buffer was empty
  _exit(EXIT_SUCCESS);
}

static std::int32_t Failed(const char *what, int error) {
  std::cerr << "script-menu: " << what << ": " << std::strerror(error) << std::endl;
  return -1;
}

std::int32_t CallScriptFunction(std::string name, std::int32_t value) {
  std::cout.flush();
  std::fflush(nullptr);  // the child must not inherit output that it could write again
  void *shared =
      mmap(nullptr, sizeof(HandOver), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    return Failed("cannot share memory with the script's interpreter", errno);
  }
  HandOver *handOver = new (shared) HandOver{0, -1};
  const ProgramState program = PrepareForChild();
  const pid_t child = fork();
  if (child == 0) {
    RunInChild(name, value, program, *handOver);
  }
  if (child == -1) {
    const int error = errno;
    RestoreAfterChild(program);
    munmap(shared, sizeof(HandOver));
    return Failed("cannot start the script's interpreter", error);
  }
  int status = 0;
  int passedOn = 0;
  const bool reaped = WaitForChild(child, program, status, passedOn);
  const int error = errno;
  const HandOver received = *handOver;
  RestoreAfterChild(program);
  munmap(shared, sizeof(HandOver));
  if (!reaped) {
    return Failed("cannot wait for the script's interpreter", error);
  }
  if (passedOn != 0) {
    EndBySignal(passedOn);
  }
  if (WIFSIGNALED(status)) {
    std::cerr << "script-menu: the script's interpreter was killed by signal " << WTERMSIG(status)
              << " (" << strsignal(WTERMSIG(status)) << ")" << std::endl;
    return -1;
  }
  if (received.from != child) {
    // SystemExit or os._exit: the script ends the program, as it would end a Python process.
    std::exit(WEXITSTATUS(status));
  }
  return received.result;
}
