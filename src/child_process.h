#ifndef SCRIPT_MENU_CHILD_PROCESS_H
#define SCRIPT_MENU_CHILD_PROCESS_H

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include <array>

// What the program changes while an action's child runs, and what it shares with the child and
// takes back afterwards: signal handling, the blocking mode of the standard streams, and the
// terminal's settings and foreground process group.
struct ProgramState {
  pid_t program;
  sigset_t mask;    // as the program was started with, and so as the child starts with
  sigset_t waited;  // the child's end, and the signals passed on to it
  struct sigaction interrupt;
  struct sigaction quit;
  struct sigaction childEnded;
  std::array<int, 3> streamFlags;
  int terminal;     // a standard stream that is a terminal, or -1
  bool foreground;  // the program was in the terminal's foreground, whose settings are saved
  termios terminalSettings;
};

// In the program, right before the fork.
ProgramState PrepareForChild();

// In the child, right after the fork: the signal handling the program was started with, and an
// end of the child when the program ends.
void StartChild(const ProgramState &program);

// Waits until `child` has ended and stores its status. SIGTERM and SIGHUP that reach the program
// meanwhile are passed on to the child; the first of them is stored in `passedOn`, else 0. False,
// with errno set, when the child cannot be waited for.
bool WaitForChild(pid_t child, const ProgramState &program, int &status, int &passedOn);

// In the program, once the child has ended: everything as PrepareForChild found it.
void RestoreAfterChild(const ProgramState &program);

// Ends the program by signal `number`, as it would have ended without a child to pass it on to.
[[noreturn]] void EndBySignal(int number);

#endif
