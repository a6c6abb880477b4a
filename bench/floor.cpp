// The cost the design sets for one action, without any console dialogue: N times the program's own
// interpreter lifetime (start, import PythonCode, call DoubleValue(3), convert, release, finalize),
// all in this one process, or with --fork each lifetime in a child forked for it. Prints the median
// time of a lifetime, and the compiler and Python it was built with. No lifetime keeps the code it
// compiled for the next: each compiles the script's module, as the first action of a run does.
#include <Python.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "interpreter_lifetime.h"

using Clock = std::chrono::steady_clock;

static double MedianMicroseconds(std::vector<Clock::duration> &times) {
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  return std::chrono::duration<double, std::micro>(*middle).count();
}

// One lifetime; returns DoubleValue(3) as converted, or -1, and the time it took.
static std::int32_t Lifetime(Clock::duration &spent) {
  const Clock::time_point start = Clock::now();
  std::optional<int> exitStatus;
  const KeptCode nothingKept;
  std::string records;
  const std::int32_t result =
      RunScriptFunction("DoubleValue", 3, false, nothingKept, exitStatus, records);
  spent = Clock::now() - start;
  return result;
}

// The same lifetime in a child forked for it, the time sent back through a pipe.
static std::int32_t LifetimeInChild(Clock::duration &spent) {
  std::array<int, 2> channel{};
  if (pipe(channel.data()) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  const pid_t child = fork();
  if (child == 0) {
    const std::int32_t result = Lifetime(spent);
    const bool written = write(channel[1], &result, sizeof result) == sizeof result &&
                         write(channel[1], &spent, sizeof spent) == sizeof spent;
    _exit(written ? 0 : 1);
  }
  close(channel[1]);
  std::int32_t result = -1;
  const bool received = read(channel[0], &result, sizeof result) == sizeof result &&
                        read(channel[0], &spent, sizeof spent) == sizeof spent;
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
  std::vector<Clock::duration> times;
  for (long lifetime = 0; lifetime < lifetimes; ++lifetime) {
    Clock::duration spent{};
    const std::int32_t result = inChildren ? LifetimeInChild(spent) : Lifetime(spent);
    if (result != 6) {
      std::fprintf(stderr, "DoubleValue(3) gave %d\n", static_cast<int>(result));
      return 1;
    }
    times.push_back(spent);
  }
#ifdef __clang__
  std::printf("compiler clang %s\n", __clang_version__);
#else
  std::printf("compiler gcc %s\n", __VERSION__);
#endif
  std::printf("python %s\n", PY_VERSION);
  std::printf("lifetime %.1f\n", MedianMicroseconds(times));
  return 0;
}
