#include "kept_code_compile.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <marshal.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <string>

#include "interpreter_start.h"
#include "kept_code.h"

// compile(source, path, "exec", dont_inherit=True, optimize=level), marshalled into `module.code`.
static void Compile(PyObject *compile, CompiledModule &module) {
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
  if (marshalled != nullptr) {
    module.code.assign(PyBytes_AS_STRING(marshalled), PyBytes_GET_SIZE(marshalled));
  }
  PyErr_Clear();
  Py_XDECREF(marshalled);
  Py_XDECREF(code);
  Py_XDECREF(keywords);
  Py_XDECREF(arguments);
  Py_XDECREF(path);
  Py_XDECREF(source);
}

void CompileForLater(int read, std::string &compiled) {
  // Without an import system the interpreter has no sys.stderr, and what it would say of a
  // warning goes to descriptor 2.
  const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const bool silenced = nowhere != -1 && dup2(nowhere, STDERR_FILENO) != -1;
  if (nowhere != -1) {
    close(nowhere);
  }
  if (!silenced || PyStatus_Exception(StartInterpreter(Started::ForCompile))) {
    return;
  }
  PyObject *compile = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
  std::uint64_t offset = 0;
  RecordKind kind{};
  CompiledModule module{};
  try {
    while (compile != nullptr && ReadRecord(read, offset, kind, module)) {
      if (kind == RecordKind::Read) {
        Compile(compile, module);
      }
      if (kind == RecordKind::Read && !module.code.empty()) {
        AppendRecord(compiled, RecordKind::Compiled, module);
      }
    }
  } catch (const std::bad_alloc &) {
    // What is not compiled here is compiled again by a later action.
  }
  Py_FinalizeEx();
}
