#include "interpreter_start.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// The interpreter the program was linked with, or a virtual environment made from it when that is
// the first python3 on PATH, as its activate script arranges, so that its packages can be imported.
// PATH is searched as execvp searches it: an empty entry, leading, trailing or between two colons,
// is the working directory, and a folder, or a file that cannot be run, named python3 is passed
// over. Without PATH, execvp's default folders have no virtual environment.
static std::string ProgramName() {
  namespace fs = std::filesystem;
  const char *searchPath = std::getenv("PATH");
  if (searchPath == nullptr) {
    return SCRIPT_MENU_PYTHON;
  }
  for (std::string_view folders = searchPath;;) {
    const std::size_t end = folders.find(':');
    const std::string_view folder = folders.substr(0, end);
    const fs::path candidate = fs::path(folder.empty() ? "." : folder) / "python3";
    std::error_code error;
    if (fs::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0) {
      const bool linked = fs::equivalent(candidate, SCRIPT_MENU_PYTHON, error);
      const bool environment = fs::exists(candidate.parent_path() / ".." / "pyvenv.cfg", error);
      return linked && environment ? fs::absolute(candidate, error).string() : SCRIPT_MENU_PYTHON;
    }
    if (end == std::string_view::npos) {
      break;
    }
    folders.remove_prefix(end + 1);
  }
  return SCRIPT_MENU_PYTHON;
}

PyStatus StartInterpreter(Started purpose) {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.write_bytecode = 0;
  config.faulthandler = purpose == Started::ForScript ? 1 : 0;
  config._install_importlib = purpose == Started::ForScript ? 1 : 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ProgramName().c_str());
  if (!PyStatus_Exception(status)) {
    status = Py_InitializeFromConfig(&config);
  }
  PyConfig_Clear(&config);
  return status;
}
