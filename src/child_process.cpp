#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

// The signals whose handling the program changes, for itself or while a child runs.
static constexpr std::array<int, 8> kChanged = {SIGINT,  SIGQUIT, SIGTSTP, SIGTTIN,
                                                SIGTTOU, SIGCHLD, SIGTERM, SIGHUP};

// A terminal that a standard stream leads to, saved once however many streams lead to it.
struct SavedTerminal {
  int stream;        // -1 for none
  bool controlling;  // the program's controlling terminal, whose settings are its foreground's
  bool saved;
  termios settings;
};

// What the program changes while an action's child runs, and what it shares with the child and
// takes back afterwards: signal handling, the blocking mode of the standard streams, and the
// terminals' settings.
struct ProgramState {
  pid_t program;
  sigset_t mask;    // as the program was started with, and so as the child starts with
  sigset_t waited;  // the child's end, and the signals passed on to it
  std::array<struct sigaction, kChanged.size()> handling;
  std::array<int, 3> streamFlags;
  std::array<SavedTerminal, 3> terminals;
  int controlling;    // a standard stream on the controlling terminal, or -1
  bool followsStops;  // only a program that a shell can continue stops with its child
  bool reapsOthers;   // children not the action's come to the program as orphans
};

// Where the child leaves its result: memory shared with the program, which a script cannot close
// the way it can close an inherited descriptor. `from` names the process that left it there.
struct HandOver {
  pid_t from;
  std::int32_t result;
  std::size_t size;  // of the bytes written to the room
};

// A file for the bytes handed over beside the result, made empty before the fork: it takes room
// only once the child writes to it, and no address space at all. The script may close its
// descriptor, or put another file on its number; `device` and `inode` tell the room apart.
struct Room {
  int descriptor;  // -1 for none: nothing is handed over
  dev_t device;
  ino_t inode;
};

// Never runs: SIGCHLD stays blocked while a child runs and is taken by sigwait. A handler rather
// than the default, because SIG_IGN (inherited from whoever started the program) reaps the child
// behind the program's back, and some systems discard a blocked signal whose default is to ignore.
static void NoteChildEnded(int) {}

// As PID 1 or a subreaper, between actions: the ends of helpers that scripts left behind, which
// came to the program, and of any other child it has, which nobody else can take.
static void ReapEnded(int) {
  const int error = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = error;
}

static void EndAsInit(int number) {
  _exit(128 + number);
}

static struct sigaction Handling(void (*handler)(int), int flags = 0) {
  struct sigaction handling {};
  handling.sa_handler = handler;
  handling.sa_flags = flags;
  sigemptyset(&handling.sa_mask);
  return handling;
}

static bool HasHandler(int number, void (*handler)(int)) {
  struct sigaction current {};
  return sigaction(number, nullptr, &current) == 0 && current.sa_handler == handler;
}

// Whether processes that others leave behind come to the program: as a PID namespace's init, or
// as a subreaper. Only then are children that are not an action's own the program's to reap.
static bool InheritsOrphans() {
  if (getpid() == 1) {
    return true;
  }
#ifdef PR_GET_CHILD_SUBREAPER
  int subreaper = 0;
  return prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0;
#else
  return false;
#endif
}

void PrepareProgram() {
  if (!InheritsOrphans()) {
    return;
  }
  if (HasHandler(SIGCHLD, SIG_DFL)) {
    const struct sigaction reap = Handling(ReapEnded, SA_RESTART | SA_NOCLDSTOP);
    sigaction(SIGCHLD, &reap, nullptr);
  }
  if (getpid() != 1) {
    return;
  }
  const struct sigaction end = Handling(EndAsInit);
  for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
    if (HasHandler(number, SIG_DFL)) {
      sigaction(number, &end, nullptr);
    }
  }
}

// As saved, for the program; for a child, the default in place of a handler of the program's own,
// which it installs only where the program was started with the default.
static void RestoreSignals(const ProgramState &program, bool forChild) {
  for (std::size_t index = 0; index < kChanged.size(); ++index) {
    struct sigaction handling = program.handling[index];
    if (forChild && (handling.sa_handler == ReapEnded || handling.sa_handler == EndAsInit)) {
      handling = Handling(SIG_DFL);
    }
    sigaction(kChanged[index], &handling, nullptr);
  }
  sigprocmask(SIG_SETMASK, &program.mask, nullptr);
}

// Whether a stream before `stream` leads to the same terminal.
static bool SavedBefore(int stream) {
  struct stat terminal {};
  fstat(stream, &terminal);
  for (int earlier = STDIN_FILENO; earlier < stream; ++earlier) {
    struct stat other {};
    if (isatty(earlier) != 0 && fstat(earlier, &other) == 0 && other.st_rdev == terminal.st_rdev) {
      return true;
    }
  }
  return false;
}

// Each terminal that a standard stream leads to: input may be piped while the dialogue shows on a
// terminal, or come from one terminal and show on another. The controlling terminal's settings
// are saved from its foreground only; another terminal (a launcher's) is nobody's job to share.
static void SaveTerminals(ProgramState &state) {
  state.controlling = -1;
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    SavedTerminal &terminal = state.terminals[stream];
    terminal.stream = -1;
    if (isatty(stream) == 0 || SavedBefore(stream)) {
      continue;
    }
    terminal.stream = stream;
    terminal.controlling = tcgetsid(stream) != -1;
    state.controlling = terminal.controlling ? stream : state.controlling;
    terminal.saved = (!terminal.controlling || tcgetpgrp(stream) == getpgrp()) &&
                     tcgetattr(stream, &terminal.settings) == 0;
  }
}

// Whether the program has a controlling terminal, through which a shell's job control can
// continue it. Opened without waiting for a line's carrier, and closed at once.
static bool HasControllingTerminal() {
  const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal == -1) {
    return false;
  }
  close(terminal);
  return true;
}

static ProgramState PrepareForChild() {
  ProgramState state{};
  state.program = getpid();
  state.followsStops = HasControllingTerminal();
  state.reapsOthers = InheritsOrphans();
  sigprocmask(SIG_BLOCK, nullptr, &state.mask);
  for (std::size_t index = 0; index < kChanged.size(); ++index) {
    sigaction(kChanged[index], nullptr, &state.handling[index]);
  }
  // Whoever ends the program ends the script too, as with timeout(1); a signal that the program
  // was started with ignored or blocked stays so, as under nohup.
  sigemptyset(&state.waited);
  sigaddset(&state.waited, SIGCHLD);
  for (const int number : {SIGTERM, SIGHUP}) {
    if (!HasHandler(number, SIG_IGN) && sigismember(&state.mask, number) == 0) {
      sigaddset(&state.waited, number);
    }
  }
  // The terminal's signals are the script's alone, as with system(3): the program stops only by
  // following its child. Ignoring SIGTTOU also lets it take the terminal back from a script.
  const struct sigaction ignore = Handling(SIG_IGN);
  for (const int number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaction(number, &ignore, nullptr);
  }
  const struct sigaction noted = Handling(NoteChildEnded);
  sigaction(SIGCHLD, &noted, nullptr);
  sigprocmask(SIG_BLOCK, &state.waited, nullptr);
  for (int stream = 0; stream < 3; ++stream) {
    state.streamFlags[stream] = fcntl(stream, F_GETFL);
  }
  SaveTerminals(state);
  return state;
}

#ifdef MFD_CLOEXEC
static Room MakeRoom(std::size_t capacity) {
  const int descriptor = capacity > 0 ? memfd_create("script-menu handed over", MFD_CLOEXEC) : -1;
  if (descriptor == -1) {
    return Room{-1, 0, 0};
  }
  struct stat made {};
  if (fstat(descriptor, &made) != 0) {
    close(descriptor);
    return Room{-1, 0, 0};
  }
  return Room{descriptor, made.st_dev, made.st_ino};
}
#else
static Room MakeRoom(std::size_t) {
  return Room{-1, 0, 0};  // no file that takes no room until written: nothing is handed over
}
#endif

// Whether the room's descriptor still leads to the room, after the script.
static bool StillRoom(const Room &room) {
  struct stat now {};
  return room.descriptor != -1 && fstat(room.descriptor, &now) == 0 && now.st_dev == room.device &&
         now.st_ino == room.inode;
}

// Writes `bytes` as the room's only content; false when it cannot take them all.
static bool WriteRoom(const Room &room, const std::string &bytes) {
  // Past a file size limit the write fails, rather than killing the child before its result.
  const struct sigaction ignore = Handling(SIG_IGN);
  sigaction(SIGXFSZ, &ignore, nullptr);
  // Emptied first: the script may have written there, or made the descriptor append.
  if (!StillRoom(room) || ftruncate(room.descriptor, 0) != 0) {
    return false;
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = pwrite(room.descriptor, bytes.data() + written, bytes.size() - written,
                                 static_cast<off_t>(written));
    if (count == -1 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

// The bytes that the child's own process wrote to the room, if the room holds as many as the
// header says: a process of the script's could have written anything to either.
static void ReadRoom(const Room &room, std::size_t size, std::size_t capacity,
                     std::string &handed) {
  struct stat filled {};
  if (size == 0 || size > capacity || fstat(room.descriptor, &filled) != 0 ||
      filled.st_size < static_cast<off_t>(size)) {
    return;
  }
  try {
    handed.resize(size);
  } catch (const std::bad_alloc &) {
    return;  // without the memory for them, the bytes are lost, not the action's result
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count =
        pread(room.descriptor, &handed[done], size - done, static_cast<off_t>(done));
    if (count == -1 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      handed.clear();
      return;
    }
    done += static_cast<std::size_t>(count);
  }
}

// The child's half: `work` as a fresh process would run it, what it gives handed over by this
// process alone, and an end without flushing or destroying anything inherited from the program.
[[noreturn]] static void RunWork(const std::function<std::int32_t(std::string &)> &work,
                                 const ProgramState &program, HandOver &handOver, const Room &room,
                                 std::size_t capacity) noexcept {
#ifdef __linux__
  // Killed with the program, even by SIGKILL. A program that died before this call is no longer
  // the parent, and nobody is left to see the script's work.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != program.program) {
    _exit(EXIT_FAILURE);
  }
#endif
  RestoreSignals(program, true);
  const pid_t self = getpid();
  std::string handing;
  const std::int32_t result = work(handing);
  if (getpid() == self) {
    if (!handing.empty() && handing.size() <= capacity && WriteRoom(room, handing)) {
      handOver.size = handing.size();
    }
    handOver.result = result;
    handOver.from = self;
  }
  std::string().swap(handing);  // freed: a leak checker that follows the child sees what work left
  EndChild(EXIT_SUCCESS);
}

void EndChild(int status) {
  std::fflush(nullptr);  // what C code in the child printed: the inherited buffers were empty
  _exit(status);
}

// One of `waited`, or -1 with errno set. sigwait returns the error on most systems, -1 on musl.
static int WaitForSignal(const sigset_t &waited) {
  for (;;) {
    int number = 0;
    const int error = sigwait(&waited, &number);
    if (error == 0) {
      return number;
    }
    if (error > 0) {
      errno = error;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

// A stopped child acts on the signal only once continued, as after timeout(1)'s.
static void PassOn(pid_t child, int number) {
  kill(child, number);
  kill(child, SIGCONT);
}

// Stops the program as signal `number` by its default action would, until it is continued.
static void StopLike(int number) {
  const struct sigaction byDefault = Handling(SIG_DFL);
  struct sigaction handling {};
  sigaction(number, &byDefault, &handling);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  sigset_t mask;
  sigprocmask(SIG_UNBLOCK, &only, &mask);
  raise(number);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(number, &handling, nullptr);
}

// The child stopped (Ctrl-Z, a read from the background, SIGSTOP): the program stops the same way,
// so that whoever runs it as a job sees the job stopped, as sudo does. When continued it continues
// the child, in the terminal's foreground again if the child's own group had it and the program
// has been given it back.
static void FollowStop(pid_t child, int number, int terminal) {
  const pid_t group = getpgid(child);
  const bool ownGroup = group > 0 && group != getpgrp();
  const bool heldTerminal = ownGroup && terminal != -1 && tcgetpgrp(terminal) == group;
  if (heldTerminal) {
    tcsetpgrp(terminal, getpgrp());
  }
  StopLike(number);
  if (heldTerminal && tcgetpgrp(terminal) == getpgrp()) {
    tcsetpgrp(terminal, group);
  }
  kill(ownGroup ? -group : child, SIGCONT);
}

// As PID 1 or a subreaper, during an action: the ends of children other than `spared`, whose
// status is the program's to take. Elsewhere its only other children are ones whoever started it
// left to it (`sh -c 'job & exec script-menu'`), which it leaves alone: it never waits for them.
static void ReapHelpers(const ProgramState &program, pid_t spared) {
  if (!program.reapsOthers) {
    return;
  }
  siginfo_t ended{};
  while (waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid > 0 &&
         ended.si_pid != spared) {
    waitpid(ended.si_pid, nullptr, WNOHANG);
    ended = siginfo_t{};
  }
}

static ChildOutcome WaitForChild(pid_t child, const ProgramState &program) {
  ChildOutcome outcome{ChildEnd::NotWaited, 0, -1, 0};
  for (;;) {
    const int number = WaitForSignal(program.waited);
    if (number == -1) {
      outcome.status = errno;
      return outcome;
    }
    if (number != SIGCHLD) {
      PassOn(child, number);
      outcome.passedOn = outcome.passedOn != 0 ? outcome.passedOn : number;
      continue;
    }
    int status = 0;
    const pid_t changed = waitpid(child, &status, WNOHANG | WUNTRACED);
    if (changed == -1 && errno != EINTR) {
      outcome.status = errno;
      return outcome;
    }
    if (changed == child && !WIFSTOPPED(status)) {
      ReapHelpers(program, child);  // helpers that ended with it, in the one SIGCHLD taken here
      outcome.end = WIFSIGNALED(status) ? ChildEnd::Killed : ChildEnd::Exited;
      outcome.status = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
      return outcome;
    }
    // Without a controlling terminal no shell would ever continue the program: it waits on, as
    // system(3) does, until whoever stopped the child continues it or a signal is passed on.
    if (changed == child && program.followsStops) {
      FollowStop(child, WSTOPSIG(status), program.controlling);
    }
    ReapHelpers(program, child);
  }
}

// A script may have put a process group of its own in the terminal's foreground, or left a
// terminal raw. A group that was moved there otherwise (a shell that put the program in the
// background) keeps the controlling terminal, and its settings.
static void RestoreTerminals(const ProgramState &program, pid_t child) {
  const pid_t holder = program.controlling != -1 ? tcgetpgrp(program.controlling) : -1;
  const bool elsewhere = holder > 0 && holder != getpgrp();
  if (elsewhere && (holder == child || (kill(-holder, 0) == -1 && errno == ESRCH))) {
    tcsetpgrp(program.controlling, getpgrp());
  }
  for (const SavedTerminal &terminal : program.terminals) {
    termios settings{};
    if (terminal.saved && (!terminal.controlling || tcgetpgrp(terminal.stream) == getpgrp()) &&
        tcgetattr(terminal.stream, &settings) == 0 &&
        std::memcmp(&settings, &terminal.settings, sizeof settings) != 0) {
      tcsetattr(terminal.stream, TCSANOW, &terminal.settings);
    }
  }
}

static void RestoreAfterChild(const ProgramState &program, pid_t child) {
  RestoreTerminals(program, child);
  for (int stream = 0; stream < 3; ++stream) {
    const int flags = fcntl(stream, F_GETFL);
    const int saved = program.streamFlags[stream];
    if (flags != -1 && saved != -1 && (flags & O_NONBLOCK) != (saved & O_NONBLOCK)) {
      fcntl(stream, F_SETFL, (flags & ~O_NONBLOCK) | (saved & O_NONBLOCK));
    }
  }
  RestoreSignals(program, false);
}

static ChildOutcome NotStarted(int error) {
  return ChildOutcome{ChildEnd::NotStarted, error, -1, 0};
}

ChildOutcome RunInChild(const std::function<std::int32_t(std::string &)> &work,
                        std::size_t capacity, std::string &handed) {
  handed.clear();
  std::cout.flush();
  std::fflush(nullptr);  // the child must not inherit output that it could write again
  // The header alone is mapped, a page whatever the capacity: an address-space limit that lets
  // the script run lets the program run it.
  void *shared =
      mmap(nullptr, sizeof(HandOver), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    return NotStarted(errno);
  }
  HandOver *handOver = new (shared) HandOver{0, -1, 0};
  const Room room = MakeRoom(capacity);  // without one, the result still comes back
  const ProgramState program = PrepareForChild();
  const pid_t child = fork();
  if (child == 0) {
    RunWork(work, program, *handOver, room, capacity);
  }
  ChildOutcome outcome = child == -1 ? NotStarted(errno) : WaitForChild(child, program);
  RestoreAfterChild(program, child);
  if (outcome.end == ChildEnd::Exited && handOver->from == child) {
    outcome.end = ChildEnd::HandedOver;
    outcome.result = handOver->result;
    if (room.descriptor != -1) {
      ReadRoom(room, handOver->size, capacity, handed);
    }
  }
  if (room.descriptor != -1) {
    close(room.descriptor);
  }
  munmap(shared, sizeof(HandOver));
  return outcome;
}

void EndBySignal(int number) {
  const struct sigaction byDefault = Handling(SIG_DFL);
  sigaction(number, &byDefault, nullptr);
  raise(number);
  _exit(128 + number);  // as a PID namespace's init, whom no signal ends by its default action
}
