#ifndef SCRIPT_MENU_CHILD_PROCESS_H
#define SCRIPT_MENU_CHILD_PROCESS_H

#include <cstdint>
#include <functional>
#include <string>

#include "result_channel.h"

// How an action's child ended.
enum class ChildEnd {
  Returned,    // the child's own process returned a result from its work, then ended
  Exited,      // it ended without returning a result; `status` is its exit status
  Killed,      // a signal killed it; `status` is the signal's number
  NotStarted,  // it could not be started; `status` is the errno
  NotWaited,   // it could not be waited for; `status` is the errno
};

struct ChildOutcome {
  ChildEnd end = ChildEnd::NotStarted;
  int status = 0;
  std::int32_t result = -1;  // with Returned
  // SIGTERM or SIGHUP that reached the program while the child ran and was passed on to it, the
  // first of them, or 0. The program should end by it (EndBySignal) once it has seen the outcome.
  int passedOn = 0;
};

// The work of a child: returns its result, and may leave bytes to return beside it in `returning`.
using ChildWork = std::function<std::int32_t(std::string &returning)>;

// Runs `work` in a child process of its own and waits for it, as system(3) runs a command: the
// child starts with the signal handling and mask that the program was started with, is killed with
// the program on Linux, and leaves with _exit, so that nothing inherited is flushed or destroyed in
// it (an exception that escapes `work` aborts it). What the child shares with the program is put
// back once it has ended. Only the child's own process returns a result, once its work has
// returned, not a copy of it that `work` forked: the work holds no way back while it runs. The
// bytes it returns come back in the file `returned`, with none when the child returned no bytes
// or no file could take them. docs/internals.md, "An action's child", says how and why.
//
// Everything after the fork relies on the caller being single-threaded: the child is a copy of the
// calling thread alone, and another thread's locks or signal mask would be lost in it.
ChildOutcome RunInChild(const ChildWork &work, ReturnedFile &returned);

// In the child, from `work`: ends it with `status`, flushing the C streams only; nothing returns.
[[noreturn]] void EndChild(int status);

#endif
