// The cost the design sets for one action, without any console dialogue: N times start the
// interpreter, import PythonCode, call DoubleValue(3), convert, release and finalize, all in this
// one process, or with --fork each lifetime in a child forked for it. Prints the median time of
// each phase of a lifetime, and the compiler and Python it was built with.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using Clock = std::chrono::steady_clock;

static double MedianMicroseconds(std::vector<Clock::duration> &times) {
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  return std::chrono::duration<double, std::micro>(*middle).count();
}

using Phases = std::array<Clock::duration, 4>;

// One lifetime; returns DoubleValue(3) as converted, or -1, and the time of each phase.
static int Lifetime(Phases &phases) {
  std::array<Clock::time_point, 5> marks;
  marks[0] = Clock::now();
  Py_Initialize();
  marks[1] = Clock::now();
  PyObject *moduleName = PyUnicode_FromString("PythonCode");
  PyObject *module = PyImport_Import(moduleName);
  if (module == nullptr) {
    PyErr_Print();
    std::exit(1);
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
  for (std::size_t phase = 0; phase < phases.size(); ++phase) {
    phases[phase] = marks[phase + 1] - marks[phase];
  }
  return result;
}

// The same lifetime in a child forked for it, the phases handed back through a pipe.
static int LifetimeInChild(Phases &phases) {
  std::array<int, 2> channel{};
  if (pipe(channel.data()) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  const pid_t child = fork();
  if (child == 0) {
    const int result = Lifetime(phases);
    const bool written = write(channel[1], &result, sizeof result) == sizeof result &&
                         write(channel[1], phases.data(), sizeof phases) == sizeof phases;
    _exit(written ? 0 : 1);
  }
  close(channel[1]);
  int result = -1;
  const bool received = read(channel[0], &result, sizeof result) == sizeof result &&
                        read(channel[0], phases.data(), sizeof phases) == sizeof phases;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return received && status == 0 ? result : -1;
}

int main(int argc, char **argv) {
  const bool inChildren = argc > 1 && std::strcmp(argv[1], "--fork") == 0;
  const int count = inChildren ? 2 : 1;
  const long lifetimes = argc > count ? std::strtol(argv[count], nullptr, 10) : 100;
  if (lifetimes < 1) {
    std::fprintf(stderr, "usage: %s [--fork] [LIFETIMES >= 1]\n", argv[0]);
    return 2;
  }
  const std::array<const char *, 4> phases{"start", "import", "call", "finalize"};
  std::array<std::vector<Clock::duration>, 4> times;
  for (long lifetime = 0; lifetime < lifetimes; ++lifetime) {
    Phases spent{};
    const int result = inChildren ? LifetimeInChild(spent) : Lifetime(spent);
    if (result != 6) {
      std::fprintf(stderr, "DoubleValue(3) gave %d\n", result);
      return 1;
    }
    for (std::size_t phase = 0; phase < phases.size(); ++phase) {
      times[phase].push_back(spent[phase]);
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
