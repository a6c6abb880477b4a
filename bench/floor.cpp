// The cost the design sets for one action, without any console dialogue: N times start the
// interpreter, import PythonCode, call DoubleValue(3), convert, release and finalize. Prints the
// median time of each phase of a lifetime, and the compiler and Python it was built with.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

using Clock = std::chrono::steady_clock;

static double MedianMicroseconds(std::vector<Clock::duration> &times) {
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  return std::chrono::duration<double, std::micro>(*middle).count();
}

int main(int argc, char **argv) {
  const long lifetimes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
  if (lifetimes < 1) {
    std::fprintf(stderr, "usage: %s [LIFETIMES >= 1]\n", argv[0]);
    return 2;
  }
  const std::array<const char *, 4> phases{"start", "import", "call", "finalize"};
  std::array<std::vector<Clock::duration>, 4> times;
  for (long lifetime = 0; lifetime < lifetimes; ++lifetime) {
    std::array<Clock::time_point, 5> marks;
    marks[0] = Clock::now();
    Py_Initialize();
    marks[1] = Clock::now();
    PyObject *moduleName = PyUnicode_FromString("PythonCode");
    PyObject *module = PyImport_Import(moduleName);
    if (module == nullptr) {
      PyErr_Print();
      return 1;
    }
    marks[2] = Clock::now();
    PyObject *function = PyDict_GetItemString(PyModule_GetDict(module), "DoubleValue");
    PyObject *arguments = Py_BuildValue("(i)", 3);
    PyObject *callResult = PyObject_CallObject(function, arguments);
#if PY_VERSION_HEX >= 0x030D0000
    const int result = callResult != nullptr ? PyLong_AsInt(callResult) : -1;
#else
    const int result = callResult != nullptr ? _PyLong_AsInt(callResult) : -1;
#endif
    Py_XDECREF(callResult);
    Py_DECREF(arguments);
    Py_DECREF(module);
    Py_DECREF(moduleName);
    marks[3] = Clock::now();
    Py_Finalize();
    marks[4] = Clock::now();
    if (result != 6) {
      std::fprintf(stderr, "DoubleValue(3) gave %d\n", result);
      return 1;
    }
    for (std::size_t phase = 0; phase < phases.size(); ++phase) {
      times[phase].push_back(marks[phase + 1] - marks[phase]);
    }
  }
#ifdef __clang__
  std::printf("compiler clang %s\n", __clang_version__);
#else
  std::printf("compiler gcc %s\n", __VERSION__);
#endif
  std::printf("python %s\n", PY_VERSION);
  for (std::size_t phase = 0; phase < phases.size(); ++phase) {
    std::printf("phase %s %.1f\n", phases[phase], MedianMicroseconds(times[phase]));
  }
  return 0;
}
