#include "kept_code_compile.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>

#include <cstdint>
#include <new>
#include <string>

#include "interpreter_start.h"
#include "kept_code.h"

// compile(source, path, "exec", dont_inherit=True, optimize=level), marshalled; empty when it
// fails.
static std::string Compile(PyObject *compile, const CompiledModule &module) {
  PyObject *source = PyBytes_FromStringAndSize(module.source.data(),
                                               static_cast<Py_ssize_t>(module.source.size()));
  PyObject *path = PyUnicode_DecodeUTF8(
      module.path.data(), static_cast<Py_ssize_t>(module.path.size()), "surrogatepass");
  PyObject *arguments =
      source != nullptr && path != nullptr ? Py_BuildValue("(OOs)", source, path, "exec") : nullptr;
  PyObject *keywords = arguments != nullptr
                           ? Py_BuildValue("{s:O,s:L}", "dont_inherit", Py_True, "optimize",
                                           static_cast<long long>(module.optimization))
                           : nullptr;
  PyObject *code = keywords != nullptr ? PyObject_Call(compile, arguments, keywords) : nullptr;
  PyObject *marshalled =
      code != nullptr ? PyMarshal_WriteObjectToString(code, Py_MARSHAL_VERSION) : nullptr;
  std::string marshalledCode;
  if (marshalled != nullptr) {
    marshalledCode.assign(PyBytes_AS_STRING(marshalled), PyBytes_GET_SIZE(marshalled));
  }
  PyErr_Clear();
  Py_XDECREF(marshalled);
  Py_XDECREF(code);
  Py_XDECREF(keywords);
  Py_XDECREF(arguments);
  Py_XDECREF(path);
  Py_XDECREF(source);
  return marshalledCode;
}

// The action that read the source showed its warnings. Without an import system there is no
// warnings module, and the interpreter's own warnings code, which reads the filters of a module of
// that name where there is one, would fail to show them, failing the compile.
static bool IgnoreWarnings() {
  PyObject *warnings = PyModule_New("warnings");
  PyObject *filters = warnings != nullptr
                          ? Py_BuildValue("[(sOOOi)]", "ignore", Py_None, PyExc_Warning, Py_None, 0)
                          : nullptr;
  const bool ignored = filters != nullptr &&
                       PyObject_SetAttrString(warnings, "filters", filters) == 0 &&
                       PyDict_SetItemString(PyImport_GetModuleDict(), "warnings", warnings) == 0;
  Py_XDECREF(filters);
  Py_XDECREF(warnings);
  return ignored;
}

void CompileForLater(int read, std::string &compiled) {
  if (PyStatus_Exception(StartInterpreter(Started::ForCompile))) {
    return;
  }
  PyObject *compile =
      IgnoreWarnings() ? PyDict_GetItemString(PyEval_GetBuiltins(), "compile") : nullptr;
  std::uint64_t offset = 0;
  RecordKind kind{};
  CompiledModule module{};
  try {
    while (compile != nullptr && ReadRecord(read, offset, kind, module)) {
      // Only code of this compile: whatever else the record holds came from the script's process.
      module.code = kind == RecordKind::Read ? Compile(compile, module) : std::string();
      if (!module.code.empty()) {
        AppendRecord(compiled, RecordKind::Compiled, module);
      }
    }
  } catch (const std::bad_alloc &) {
    // What is not compiled here is compiled again by a later action.
  }
  Py_FinalizeEx();
}
