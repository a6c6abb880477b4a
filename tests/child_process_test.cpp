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
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "row_name.h"
#include "signal_handling.h"

namespace {

using std::chrono::milliseconds;

// How the program was started, made in a process of its own that then calls RunInChild.
struct Start {
  std::vector<int> ignored;
  std::vector<int> blocked;
  std::vector<int> nonBlocking;  // standard streams
  bool subreaper = false;        // as a launcher can leave it, across exec; PrepareProgram called
  bool terminal = false;         // standard input on a terminal of its own session's
  bool background = false;       // on the terminal, with another group in its foreground
  bool ownChild = false;         // with a child of its own, not the action's, that ends meanwhile
  rlim_t descriptors = 0;        // RLIMIT_NOFILE as it calls RunInChild; 0 leaves it
  bool errorClosed = false;      // standard error closed as it calls RunInChild
  bool slowToContinue = false;   // its own parent continues it only 300 ms after it stopped

  template <typename Value>
  Start With(Value Start::*field, std::enable_if_t<true, Value> value) const {
    Start start = *this;
    start.*field = std::move(value);
    return start;
  }
};

const Start kPlain;
const Start kSubreaper = kPlain.With(&Start::subreaper, true);
const Start kTerminal = kPlain.With(&Start::terminal, true);

constexpr std::size_t kShown = 7;  // bytes of those returned that the program process reports
constexpr int kBystander = 100;    // a file of the program's that nobody should write to
constexpr int kSkipped = 77;       // the program's exit status when the system cannot start it so

// What the program process saw after RunInChild.
struct Seen {
  ChildOutcome outcome;
  int stoppedBy;    // the stop the program followed, as its own parent saw it
  int nonBlocking;  // a bit per standard stream
  bool otherChildLeft;
  ssize_t printed;  // bytes in standard output
  bool raw;         // standard input's terminal in raw mode
  std::size_t returnedSize;
  std::array<char, kShown> returned;  // the first of them
  off_t stray;                        // bytes written to the bystander
};

// One thing a row expects of what the program saw; a row checks only what it is about.
using Check = std::function<void(const Seen &)>;

// How the child ended, and the signal passed on to it; its result only where it returned one.
Check Ends(ChildEnd end, int status, int passedOn = 0, std::int32_t result = -1) {
  return [=](const Seen &seen) {
    const ChildOutcome &got = seen.outcome;
    EXPECT_EQ(
        std::make_tuple(got.end, got.status, got.passedOn, got.result),
        std::make_tuple(end, status, passedOn, end == ChildEnd::Returned ? result : got.result));
  };
}

Check Returns(std::int32_t result) {
  return Ends(ChildEnd::Returned, 0, 0, result);
}

// A field of what the program saw, such as Is(&Seen::raw, false).
template <typename Value>
Check Is(Value Seen::*field, std::enable_if_t<true, Value> value) {
  return [field, value](const Seen &seen) { EXPECT_EQ(seen.*field, value); };
}

// The bytes that came back, and none written to a file of the program's.
Check BytesBack(const std::string &bytes) {
  return [bytes](const Seen &seen) {
    EXPECT_EQ(std::string(seen.returned.data(), std::min(seen.returnedSize, kShown)),
              bytes.substr(0, kShown));
    EXPECT_EQ(seen.returnedSize, bytes.size());
    EXPECT_EQ(seen.stray, 0);
  };
}

struct Row {
  const char *name;
  Start start;
  std::function<std::int32_t()> work;
  std::vector<Check> expected;
  const char *returning = "";  // bytes that the work leaves to be returned
};

void PrintTo(const Row &row, std::ostream *out) {
  *out << row.name;
}

void Pause(milliseconds time) {
  usleep(static_cast<useconds_t>(time.count() * 1000));
}

// `descriptor` moved above `floor`.
int MoveAbove(int descriptor, int floor) {
  const int moved = fcntl(descriptor, F_DUPFD, floor + 1);
  close(descriptor);
  return moved;
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

// Each signal's handling (default, ignored or handled) and whether it is blocked.
std::string SignalState() {
  std::string state;
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction handling {};
    sigaction(number, nullptr, &handling);
    state += handling.sa_handler == SIG_DFL ? 'd' : handling.sa_handler == SIG_IGN ? 'i' : 'h';
    state += sigismember(&mask, number) == 1 ? 'b' : '-';
  }
  return state;
}

std::string startedWith;  // the program process's, before it prepares

// 0 when the child's signal handling and mask are those the program was started with.
std::int32_t SignalsAsStarted() {
  return SignalState() == startedWith ? 0 : 1;
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

// Leaves a helper that has ended, unreaped, so that it comes to the subreaper as the child ends.
std::int32_t LeaveEndedHelper() {
  const pid_t helper = fork();
  if (helper == 0) {
    _exit(0);
  }
  siginfo_t ended{};
  return waitid(P_PID, helper, &ended, WEXITED | WNOWAIT) == 0 ? 7 : -1;
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
pid_t SignalWhenStopped(pid_t target, int number, pid_t stopping = getpid()) {
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

// SIGSTOP: the program's group is orphaned in its session, where SIGTSTP does not stop.
std::int32_t StopItself() {
  raise(SIGSTOP);
  return 7;
}

// Stops, and a helper continues it once the program has stopped with it: it ends while the
// program is still stopped.
std::int32_t ContinuedWhileProgramStopped() {
  SignalWhenStopped(getpid(), SIGCONT, getppid());
  return StopItself();
}

std::int32_t ForkAndReturn() {
  const pid_t copy = fork();
  if (copy == 0) {
    return 5;
  }
  waitpid(copy, nullptr, 0);
  _exit(3);
}

// Puts another file on every descriptor from 3 up that it may have been given.
std::int32_t ReplaceDescriptors() {
  for (int number = 3; number < kBystander; ++number) {
    dup2(kBystander, number);
  }
  return 7;
}

// Forks a helper that writes into every descriptor it inherited, all along and for a while after
// the work has returned, as a script's helper that looks for the program's files would.
std::int32_t LeaveWriter() {
  if (fork() == 0) {
    for (const auto end = std::chrono::steady_clock::now() + milliseconds(500);
         std::chrono::steady_clock::now() < end;) {
      for (int descriptor = 3; descriptor < kBystander; ++descriptor) {
        const bool written = pwrite(descriptor, "planted", 7, 0) == 7;
        static_cast<void>(written);
      }
    }
    _exit(0);
  }
  return 7;
}

// Leaves every descriptor it can open open.
std::int32_t UseUpDescriptors() {
  while (open("/dev/null", O_RDONLY) != -1) {
  }
  return 7;
}

// 7 when descriptors 3 and 4 are free.
std::int32_t FindsFree() {
  return fcntl(3, F_GETFD) == -1 && fcntl(4, F_GETFD) == -1 ? 7 : 8;
}

std::int32_t LimitFileSize() {
  const rlimit one{1, 1};
  setrlimit(RLIMIT_FSIZE, &one);
  return 7;
}

// Makes standard input the controlling terminal of a new session, whose foreground it is in.
bool OnTerminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0 || setsid() == -1) {
    return false;
  }
  const int terminal = open(ptsname(master), O_RDWR);
  return terminal != -1 && ioctl(terminal, TIOCSCTTY, 0) == 0 && dup2(terminal, 0) == 0 &&
         MoveAbove(master, kBystander) != -1;
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

// The program process: started as `start`, it calls RunInChild and reports what it saw.
[[noreturn]] void RunProgram(const Row &row, int report) {
  report = MoveAbove(report, kBystander);
  std::array<int, 3> readEnds{};  // kept open, so that nobody writes to a pipe without a reader
  for (int stream = 0; stream < 3; ++stream) {
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0 || dup2(ends[stream == 0 ? 0 : 1], stream) == -1) {
      _exit(120);
    }
    readEnds[stream] = MoveAbove(ends[0], kBystander);
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
  for (int descriptor = 3; descriptor < kBystander; ++descriptor) {
    close(descriptor);  // the work finds free what the program leaves free
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
  startedWith = SignalState();
  if (row.start.subreaper && prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    _exit(kSkipped);  // as under qemu-user
  }
  if (row.start.subreaper) {
    PrepareProgram();
  }
  if (row.start.ownChild && fork() == 0) {
    Pause(milliseconds(50));
    _exit(0);
  }
  std::cout.flush();  // as RunInChild does: UBSan checks the stream's type once, through a pipe
  const rlimit descriptors{row.start.descriptors, row.start.descriptors};
  if (row.start.descriptors != 0 && setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
    _exit(120);
  }
  if (row.start.errorClosed) {
    close(STDERR_FILENO);
  }
  ReturnedFile returned;
  const auto work = [&row](std::string &returning) {
    returning = row.returning;
    return row.work();
  };
  Seen seen{RunInChild(work, returned), 0, 0, false, 0, false, 0, {}, 0};
  struct stat file {};
  if (returned.descriptor != -1 && fstat(returned.descriptor, &file) == 0 &&
      pread(returned.descriptor, seen.returned.data(), seen.returned.size(), 0) >= 0) {
    seen.returnedSize = static_cast<std::size_t>(file.st_size);
  }
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
  seen.otherChildLeft =
      waitid(P_ALL, 0, &left, WEXITED | WNOWAIT | waiting) == 0 && left.si_pid != 0;
  struct stat written {};
  seen.stray = fstat(kBystander, &written) == 0 ? written.st_size : -1;
  if (holder > 0) {
    kill(holder, SIGKILL);
  }
  _exit(write(report, &seen, sizeof seen) == sizeof seen ? 0 : 121);
}

// Runs the program process to its end, continuing it whenever it stops; false when it skipped.
bool RunAsProgram(const Row &row, Seen &seen) {
  std::array<int, 2> channel{};
  EXPECT_EQ(pipe(channel.data()), 0);
  std::fflush(nullptr);
  const pid_t program = fork();
  if (program == 0) {
    RunProgram(row, channel[1]);
  }
  close(channel[1]);
  int stoppedBy = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  for (;;) {
    const pid_t changed = waitpid(program, &status, WNOHANG | WUNTRACED);
    if (changed == program && WIFSTOPPED(status)) {
      stoppedBy = WSTOPSIG(status);
      Pause(milliseconds(row.start.slowToContinue ? 300 : 0));
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
  const bool got = read(channel[0], &seen, sizeof seen) == sizeof seen;
  close(channel[0]);
  seen.stoppedBy = stoppedBy;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
    return false;
  }
  EXPECT_EQ(status, 0) << "the program itself did not end normally";
  EXPECT_TRUE(got) << "the program reported nothing";
  return true;
}

class RunInChild : public testing::TestWithParam<Row> {};

TEST_P(RunInChild, EndsAsTheChildDidAndRestoresTheProgram) {
  Seen seen{};
  if (!RunAsProgram(GetParam(), seen)) {
    GTEST_SKIP() << "the system cannot start the program so (a subreaper under qemu-user?)";
  }
  for (const Check &check : GetParam().expected) {
    check(seen);
  }
}

// How the child ends, stops and is reaped.
INSTANTIATE_TEST_SUITE_P(
    Child, RunInChild,
    testing::Values(
        Row{"returns", kPlain, ReturnSeven, {Returns(7)}},
        Row{"exits", kPlain, []() -> std::int32_t { _exit(3); }, {Ends(ChildEnd::Exited, 3)}},
        Row{"crashes", kPlain, [] { return raise(SIGSEGV); }, {Ends(ChildEnd::Killed, SIGSEGV)}},
        Row{"throws",
            kPlain,
            []() -> std::int32_t { throw std::runtime_error("escapes"); },
            {Ends(ChildEnd::Killed, SIGABRT)}},
        Row{"a forked copy returns", kPlain, ForkAndReturn, {Ends(ChildEnd::Exited, 3)}},
        Row{"prints through C",
            kPlain,
            [] { return std::printf("printed"); },
            {Returns(7), Is(&Seen::printed, ssize_t{7})}},
        Row{"stops itself", kTerminal, StopItself, {Returns(7), Is(&Seen::stoppedBy, SIGSTOP)}},
        Row{"stopped and continued from outside, without a terminal",
            kPlain,
            StoppedFromOutside,
            {Returns(7), Is(&Seen::stoppedBy, 0)}},
        Row{"a helper left to a subreaper", kSubreaper, LeaveHelper, {Returns(7)}},
        Row{"a helper that ends at once, left to a subreaper started with SIGCHLD blocked",
            kSubreaper.With(&Start::blocked, {SIGCHLD}),
            LeaveEndedHelper,
            {Returns(7), Is(&Seen::otherChildLeft, false)}},
        Row{"continued from outside, as a subreaper, and ended while the program was stopped",
            kSubreaper.With(&Start::terminal, true).With(&Start::slowToContinue, true),
            ContinuedWhileProgramStopped,
            {Returns(7), Is(&Seen::stoppedBy, SIGSTOP)}},
        Row{"a child of the program's own that is not the action's is left alone",
            kPlain.With(&Start::ownChild, true),
            [] { return Pause(milliseconds(150)), 7; },
            {Returns(7), Is(&Seen::otherChildLeft, true)}}),
    RowName());

// The signal handling the child starts with, and the signals passed on to it.
INSTANTIATE_TEST_SUITE_P(
    Signals, RunInChild,
    testing::Values(
        Row{"starts with the signal handling the program was started with",
            kPlain,
            SignalsAsStarted,
            {Returns(0)}},
        Row{"starts with none of the program's own handlers",
            kSubreaper,
            SignalsAsStarted,
            {Returns(0)}},
        Row{"starts with SIGQUIT and SIGCHLD ignored as the program was",
            kPlain.With(&Start::ignored, {SIGQUIT, SIGCHLD}),
            SignalsAsStarted,
            {Returns(0)}},
        Row{"SIGQUIT to the program", kPlain, SignalProgram({SIGQUIT}), {Returns(7)}},
        Row{"SIGHUP to the program",
            kPlain,
            [] { return SignalProgram({SIGHUP})(), pause(); },
            {Ends(ChildEnd::Killed, SIGHUP, SIGHUP)}},
        Row{"SIGHUP to a program started under nohup",
            kPlain.With(&Start::ignored, {SIGHUP}),
            SignalProgram({SIGHUP}),
            {Returns(7)}},
        Row{"SIGTERM to a program started with it blocked",
            kPlain.With(&Start::blocked, {SIGTERM}),
            SignalProgram({SIGTERM}),
            {Returns(7)}},
        Row{"SIGTERM then SIGHUP", kPlain, TwoSignals, {Ends(ChildEnd::Killed, SIGHUP, SIGTERM)}},
        Row{"SIGTERM while the child is stopped, with a handler of its own",
            kPlain,
            TermWhileStopped,
            {Ends(ChildEnd::Exited, 5, SIGTERM)}}),
    RowName());

// The standard streams' blocking modes and the terminal, put back after the child.
INSTANTIATE_TEST_SUITE_P(
    Terminals, RunInChild,
    testing::Values(Row{"non-blocking standard error made blocking",
                        kPlain.With(&Start::nonBlocking, {2}),
                        [] { return SetBlocking(2, true); },
                        {Returns(7), Is(&Seen::nonBlocking, 1 << 2)}},
                    Row{"standard output made non-blocking",
                        kPlain,
                        [] { return SetBlocking(1, false); },
                        {Returns(7), Is(&Seen::nonBlocking, 0)}},
                    Row{"leaves the terminal raw",
                        kTerminal,
                        [] { return LeaveTerminalRaw(false); },
                        {Returns(7), Is(&Seen::raw, false)}},
                    Row{"leaves the terminal raw to another group in its foreground",
                        kTerminal,
                        [] { return LeaveTerminalRaw(true); },
                        {Returns(7), Is(&Seen::raw, true)}},
                    Row{"its own group keeps the foreground with a process left",
                        kTerminal,
                        LeaveGroupInForeground,
                        {Returns(7), Is(&Seen::raw, false)}},
                    Row{"terminal settings not saved from the background",
                        kTerminal.With(&Start::background, true),
                        TakeForegroundRaw,
                        {Returns(7), Is(&Seen::raw, true)}}),
    RowName());

const std::string kPagesOfBytes(3 * 4096, 'x');

// The bytes a child returns beside its result, from the child's own process only, after its work:
// the work holds nothing of the way back, and finds the descriptors free that the program left.
INSTANTIATE_TEST_SUITE_P(
    ResultChannel, RunInChild,
    testing::Values(
        Row{"returns bytes", kPlain, ReturnSeven, {Returns(7), BytesBack("records")}, "records"},
        Row{"returns pages of bytes",
            kPlain,
            ReturnSeven,
            {Returns(7), BytesBack(kPagesOfBytes)},
            kPagesOfBytes.c_str()},
        Row{"a forked copy returns bytes",
            kPlain,
            ForkAndReturn,
            {Ends(ChildEnd::Exited, 3), BytesBack("")},
            "copy's"},
        Row{"a helper of the work's writes into every descriptor it has",
            kPlain,
            LeaveWriter,
            {Returns(7), BytesBack("records")},
            "records"},
        Row{"returns bytes after its work replaced its descriptors",
            kPlain,
            ReplaceDescriptors,
            {Returns(7), BytesBack("records")},
            "records"},
        Row{"returns bytes after its work used up its descriptors",
            kPlain,
            UseUpDescriptors,
            {Returns(7), BytesBack("records")},
            "records"},
        Row{"returns no bytes past a file size limit",
            kPlain,
            LimitFileSize,
            {Returns(7), BytesBack("")},
            "records"},
        Row{"with five descriptors the work finds the two it may open free",
            kPlain.With(&Start::descriptors, 5),
            FindsFree,
            {Returns(7), BytesBack("records")},
            "records"},
        Row{"with standard error closed the work finds it closed",
            kPlain.With(&Start::errorClosed, true),
            [] { return fcntl(2, F_GETFD) == -1 ? 7 : 8; },
            {Returns(7)}},
        Row{"not started with no descriptor left for the way back",
            kPlain.With(&Start::descriptors, 3),
            ReturnSeven,
            {Ends(ChildEnd::NotStarted, EMFILE)},
            "records"}),
    RowName());

}  // namespace
