#ifndef SCRIPT_MENU_TERMINALS_H
#define SCRIPT_MENU_TERMINALS_H

#include <sys/types.h>
#include <termios.h>

#include <array>

// What an action's child shares with the program through the standard streams: their blocking
// mode, and the settings and foreground of the terminals they lead to. Saved when this is made,
// put back when it ends: the blocking modes always, a terminal's settings when it is not the
// controlling terminal or the program is in its foreground (docs/internals.md, "Terminals").
// Made while SIGTTOU is ignored, and ended before that is undone: the program may then set a
// terminal it shares with a process group in its foreground.
class TerminalsDuringChild {
 public:
  TerminalsDuringChild();
  ~TerminalsDuringChild();
  TerminalsDuringChild(const TerminalsDuringChild &) = delete;
  TerminalsDuringChild(TerminalsDuringChild &&) = delete;
  TerminalsDuringChild &operator=(const TerminalsDuringChild &) = delete;
  TerminalsDuringChild &operator=(TerminalsDuringChild &&) = delete;

  // Whether the program has a controlling terminal, through which a shell's job control can
  // continue it: only then does it stop when its child stops.
  bool FollowsStops() const {
    return followsStops_;
  }

  // A standard stream on the controlling terminal, or -1.
  int Controlling() const {
    return controlling_;
  }

  // Once the child has ended: the controlling terminal's foreground, from a process group that the
  // child made or that has no process left; never from whoever else holds it (a shell, after bg).
  void TakeForegroundBack(pid_t child) const;

 private:
  // A terminal that a standard stream leads to, saved once however many streams lead to it.
  struct SavedTerminal {
    int stream = -1;           // -1 for none
    bool controlling = false;  // the program's controlling terminal, whose settings are its
                               // foreground's
    bool saved = false;
    termios settings{};
  };

  std::array<int, 3> flags_{};
  std::array<SavedTerminal, 3> terminals_{};
  int controlling_ = -1;
  bool followsStops_ = false;
};

#endif
