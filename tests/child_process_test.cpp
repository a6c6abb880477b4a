#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "row_name.h"
#include "signal_handling.h"

namespace {

using std::chrono::milliseconds;

// How the program was started, made in a process of its own that then calls RunInChild.
struct Start {
  std::vector<int> ignored;
  std::vector<int> blocked;
  std::vector<int> nonBlocking;   // standard streams
  bool prepared;                  // PrepareProgram called, as the program's main does
  bool subreaper;                 // as a launcher can leave it, across exec
  bool terminal;                  // standard input on a terminal of its own session's
  bool ownChild = false;          // with a child of its own, not the action's, that ends meanwhile
  bool background = false;        // on the terminal, with another group in its foreground
  bool noDescriptorLeft = false;  // as it calls RunInChild
};

constexpr std::size_t kRoom = 7;  // bytes that a child may hand over beside its result
constexpr int kBystander = 100;   // a file of the program's that nobody should write to

// What that process saw.
struct Seen {
  ChildOutcome outcome;
  int nonBlocking;  // a bit per standard stream, after the call
  bool helperLeft;  // a child of its own not reaped after the call
  ssize_t printed;  // bytes in standard output after the call
  bool raw;         // standard input's terminal in raw mode after the call
  std::size_t handedSize;
  std::array<char, kRoom> handed;  // the first of them
  off_t stray;                     // bytes written to the bystander
};

struct Case {
  const char *name;
  Start start;
  std::function<std::int32_t()> work;
  ChildOutcome expected;     // its result is compared only when a result was handed over
  int nonBlocking = 0;       // a bit per standard stream that is non-blocking afterwards
  int stoppedBy = 0;         // the stop the program followed, as its own parent saw it; 0 for none
  ssize_t printed = 0;       // bytes the child printed that reached standard output
  bool raw = false;          // standard input's terminal left in raw mode
  const char *handing = "";  // bytes that the work leaves to be handed over
  const char *handed = "";   // bytes that come back
};

ChildOutcome Handed(std::int32_t result) {
  return ChildOutcome{ChildEnd::Returned, 0, result, 0};
}

ChildOutcome Ended(ChildEnd end, int status, int passedOn = 0) {
  return ChildOutcome{end, status, 0, passedOn};
}

void PrintTo(const Case &row, std::ostream *out) {
  *out << row.name;
}

void Pause(milliseconds time) {
  usleep(static_cast<useconds_t>(time.count() * 1000));
}

std::int32_t ReturnSeven() {
  return 7;
}

// Signals the program, waits so that it is passed on, and returns if it was not.
std::function<std::int32_t()> SignalProgram(std::vector<int> numbers) {
  return [numbers] {
    for (const int number : numbers) {
      kill(getppid(), number);
      Pause(milliseconds(200));
    }
    return 7;
  };
}

// One bit a signal whose handling is not the default, then one a signal blocked.
std::int32_t ReportSignals() {
  std::int32_t bits = 0;
  int bit = 0;
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  for (const int number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD, SIGTERM, SIGHUP}) {
    struct sigaction handling {};
    sigaction(number, nullptr, &handling);
    bits |= (handling.sa_handler != SIG_DFL ? 1 : 0) << bit;
    bits |= sigismember(&mask, number) << (bit + 8);
    ++bit;
  }
  return bits;
}

std::int32_t SetBlocking(int stream, bool blocking) {
  const int flags = fcntl(stream, F_GETFL);
  fcntl(stream, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
  return 7;
}

// Two signals to the program while they are blocked here: it must pass on the first.
std::int32_t TwoSignals() {
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGTERM);
  sigaddset(&both, SIGHUP);
  sigprocmask(SIG_BLOCK, &both, nullptr);
  SignalProgram({SIGTERM, SIGHUP})();
  sigprocmask(SIG_UNBLOCK, &both, nullptr);
  return 7;
}

// Leaves a helper to the subreaper: 7 when it has been reaped while this child still runs.
std::int32_t LeaveHelper() {
  std::array<int, 2> channel{};
  if (pipe(channel.data()) != 0) {
    return -1;
  }
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t helper = fork();
    if (helper == 0) {
      Pause(milliseconds(50));
      _exit(0);
    }
    _exit(write(channel[1], &helper, sizeof helper) == sizeof helper ? 0 : 1);
  }
  pid_t helper = 0;
  if (read(channel[0], &helper, sizeof helper) != sizeof helper) {
    return -1;
  }
  waitpid(middle, nullptr, 0);
  Pause(milliseconds(300));
  return kill(helper, 0) == -1 && errno == ESRCH ? 7 : 8;
}

bool Stopped(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  return line.find(") T ") != std::string::npos;  // the state after the command's name
}

// Forks a helper that sends `number` to `target` once this process has stopped, and the program
// has had the time to see it stopped.
pid_t SignalWhenStopped(pid_t target, int number) {
  const pid_t stopping = getpid();
  const pid_t helper = fork();
  if (helper == 0) {
    while (!Stopped(stopping)) {
      Pause(milliseconds(5));
    }
    Pause(milliseconds(100));
    _exit(kill(target, number));
  }
  return helper;
}

// Stops itself as a debugger or a CPU limiter stops it, which then continues it.
std::int32_t StoppedFromOutside() {
  const pid_t helper = SignalWhenStopped(getpid(), SIGCONT);
  raise(SIGSTOP);
  waitpid(helper, nullptr, 0);
  return 7;
}

// Stopped when SIGTERM reaches the program, with a handler that shows it came.
std::int32_t TermWhileStopped() {
  signal(SIGTERM, [](int) { _exit(5); });
  SignalWhenStopped(getppid(), SIGTERM);
  raise(SIGSTOP);
  return 7;
}

std::int32_t ForkAndReturn() {
  const pid_t copy = fork();
  if (copy == 0) {
    return 5;
  }
  waitpid(copy, nullptr, 0);
  _exit(3);
}

// Makes standard input the controlling terminal of a new session, whose foreground it is in.
bool OnTerminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0 || setsid() == -1) {
    return false;
  }
  const int terminal = open(ptsname(master), O_RDWR);
  return terminal != -1 && ioctl(terminal, TIOCSCTTY, 0) == 0 && dup2(terminal, 0) == 0;
}

// Leaves its terminal raw, and, with `elsewhere`, a group that is not its own in the terminal's
// foreground, as a shell puts itself there when the program goes to the background.
std::int32_t LeaveTerminalRaw(bool elsewhere) {
  termios settings{};
  tcgetattr(0, &settings);
  cfmakeraw(&settings);
  tcsetattr(0, TCSANOW, &settings);
  if (elsewhere) {
    const pid_t holder = fork();
    if (holder == 0) {
      setpgid(0, 0);
      pause();
    }
    setpgid(holder, holder);
    tcsetpgrp(0, holder);
  }
  return 7;
}

// Leaves the terminal raw to a group of its own in its foreground, with a process in it that stays
// as long as the group holds the terminal.
std::int32_t LeaveGroupInForeground() {
  signal(SIGTTOU, SIG_IGN);
  LeaveTerminalRaw(false);
  setpgid(0, 0);
  tcsetpgrp(0, getpgrp());
  if (fork() == 0) {
    while (tcgetpgrp(0) == getpgrp()) {
      Pause(milliseconds(5));
    }
    _exit(0);
  }
  return 7;
}

// From the background: leaves the terminal raw and takes its foreground to the program's group.
std::int32_t TakeForegroundRaw() {
  signal(SIGTTOU, SIG_IGN);
  LeaveTerminalRaw(false);
  tcsetpgrp(0, getpgrp());
  return 7;
}

// Runs RunInChild(work) in a process started as `start`, continuing it when it stops.
Seen RunAsProgram(const Case &row, int &stoppedBy) {
  std::array<int, 2> channel{};
  EXPECT_EQ(pipe(channel.data()), 0);
  std::fflush(nullptr);
  const pid_t program = fork();
  if (program == 0) {
    std::array<int, 3> readEnds{};
    for (int stream = 0; stream < 3; ++stream) {  // each a pipe of its own
      std::array<int, 2> ends{};
      if (pipe(ends.data()) != 0 || dup2(ends[stream == 0 ? 0 : 1], stream) == -1) {
        _exit(120);
      }
      readEnds[stream] = ends[0];
    }
    // A session of its own, without a controlling terminal or holding one, whoever runs the test.
    if (row.start.terminal ? !OnTerminal() : setsid() == -1) {
      _exit(120);
    }
    const pid_t holder = row.start.background ? fork() : 0;
    if (holder == 0 && row.start.background) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the program, should the test kill it
      setpgid(0, 0);
      pause();
    }
    if (holder > 0 && (setpgid(holder, holder) != 0 || tcsetpgrp(0, holder) != 0)) {
      _exit(120);
    }
    const int bystander = memfd_create("bystander", 0);
    if (bystander == -1 || dup2(bystander, kBystander) == -1) {
      _exit(120);
    }
    for (const int number : row.start.ignored) {
      signal(number, SIG_IGN);
    }
    for (const int number : row.start.blocked) {
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, number);
      sigprocmask(SIG_BLOCK, &one, nullptr);
    }
    for (const int stream : row.start.nonBlocking) {
      SetBlocking(stream, false);
    }
    if (row.start.subreaper) {
      prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    if (row.start.prepared) {
      PrepareProgram();
    }
    if (row.start.ownChild && fork() == 0) {
      Pause(milliseconds(50));
      _exit(0);
    }
    std::cout.flush();  // as RunInChild does: UBSan checks the stream's type once, through a pipe
    const rlimit standardOnly{3, 3};
    if (row.start.noDescriptorLeft && setrlimit(RLIMIT_NOFILE, &standardOnly) != 0) {
      _exit(120);
    }
    std::string handed;
    const auto work = [&row](std::string &handing) {
      handing = row.handing;
      return row.work();
    };
    Seen seen{RunInChild(work, kRoom, handed), 0, false, 0, false, handed.size(), {}, 0};
    handed.copy(seen.handed.data(), seen.handed.size());
    std::array<char, 64> printed{};
    fcntl(readEnds[1], F_SETFL, O_NONBLOCK);
    seen.printed = std::max(read(readEnds[1], printed.data(), printed.size()), ssize_t{0});
    termios settings{};
    seen.raw = tcgetattr(0, &settings) == 0 && (settings.c_lflag & ICANON) == 0;
    if (row.start.terminal && tcgetpgrp(0) != getpgrp()) {
      kill(-tcgetpgrp(0), SIGKILL);  // the group that holds it now
    }
    for (int stream = 0; stream < 3; ++stream) {
      seen.nonBlocking |= (fcntl(stream, F_GETFL) & O_NONBLOCK) != 0 ? 1 << stream : 0;
    }
    siginfo_t left{};
    const int waiting = row.start.ownChild ? 0 : WNOHANG;  // for it to end, if it has not yet
    seen.helperLeft = waitid(P_ALL, 0, &left, WEXITED | WNOWAIT | waiting) == 0 && left.si_pid != 0;
    struct stat written {};
    seen.stray = fstat(kBystander, &written) == 0 ? written.st_size : -1;
    if (holder > 0) {
      kill(holder, SIGKILL);
    }
    _exit(write(channel[1], &seen, sizeof seen) == sizeof seen ? 0 : 121);
  }
  close(channel[1]);
  stoppedBy = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  for (;;) {
    const pid_t changed = waitpid(program, &status, WNOHANG | WUNTRACED);
    if (changed == program && WIFSTOPPED(status)) {
      stoppedBy = WSTOPSIG(status);
      kill(program, SIGCONT);
    } else if (changed == program) {
      break;
    } else if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the program still waits after 10 s";
      kill(-program, SIGKILL);
      waitpid(program, &status, 0);
      break;
    }
    Pause(milliseconds(5));
  }
  EXPECT_EQ(status, 0) << "the program itself did not end normally";
  Seen seen{};
  const bool got = read(channel[0], &seen, sizeof seen) == sizeof seen;
  close(channel[0]);
  EXPECT_TRUE(got) << "the program reported nothing";
  return seen;
}

class RunInChildTest : public testing::TestWithParam<Case> {};

TEST_P(RunInChildTest, EndsAsTheChildDidAndRestoresTheProgram) {
  const Case &row = GetParam();
  int stoppedBy = 0;
  const Seen seen = RunAsProgram(row, stoppedBy);
  const ChildOutcome &outcome = seen.outcome;
  const ChildOutcome &expected = row.expected;
  EXPECT_EQ(std::make_tuple(static_cast<int>(outcome.end), outcome.status, outcome.passedOn),
            std::make_tuple(static_cast<int>(expected.end), expected.status, expected.passedOn));
  if (expected.end == ChildEnd::Returned) {
    EXPECT_EQ(outcome.result, expected.result);
  }
  EXPECT_EQ(seen.nonBlocking, row.nonBlocking);
  EXPECT_EQ(seen.helperLeft, row.start.ownChild);
  EXPECT_EQ(stoppedBy, row.stoppedBy);
  EXPECT_EQ(seen.printed, row.printed);
  EXPECT_EQ(seen.raw, row.raw);
  EXPECT_EQ(std::string(seen.handed.data(), std::min(seen.handedSize, kRoom)), row.handed);
  EXPECT_EQ(seen.handedSize, std::string(row.handed).size());
  EXPECT_EQ(seen.stray, 0);
}

const Start kPlain{{}, {}, {}, false, false, false};
const Start kUnderNohup{{SIGHUP}, {}, {}, false, false, false};
const Start kQuitAndChildIgnored{{SIGQUIT, SIGCHLD}, {}, {}, false, false, false};
const Start kTermBlocked{{}, {SIGTERM}, {}, false, false, false};
const Start kErrorNonBlocking{{}, {}, {2}, false, false, false};
const Start kSubreaper{{}, {}, {}, true, true, false};
const Start kTerminal{{}, {}, {}, false, false, true};
const Start kWithOwnChild{{}, {}, {}, false, false, false, true};
const Start kInBackground{{}, {}, {}, false, false, true, false, true};
const Start kNoDescriptorLeft{{}, {}, {}, false, false, false, false, false, true};
constexpr int kQuitAndChild = 1 << 1 | 1 << 5;  // ReportSignals' bits for SIGQUIT and SIGCHLD

// More than the room and the rest of its page: written there, they would crash the child.
const std::string kPagesOfBytes(3 * 4096, 'x');

// SIGSTOP: the program's group is orphaned in its session, where SIGTSTP does not stop.
std::int32_t StopItself() {
  raise(SIGSTOP);
  return 7;
}

// Puts another file on every descriptor from 3 up that it may have been handed.
std::int32_t ReplaceDescriptors() {
  for (int number = 3; number < kBystander; ++number) {
    dup2(kBystander, number);
  }
  return 7;
}

std::int32_t LimitFileSize() {
  const rlimit one{1, 1};
  setrlimit(RLIMIT_FSIZE, &one);
  return 7;
}

INSTANTIATE_TEST_SUITE_P(
    Children, RunInChildTest,
    testing::Values(
        Case{"returns", kPlain, ReturnSeven, Handed(7)},
        Case{"exits", kPlain, []() -> std::int32_t { _exit(3); }, Ended(ChildEnd::Exited, 3)},
        Case{"crashes", kPlain, [] { return raise(SIGSEGV); }, Ended(ChildEnd::Killed, SIGSEGV)},
        Case{"throws", kPlain, []() -> std::int32_t { throw std::runtime_error("escapes"); },
             Ended(ChildEnd::Killed, SIGABRT)},
        Case{"a forked copy returns", kPlain, ForkAndReturn, Ended(ChildEnd::Exited, 3)},
        Case{"hands bytes over", kPlain, ReturnSeven, Handed(7), 0, 0, 0, false, "records",
             "records"},
        Case{"hands more bytes than there is room for", kPlain, ReturnSeven, Handed(7), 0, 0, 0,
             false, kPagesOfBytes.c_str()},
        Case{"a forked copy hands bytes over", kPlain, ForkAndReturn, Ended(ChildEnd::Exited, 3), 0,
             0, 0, false, "copy's"},
        Case{"hands bytes over from a script that replaced its descriptors", kPlain,
             ReplaceDescriptors, Handed(7), 0, 0, 0, false, "records"},
        Case{"hands bytes over past a file size limit", kPlain, LimitFileSize, Handed(7), 0, 0, 0,
             false, "records"},
        Case{"hands bytes over with no descriptor left for them", kNoDescriptorLeft, ReturnSeven,
             Handed(7), 0, 0, 0, false, "records"},
        Case{"stops itself", kTerminal, StopItself, Handed(7), 0, SIGSTOP},
        Case{"stopped and continued from outside, without a terminal", kPlain, StoppedFromOutside,
             Handed(7)},
        Case{"SIGTERM while the child is stopped, with a handler of its own", kPlain,
             TermWhileStopped, Ended(ChildEnd::Exited, 5, SIGTERM)},
        Case{"prints through C", kPlain, [] { return std::printf("printed"); }, Handed(7), 0, 0, 7},
        Case{"starts with the signal handling the program was started with", kPlain, ReportSignals,
             Handed(0)},
        Case{"starts with none of the program's own handlers", kSubreaper, ReportSignals,
             Handed(0)},
        Case{"starts with SIGQUIT and SIGCHLD ignored as the program was", kQuitAndChildIgnored,
             ReportSignals, Handed(kQuitAndChild)},
        Case{"SIGQUIT to the program", kPlain, SignalProgram({SIGQUIT}), Handed(7)},
        Case{"SIGHUP to the program", kPlain, [] { return SignalProgram({SIGHUP})(), pause(); },
             Ended(ChildEnd::Killed, SIGHUP, SIGHUP)},
        Case{"SIGHUP to a program started under nohup", kUnderNohup, SignalProgram({SIGHUP}),
             Handed(7)},
        Case{"SIGTERM to a program started with it blocked", kTermBlocked, SignalProgram({SIGTERM}),
             Handed(7)},
        Case{"SIGTERM then SIGHUP", kPlain, TwoSignals, Ended(ChildEnd::Killed, SIGHUP, SIGTERM)},
        Case{"a helper left to a subreaper", kSubreaper, LeaveHelper, Handed(7)},
        Case{"a child of the program's own that is not the action's is left alone", kWithOwnChild,
             [] { return Pause(milliseconds(150)), 7; }, Handed(7)},
        Case{"non-blocking standard error made blocking", kErrorNonBlocking,
             [] { return SetBlocking(2, true); }, Handed(7), 1 << 2},
        Case{"standard output made non-blocking", kPlain, [] { return SetBlocking(1, false); },
             Handed(7)},
        Case{"leaves the terminal raw", kTerminal, [] { return LeaveTerminalRaw(false); },
             Handed(7)},
        Case{"leaves the terminal raw to another group in its foreground", kTerminal,
             [] { return LeaveTerminalRaw(true); }, Handed(7), 0, 0, 0, true},
        Case{"its own group keeps the foreground with a process left", kTerminal,
             LeaveGroupInForeground, Handed(7)},
        Case{"terminal settings not saved from the background", kInBackground, TakeForegroundRaw,
             Handed(7), 0, 0, 0, true}),
    RowName());

}  // namespace
