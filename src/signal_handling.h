#ifndef SCRIPT_MENU_SIGNAL_HANDLING_H
#define SCRIPT_MENU_SIGNAL_HANDLING_H

#include <signal.h>

#include <array>

// The program's signal handling: at its start, while an action's child runs, and when it ends by a
// signal. The mechanisms and their reasons are in docs/internals.md, "An action's child".

// Once, when the program starts: as a PID namespace's init or a subreaper, children that scripts
// leave behind are reaped whenever they end, and as such an init SIGTERM, SIGHUP and SIGINT still
// end the program (status 128 + the signal's number). Signals that the program was started with
// handled or ignored are left as they are.
void PrepareProgram();

// Whether processes that others leave behind come to the program: as a PID namespace's init, or as
// a subreaper.
bool InheritsOrphans();

// Stops the program as signal `number` by its default action would, until it is continued.
void StopLike(int number);

// Ends the program by signal `number`, as it would have ended without a child to pass it on to.
[[noreturn]] void EndBySignal(int number);

// The signals whose handling the program changes, for itself or while a child runs.
constexpr std::array<int, 8> kChangedSignals = {SIGINT,  SIGQUIT, SIGTSTP, SIGTTIN,
                                                SIGTTOU, SIGCHLD, SIGTERM, SIGHUP};

// While an action's child runs, as system(3) does: the terminal's signals are ignored (they are
// the script's), and SIGCHLD, SIGTERM and SIGHUP are blocked and taken by Wait, so that the latter
// two can be passed on to the child. A signal that the program was started with ignored or blocked
// is not passed on. Everything is put back as it was when this ends.
class SignalsDuringChild {
 public:
  SignalsDuringChild();
  ~SignalsDuringChild();
  SignalsDuringChild(const SignalsDuringChild &) = delete;
  SignalsDuringChild(SignalsDuringChild &&) = delete;
  SignalsDuringChild &operator=(const SignalsDuringChild &) = delete;
  SignalsDuringChild &operator=(SignalsDuringChild &&) = delete;

  // In the child: the handling and mask the program was started with, none of its own handlers.
  void ResetInChild() const;

  // The next signal of those taken: SIGCHLD, or one to pass on. -1 with errno set on failure.
  int Wait() const;

 private:
  sigset_t mask_{};   // as the program was started with, and so as the child starts with
  sigset_t taken_{};  // the child's end, and the signals passed on to it
  std::array<struct sigaction, kChangedSignals.size()> saved_{};
};

#endif
