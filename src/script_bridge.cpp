#include "script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

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
// save two. No bytecode is written from the start on: the program writes no file, and a cached copy
// could outlive an edit that keeps the size and modification time of the script. PYTHONINSPECT
// would keep the script's SystemExit from ending the program; the interpreter reads it while it
// starts, whatever the configuration says, so it is out of the environment for that time.
static PyStatus StartInterpreter() {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.write_bytecode = 0;
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

// What the program changes while a child runs, and what it shares with the child and takes back
// afterwards: a script may leave the standard streams non-blocking or the terminal raw.
struct ProgramState {
  struct sigaction interrupt;
  struct sigaction quit;
  std::array<int, 3> streamFlags;
  bool terminal;
  termios terminalSettings;
};

static ProgramState PrepareForChild() {
  ProgramState state{};
  // Ctrl-C while the script runs is the script's alone, as with system(3).
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &state.interrupt);
  sigaction(SIGQUIT, &ignore, &state.quit);
  for (int stream = 0; stream < 3; ++stream) {
    state.streamFlags[stream] = fcntl(stream, F_GETFL);
  }
  state.terminal = tcgetattr(STDIN_FILENO, &state.terminalSettings) == 0;
  return state;
}

static void RestoreAfterChild(const ProgramState &state) {
  for (int stream = 0; stream < 3; ++stream) {
    const int flags = fcntl(stream, F_GETFL);
    const int saved = state.streamFlags[stream];
    if (flags != -1 && saved != -1 && (flags & O_NONBLOCK) != (saved & O_NONBLOCK)) {
      fcntl(stream, F_SETFL, (flags & ~O_NONBLOCK) | (saved & O_NONBLOCK));
    }
  }
  termios settings{};
  if (state.terminal && tcgetattr(STDIN_FILENO, &settings) == 0 &&
      std::memcmp(&settings, &state.terminalSettings, sizeof settings) != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &state.terminalSettings);
  }
  sigaction(SIGINT, &state.interrupt, nullptr);
  sigaction(SIGQUIT, &state.quit, nullptr);
}

// The interpreter installs its own SIGINT handler only over the default disposition, so the
// child starts from defaults and an empty mask, whatever the program was started with.
static void ResetSignals() {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int number = 1; number < NSIG; ++number) {
    sigaction(number, &byDefault, nullptr);  // fails harmlessly for SIGKILL, SIGSTOP and the like
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Where the child leaves its result: memory shared with the program, which a script cannot close
// the way it can close an inherited descriptor.
struct HandOver {
  std::int32_t result;
  bool done;
};

// The child's half: run the lifetime, hand the result over, and leave without flushing or
// destroying anything inherited from the program.
[[noreturn]] static void RunInChild(const std::string &name, std::int32_t value,
                                    HandOver &handOver) {
  ResetSignals();
  handOver.result = RunScriptFunction(name, value);
  handOver.done = true;
  std::fflush(stdout);  // what a C extension printed: the inherited buffer was empty
  _exit(EXIT_SUCCESS);
}

std::int32_t CallScriptFunction(std::string name, std::int32_t value) {
  std::cout.flush();
  std::fflush(nullptr);  // the child must not inherit output that it could write again
  const ProgramState saved = PrepareForChild();
  void *shared =
      mmap(nullptr, sizeof(HandOver), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  HandOver *handOver = shared != MAP_FAILED ? new (shared) HandOver{-1, false} : nullptr;
  const pid_t child = handOver != nullptr ? fork() : -1;
  if (child == 0) {
    RunInChild(name, value, *handOver);
  }
  const int startError = errno;
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) == -1 && errno == EINTR) {
  }
  const bool handedOver = child > 0 && handOver->done;
  const std::int32_t result = handedOver ? handOver->result : -1;
  if (handOver != nullptr) {
    munmap(shared, sizeof(HandOver));
  }
  RestoreAfterChild(saved);

  if (child == -1) {
    std::cerr << "script-menu: cannot start the script's interpreter: " << std::strerror(startError)
              << std::endl;
    return -1;
  }
  if (WIFSIGNALED(status)) {
    std::cerr << "script-menu: the script's interpreter was killed by signal " << WTERMSIG(status)
              << " (" << strsignal(WTERMSIG(status)) << ")" << std::endl;
    return -1;
  }
  if (!handedOver) {
    // SystemExit or os._exit: the script ends the program, as it would end a Python process.
    std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : EXIT_FAILURE);
  }
  return result;
}
