#include "terminals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// Opened without waiting for a line's carrier, and closed at once.
static bool HasControllingTerminal() {
  const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal == -1) {
    return false;
  }
  close(terminal);
  return true;
}

// Input may be piped while the dialogue shows on a terminal, or come from one terminal and show on
// another. The controlling terminal's settings are saved from its foreground only; another
// terminal (a launcher's) is nobody's job to share.
TerminalsDuringChild::TerminalsDuringChild() : followsStops_(HasControllingTerminal()) {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    flags_[stream] = fcntl(stream, F_GETFL);
    SavedTerminal &terminal = terminals_[stream];
    if (isatty(stream) == 0 || SavedBefore(stream)) {
      continue;
    }
    terminal.stream = stream;
    terminal.controlling = tcgetsid(stream) != -1;
    controlling_ = terminal.controlling ? stream : controlling_;
    terminal.saved = (!terminal.controlling || tcgetpgrp(stream) == getpgrp()) &&
                     tcgetattr(stream, &terminal.settings) == 0;
  }
}

// A script may have left a terminal raw, or a stream non-blocking.
TerminalsDuringChild::~TerminalsDuringChild() {
  for (const SavedTerminal &terminal : terminals_) {
    termios settings{};
    if (terminal.saved && (!terminal.controlling || tcgetpgrp(terminal.stream) == getpgrp()) &&
        tcgetattr(terminal.stream, &settings) == 0 &&
        std::memcmp(&settings, &terminal.settings, sizeof settings) != 0) {
      tcsetattr(terminal.stream, TCSANOW, &terminal.settings);
    }
  }
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    const int flags = fcntl(stream, F_GETFL);
    const int saved = flags_[stream];
    if (flags != -1 && saved != -1 && (flags & O_NONBLOCK) != (saved & O_NONBLOCK)) {
      fcntl(stream, F_SETFL, (flags & ~O_NONBLOCK) | (saved & O_NONBLOCK));
    }
  }
}

void TerminalsDuringChild::TakeForegroundBack(pid_t child) const {
  const pid_t holder = controlling_ != -1 ? tcgetpgrp(controlling_) : -1;
  const bool elsewhere = holder > 0 && holder != getpgrp();
  if (elsewhere && (holder == child || (kill(-holder, 0) == -1 && errno == ESRCH))) {
    tcsetpgrp(controlling_, getpgrp());
  }
}
