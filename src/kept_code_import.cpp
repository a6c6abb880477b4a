#include "kept_code_import.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "kept_code.h"

static constexpr std::int64_t kNoLevel = -2;

// The level a call compiles with, or kNoLevel for keywords or a level that compile itself handles.
static std::int64_t OptimizationOf(const KeptCodeImport &import, PyObject *keywords) {
  if (keywords == nullptr) {
    return import.optimization;
  }
  PyObject *level = PyDict_GetItemString(keywords, "_optimize");
  if (PyDict_Size(keywords) != 1 || level == nullptr || PyLong_CheckExact(level) == 0) {
    return kNoLevel;
  }
  int overflow = 0;
  const long number = PyLong_AsLongAndOverflow(level, &overflow);
  if (number == -1 && overflow == 0) {
    return import.optimization;
  }
  return number >= 0 && number <= 2 ? number : kNoLevel;
}

// The module that a call of source_to_code compiles, when it is a call that kept code can stand
// for: source bytes and a path, and from 3.15 on also the module's name, which compile uses for the
// warnings it gives only.
static bool ReadCompileCall(const KeptCodeImport &import, PyObject *arguments, PyObject *keywords,
                            CompiledModule &module) {
  module.magic = import.magic;
  module.optimization = OptimizationOf(import, keywords);
  const Py_ssize_t given = PyTuple_GET_SIZE(arguments);  // the loader first
  if (module.optimization == kNoLevel || given < 3 || given > 4) {
    return false;
  }
  PyObject *source = PyTuple_GET_ITEM(arguments, 1);
  PyObject *path = PyTuple_GET_ITEM(arguments, 2);
  if (PyBytes_CheckExact(source) == 0 || PyUnicode_CheckExact(path) == 0) {
    return false;
  }
  PyObject *pathBytes = PyUnicode_AsEncodedString(path, "utf-8", "surrogatepass");
  if (pathBytes == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool read = true;
  try {
    module.path.assign(PyBytes_AS_STRING(pathBytes), PyBytes_GET_SIZE(pathBytes));
    module.source.assign(PyBytes_AS_STRING(source), PyBytes_GET_SIZE(source));
  } catch (const std::bad_alloc &) {
    read = false;
  }
  Py_DECREF(pathBytes);
  return read;
}

static PyObject *LoadKeptCode(const KeptCodeImport &import, CompiledModule &module) {
  const std::string *code = FindKeptCode(*import.kept, module);
  if (code == nullptr) {
    return nullptr;
  }
  PyObject *loaded =
      PyMarshal_ReadObjectFromString(code->data(), static_cast<Py_ssize_t>(code->size()));
  if (loaded == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  module.source.clear();  // the path and level say which kept module was used
  AppendRecord(*import.returning, RecordKind::Used, module);
  return loaded;
}

// Whether importlib's source_to_code would call the interpreter's own compile, held in `context`
// since the lifetime began, as that function finds it: in importlib's module, or else among the
// builtins of that module, whatever the frame that calls it has as its own.
static bool CompilesAsInterpreterWould(PyObject *context) {
  PyObject *loaders = PyTuple_GET_ITEM(context, 3);
  PyObject *compile = PyDict_GetItemString(loaders, "compile");
  PyObject *builtins = compile == nullptr ? PyDict_GetItemString(loaders, "__builtins__") : nullptr;
  if (builtins != nullptr && PyModule_Check(builtins) != 0) {
    builtins = PyModule_GetDict(builtins);
  }
  if (builtins != nullptr && PyDict_Check(builtins) != 0) {
    compile = PyDict_GetItemString(builtins, "compile");
  }
  return compile == PyTuple_GET_ITEM(context, 2);
}

// SourceLoader.source_to_code(loader, data, path, *, _optimize=-1), which importlib calls only for
// a module without valid bytecode, with the source it has just read. `context` holds the lifetime's
// KeptCodeImport, the original method, the interpreter's own compile and importlib's namespace. It
// compiles as before, so that the action runs what python3 would and errors and their reports stay
// the same, and is skipped only for source that the program compiled already, while importlib
// would compile with the interpreter's own compile. What it compiled itself is returned to the
// program as source only: the program compiles it again to keep it. A C function adds no frame to
// a traceback.
static PyObject *KeptSourceToCode(PyObject *context, PyObject *arguments, PyObject *keywords) {
  const auto *import = static_cast<const KeptCodeImport *>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(context, 0), nullptr));
  CompiledModule module{};
  const bool readable = ReadCompileCall(*import, arguments, keywords, module);
  PyObject *code =
      readable && CompilesAsInterpreterWould(context) ? LoadKeptCode(*import, module) : nullptr;
  if (code == nullptr) {
    code = PyObject_Call(PyTuple_GET_ITEM(context, 1), arguments, keywords);
    if (code != nullptr && readable && FindKeptCode(*import->kept, module) == nullptr) {
      AppendRecord(*import->returning, RecordKind::Read, module);
    }
  }
  return code;
}

static PyMethodDef keptSourceToCode = {
    "source_to_code", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(KeptSourceToCode)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// The optimization level that the interpreter compiles with (-O, PYTHONOPTIMIZE), or -1.
static std::int64_t InterpreterOptimization() {
  PyObject *flags = PySys_GetObject("flags");
  PyObject *level = flags != nullptr ? PyObject_GetAttrString(flags, "optimize") : nullptr;
  const long number = level != nullptr ? PyLong_AsLong(level) : -1;
  Py_XDECREF(level);
  return number;
}

// The builtins' compile when it is the interpreter's own, which a sitecustomize may have replaced
// already, or null.
static PyObject *OwnCompile() {
  PyObject *builtins = PyEval_GetBuiltins();
  PyObject *compile = builtins != nullptr ? PyDict_GetItemString(builtins, "compile") : nullptr;
  PyObject *owner = compile != nullptr && PyCFunction_Check(compile) != 0
                        ? PyCFunction_GetSelf(compile)
                        : nullptr;
  const char *name = owner != nullptr && PyModule_Check(owner) != 0 ? PyModule_GetName(owner) : "";
  return name != nullptr && std::strcmp(name, "builtins") == 0 ? compile : nullptr;
}

// The replacement as a method, so that the loader comes first among its arguments.
static PyObject *MakeReplacement(KeptCodeImport &import, PyObject *original, PyObject *loaders) {
  PyObject *compile = OwnCompile();
  PyObject *capsule = compile != nullptr ? PyCapsule_New(&import, nullptr, nullptr) : nullptr;
  if (capsule == nullptr) {
    return nullptr;
  }
  PyObject *context = PyTuple_Pack(4, capsule, original, compile, PyModule_GetDict(loaders));
  Py_DECREF(capsule);
  if (context == nullptr) {
    return nullptr;
  }
  PyObject *function = PyCFunction_New(&keptSourceToCode, context);
  Py_DECREF(context);
  if (function == nullptr) {
    return nullptr;
  }
  PyObject *method = PyInstanceMethod_New(function);
  Py_DECREF(function);
  return method;
}

static void ReplaceSourceToCode(KeptCodeImport &import, PyObject *loaders) {
  PyObject *loader = PyObject_GetAttrString(loaders, "SourceLoader");
  if (loader == nullptr) {
    return;
  }
  PyObject *original = PyObject_GetAttrString(loader, "source_to_code");
  PyObject *replacement =
      original != nullptr ? MakeReplacement(import, original, loaders) : nullptr;
  if (replacement != nullptr) {
    PyObject_SetAttrString(loader, "source_to_code", replacement);
  }
  Py_XDECREF(replacement);
  Py_XDECREF(original);
  Py_DECREF(loader);
}

void UseKeptCode(KeptCodeImport &import) {
  import.magic = PyImport_GetMagicNumber();
  import.optimization = InterpreterOptimization();
  PyObject *loaders = PyImport_ImportModule("_frozen_importlib_external");
  if (import.magic != -1 && import.optimization >= 0 && loaders != nullptr) {
    ReplaceSourceToCode(import, loaders);
  }
  Py_XDECREF(loaders);
  PyErr_Clear();
}
