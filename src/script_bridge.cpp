#include "script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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

// The user's own modules have no bytecode (none is written), so each action's child would compile
// them from source. The code that one child compiles goes back to the program instead, and later
// children use it while the source they read is still byte for byte the same.

// At most this many bytes of modules are kept, and handed over by one action; what does not fit is
// compiled at every action.
static constexpr std::size_t kCompiledBytes = std::size_t{32} << 20;

// A module's code as importlib compiled it: the path it was compiled under, the optimization level
// and the interpreter's magic number are what it is kept under, and the source bytes are what a
// later import must read again to use it.
struct CompiledModule {
  std::string path;  // UTF-8, lone surrogates passed through, so that no two paths share one
  std::int64_t magic;
  std::int64_t optimization;
  std::string source;
  std::string code;  // marshalled
};

// The modules this run's actions compiled. CallScriptFunction takes no state of its own, so they
// live in a function-local static for the life of the program; an action's child reads them in the
// copy of the program's memory that fork gave it.
static std::vector<CompiledModule> &CompiledModules() {
  static std::vector<CompiledModule> modules;
  return modules;
}

// How a child hands a compiled module over: this, then the path, the source and the code.
struct ModuleRecord {
  std::uint64_t pathSize;
  std::uint64_t sourceSize;
  std::uint64_t codeSize;
  std::int64_t magic;
  std::int64_t optimization;
};

// What the replacement of SourceLoader.source_to_code works with during one lifetime.
struct ModuleCache {
  std::string *handing;  // records of the modules compiled, for the program
  std::int64_t magic;
  std::int64_t optimization;  // the interpreter's, which _optimize=-1 stands for
};

// A call of source_to_code as importlib makes it: source bytes, a path, at most _optimize besides.
struct CompileCall {
  PyObject *pathBytes;  // the path encoded, or null for a call the cache leaves alone
  std::string_view path;
  std::string_view source;
  std::int64_t optimization;
};

static constexpr std::int64_t kNoLevel = -2;

static std::string_view BytesOf(PyObject *bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// The level a call compiles with, or kNoLevel for keywords or a level that compile itself handles.
static std::int64_t OptimizationOf(const ModuleCache &cache, PyObject *keywords) {
  if (keywords == nullptr) {
    return cache.optimization;
  }
  PyObject *level = PyDict_GetItemString(keywords, "_optimize");
  if (PyDict_Size(keywords) != 1 || level == nullptr || PyLong_CheckExact(level) == 0) {
    return kNoLevel;
  }
  int overflow = 0;
  const long number = PyLong_AsLongAndOverflow(level, &overflow);
  if (number == -1 && overflow == 0) {
    return cache.optimization;
  }
  return number >= 0 && number <= 2 ? number : kNoLevel;
}

// The module that a call compiles, when it is a call the cache takes.
static CompileCall ReadCompileCall(const ModuleCache &cache, PyObject *arguments,
                                   PyObject *keywords) {
  CompileCall call{nullptr, {}, {}, OptimizationOf(cache, keywords)};
  // The loader, the source and the path; from 3.15 on also the module's name, which compile uses
  // for the warnings it gives only.
  const Py_ssize_t given = PyTuple_GET_SIZE(arguments);
  if (call.optimization == kNoLevel || given < 3 || given > 4) {
    return call;
  }
  PyObject *source = PyTuple_GET_ITEM(arguments, 1);
  PyObject *path = PyTuple_GET_ITEM(arguments, 2);
  if (PyBytes_CheckExact(source) == 0 || PyUnicode_CheckExact(path) == 0) {
    return call;
  }
  call.pathBytes = PyUnicode_AsEncodedString(path, "utf-8", "surrogatepass");
  if (call.pathBytes == nullptr) {
    PyErr_Clear();
    return call;
  }
  call.path = BytesOf(call.pathBytes);
  call.source = BytesOf(source);
  return call;
}

// The code an earlier action compiled from the same source, or null.
static PyObject *LoadCompiled(const ModuleCache &cache, const CompileCall &call) {
  if (call.pathBytes == nullptr) {
    return nullptr;
  }
  for (const CompiledModule &module : CompiledModules()) {
    if (module.path == call.path && module.magic == cache.magic &&
        module.optimization == call.optimization && module.source == call.source) {
      PyObject *code = PyMarshal_ReadObjectFromString(module.code.data(),
                                                      static_cast<Py_ssize_t>(module.code.size()));
      if (code == nullptr) {
        PyErr_Clear();
      }
      return code;
    }
  }
  return nullptr;
}

// Appends a record of the module to what the child hands over, while there is room for it.
static void AppendRecord(std::string &handing, const ModuleRecord &record, const CompileCall &call,
                         std::string_view code) {
  const std::size_t before = handing.size();
  if (kCompiledBytes - before <
      sizeof record + call.path.size() + call.source.size() + code.size()) {
    return;
  }
  try {
    handing.append(reinterpret_cast<const char *>(&record), sizeof record);
    handing.append(call.path).append(call.source).append(code);
  } catch (const std::bad_alloc &) {
    handing.resize(before);
  }
}

static void HandOverCompiled(const ModuleCache &cache, const CompileCall &call, PyObject *code) {
  if (call.pathBytes == nullptr || PyCode_Check(code) == 0) {
    return;
  }
  PyObject *marshalled = PyMarshal_WriteObjectToString(code, Py_MARSHAL_VERSION);
  if (marshalled == nullptr) {
    PyErr_Clear();
    return;
  }
  const std::string_view bytes = BytesOf(marshalled);
  const ModuleRecord record{call.path.size(), call.source.size(), bytes.size(), cache.magic,
                            call.optimization};
  AppendRecord(*cache.handing, record, call, bytes);
  Py_DECREF(marshalled);
}

// SourceLoader.source_to_code(loader, data, path, *, _optimize=-1), which importlib calls only for
// a module without valid bytecode, with the source it has just read. `self` is the cache and the
// original method: it compiles as before, so that errors and their reports stay the same, and is
// skipped only for source that an earlier action compiled. A C function adds no frame to a
// traceback.
static PyObject *CachedSourceToCode(PyObject *self, PyObject *arguments, PyObject *keywords) {
  const auto *cache =
      static_cast<const ModuleCache *>(PyCapsule_GetPointer(PyTuple_GET_ITEM(self, 0), nullptr));
  const CompileCall call = ReadCompileCall(*cache, arguments, keywords);
  PyObject *code = LoadCompiled(*cache, call);
  if (code == nullptr) {
    code = PyObject_Call(PyTuple_GET_ITEM(self, 1), arguments, keywords);
    if (code != nullptr) {
      HandOverCompiled(*cache, call, code);
    }
  }
  Py_XDECREF(call.pathBytes);
  return code;
}

static PyMethodDef cachedSourceToCode = {
    "source_to_code",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CachedSourceToCode)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// The optimization level that the interpreter compiles with (-O, PYTHONOPTIMIZE), or -1.
static std::int64_t InterpreterOptimization() {
  PyObject *flags = PySys_GetObject("flags");
  PyObject *level = flags != nullptr ? PyObject_GetAttrString(flags, "optimize") : nullptr;
  const long number = level != nullptr ? PyLong_AsLong(level) : -1;
  Py_XDECREF(level);
  return number;
}

// The replacement as a method, so that the loader comes first among its arguments.
static PyObject *MakeReplacement(ModuleCache &cache, PyObject *original) {
  PyObject *capsule = PyCapsule_New(&cache, nullptr, nullptr);
  if (capsule == nullptr) {
    return nullptr;
  }
  PyObject *context = PyTuple_Pack(2, capsule, original);
  Py_DECREF(capsule);
  if (context == nullptr) {
    return nullptr;
  }
  PyObject *function = PyCFunction_New(&cachedSourceToCode, context);
  Py_DECREF(context);
  if (function == nullptr) {
    return nullptr;
  }
  PyObject *method = PyInstanceMethod_New(function);
  Py_DECREF(function);
  return method;
}

static void ReplaceSourceToCode(ModuleCache &cache, PyObject *loaders) {
  PyObject *loader = PyObject_GetAttrString(loaders, "SourceLoader");
  if (loader == nullptr) {
    return;
  }
  PyObject *original = PyObject_GetAttrString(loader, "source_to_code");
  PyObject *replacement = original != nullptr ? MakeReplacement(cache, original) : nullptr;
  if (replacement != nullptr) {
    PyObject_SetAttrString(loader, "source_to_code", replacement);
  }
  Py_XDECREF(replacement);
  Py_XDECREF(original);
  Py_DECREF(loader);
}

// Before the script's first import: modules that earlier actions compiled from the same source are
// loaded from their code, and the code of those compiled now goes to `cache.handing`. Should any
// step fail, modules are compiled as they were without it.
static void UseCompiledModules(ModuleCache &cache) {
  cache.magic = PyImport_GetMagicNumber();
  cache.optimization = InterpreterOptimization();
  PyObject *loaders = PyImport_ImportModule("_frozen_importlib_external");
  if (cache.magic != -1 && cache.optimization >= 0 && loaders != nullptr) {
    ReplaceSourceToCode(cache, loaders);
  }
  Py_XDECREF(loaders);
  PyErr_Clear();
}

// The record at `offset` in what a child handed over, and `offset` moved past it; false at the end,
// or where a size is more than what is left: the bytes come from the script's process.
static bool ReadRecord(const std::string &handed, std::size_t &offset, CompiledModule &module) {
  ModuleRecord record{};
  if (handed.size() - offset < sizeof record) {
    return false;
  }
  std::memcpy(&record, handed.data() + offset, sizeof record);
  const std::size_t left = handed.size() - offset - sizeof record;
  if (record.pathSize > left || record.sourceSize > left - record.pathSize ||
      record.codeSize > left - record.pathSize - record.sourceSize) {
    return false;
  }
  offset += sizeof record;
  module.path = handed.substr(offset, record.pathSize);
  offset += record.pathSize;
  module.source = handed.substr(offset, record.sourceSize);
  offset += record.sourceSize;
  module.code = handed.substr(offset, record.codeSize);
  offset += record.codeSize;
  module.magic = record.magic;
  module.optimization = record.optimization;
  return true;
}

// A module's new version replaces its old one, and is kept when it fits within the bound.
static void Keep(CompiledModule &&module) {
  std::vector<CompiledModule> &modules = CompiledModules();
  modules.erase(std::remove_if(modules.begin(), modules.end(),
                               [&module](const CompiledModule &kept) {
                                 return kept.path == module.path && kept.magic == module.magic &&
                                        kept.optimization == module.optimization;
                               }),
                modules.end());
  std::size_t size = module.path.size() + module.source.size() + module.code.size();
  for (const CompiledModule &kept : modules) {
    size += kept.path.size() + kept.source.size() + kept.code.size();
  }
  if (size <= kCompiledBytes) {
    modules.push_back(std::move(module));
  }
}

static void KeepCompiled(const std::string &handed) {
  std::size_t offset = 0;
  CompiledModule module{};
  try {
    while (ReadRecord(handed, offset, module)) {
      Keep(std::move(module));
    }
  } catch (const std::bad_alloc &) {
    // A module not kept is compiled again, as it was before.
  }
}

// One whole interpreter lifetime: start, import, look up, call, convert, release, finalize.
std::int32_t RunScriptFunction(const std::string &name, std::int32_t value,
                               std::optional<int> &exitStatus, std::string &compiled) {
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
  ModuleCache cache{&compiled, -1, -1};
  UseCompiledModules(cache);
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
  std::string compiled;
  const ChildOutcome outcome = RunInChild(
      [&name, value](std::string &handing) {
        std::optional<int> exitStatus;
        const std::int32_t result = RunScriptFunction(name, value, exitStatus, handing);
        if (exitStatus) {
          std::string().swap(handing);  // nothing is handed over: freed for a leak checker
          EndChild(*exitStatus);  // the script's process ends, not the program whose copy it is
        }
        return result;
      },
      kCompiledBytes, compiled);
  KeepCompiled(compiled);
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
