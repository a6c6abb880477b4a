#include "signal_handling.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstddef>

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

bool InheritsOrphans() {
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

SignalsDuringChild::SignalsDuringChild() {
  sigprocmask(SIG_BLOCK, nullptr, &mask_);
  for (std::size_t index = 0; index < kChangedSignals.size(); ++index) {
    sigaction(kChangedSignals[index], nullptr, &saved_[index]);
  }
  // Whoever ends the program ends the script too, as with timeout(1); a signal that the program
  // was started with ignored or blocked stays so, as under nohup.
  sigemptyset(&taken_);
  sigaddset(&taken_, SIGCHLD);
  for (const int number : {SIGTERM, SIGHUP}) {
    if (!HasHandler(number, SIG_IGN) && sigismember(&mask_, number) == 0) {
      sigaddset(&taken_, number);
    }
  }
  // The program stops only by following its child. Ignoring SIGTTOU also lets it take the
  // terminal back from a script.
  const struct sigaction ignore = Handling(SIG_IGN);
  for (const int number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
    sigaction(number, &ignore, nullptr);
  }
  const struct sigaction noted = Handling(NoteChildEnded);
  sigaction(SIGCHLD, &noted, nullptr);
  sigprocmask(SIG_BLOCK, &taken_, nullptr);
}

SignalsDuringChild::~SignalsDuringChild() {
  for (std::size_t index = 0; index < kChangedSignals.size(); ++index) {
    sigaction(kChangedSignals[index], &saved_[index], nullptr);
  }
  sigprocmask(SIG_SETMASK, &mask_, nullptr);
}

// The child gets what the program was started with: the default in place of a handler that the
// program installed itself, which it installs only where it was started with the default.
void SignalsDuringChild::ResetInChild() const {
  for (std::size_t index = 0; index < kChangedSignals.size(); ++index) {
    struct sigaction handling = saved_[index];
    if (handling.sa_handler == ReapEnded || handling.sa_handler == EndAsInit) {
      handling = Handling(SIG_DFL);
    }
    sigaction(kChangedSignals[index], &handling, nullptr);
  }
  sigprocmask(SIG_SETMASK, &mask_, nullptr);
}

// sigwait returns the error on most systems, -1 on musl.
int SignalsDuringChild::Wait() const {
  for (;;) {
    int number = 0;
    const int error = sigwait(&taken_, &number);
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

void StopLike(int number) {
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

void EndBySignal(int number) {
  const struct sigaction byDefault = Handling(SIG_DFL);
  sigaction(number, &byDefault, nullptr);
  raise(number);
  _exit(128 + number);  // as a PID namespace's init, whom no signal ends by its default action
}
