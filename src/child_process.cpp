#include "child_process.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// Never runs: SIGCHLD stays blocked and is taken by sigwait. A handler rather than the default,
// because SIG_IGN (inherited from whoever started the program) reaps the child behind the
// program's back, and some systems discard a blocked signal whose default is to ignore it.
static void NoteChildEnded(int) {}

static struct sigaction Handling(void (*handler)(int)) {
  struct sigaction handling {};
  handling.sa_handler = handler;
  sigemptyset(&handling.sa_mask);
  return handling;
}

// What the child starts with, and what the program returns to after it.
static void RestoreSignals(const ProgramState &program) {
  sigaction(SIGCHLD, &program.childEnded, nullptr);
  sigaction(SIGQUIT, &program.quit, nullptr);
  sigaction(SIGINT, &program.interrupt, nullptr);
  sigprocmask(SIG_SETMASK, &program.mask, nullptr);
}

static bool IsIgnored(int number) {
  struct sigaction current {};
  return sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The first of the standard streams that is a terminal: input may be piped while the dialogue
// shows on the terminal.
static int FindTerminal() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (isatty(stream) != 0) {
      return stream;
    }
  }
  return -1;
}

ProgramState PrepareForChild() {
  ProgramState state{};
  state.program = getpid();
  sigprocmask(SIG_BLOCK, nullptr, &state.mask);
  // Ctrl-C and Ctrl-\ while the script runs are the script's alone, as with system(3).
  const struct sigaction ignore = Handling(SIG_IGN);
  sigaction(SIGINT, &ignore, &state.interrupt);
  sigaction(SIGQUIT, &ignore, &state.quit);
  const struct sigaction noted = Handling(NoteChildEnded);
  sigaction(SIGCHLD, &noted, &state.childEnded);
  // Whoever ends the program ends the script too, as with timeout(1); a signal that the program
  // was started with ignored or blocked stays so, as under nohup.
  sigemptyset(&state.waited);
  sigaddset(&state.waited, SIGCHLD);
  for (const int number : {SIGTERM, SIGHUP}) {
    if (!IsIgnored(number) && sigismember(&state.mask, number) == 0) {
      sigaddset(&state.waited, number);
    }
  }
  // SIGTTOU too: taking the terminal back afterwards must not stop the program.
  sigset_t blocked = state.waited;
  sigaddset(&blocked, SIGTTOU);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  for (int stream = 0; stream < 3; ++stream) {
    state.streamFlags[stream] = fcntl(stream, F_GETFL);
  }
  state.terminal = FindTerminal();
  state.foreground = state.terminal != -1 && tcgetpgrp(state.terminal) == getpgrp() &&
                     tcgetattr(state.terminal, &state.terminalSettings) == 0;
  return state;
}

void StartChild(const ProgramState &program) {
#ifdef __linux__
  // Killed with the program, even by SIGKILL. A program that died before this call is no longer
  // the parent, and nobody is left to see the script's work.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != program.program) {
    _exit(EXIT_FAILURE);
  }
#endif
  RestoreSignals(program);
}

bool WaitForChild(pid_t child, const ProgramState &program, int &status, int &passedOn) {
  passedOn = 0;
  for (;;) {
    int number = 0;
    const int error = sigwait(&program.waited, &number);
    if (error != 0) {
      errno = error;
      return false;
    }
    if (number != SIGCHLD) {
      kill(child, number);
      passedOn = passedOn != 0 ? passedOn : number;
      continue;
    }
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) {
      return true;
    }
    if (ended == -1 && errno != EINTR) {
      return false;
    }
  }
}

void RestoreAfterChild(const ProgramState &program) {
  if (program.foreground) {
    // A script may have put itself in the foreground, or left the terminal raw.
    if (tcgetpgrp(program.terminal) != getpgrp()) {
      tcsetpgrp(program.terminal, getpgrp());
    }
    termios settings{};
    if (tcgetattr(program.terminal, &settings) == 0 &&
        std::memcmp(&settings, &program.terminalSettings, sizeof settings) != 0) {
      tcsetattr(program.terminal, TCSANOW, &program.terminalSettings);
    }
  }
  for (int stream = 0; stream < 3; ++stream) {
    const int flags = fcntl(stream, F_GETFL);
    const int saved = program.streamFlags[stream];
    if (flags != -1 && saved != -1 && (flags & O_NONBLOCK) != (saved & O_NONBLOCK)) {
      fcntl(stream, F_SETFL, (flags & ~O_NONBLOCK) | (saved & O_NONBLOCK));
    }
  }
  RestoreSignals(program);
}

void EndBySignal(int number) {
  const struct sigaction byDefault = Handling(SIG_DFL);
  sigaction(number, &byDefault, nullptr);
  raise(number);
  _exit(128 + number);  // not reached: the signal is neither ignored nor blocked
}
