#ifndef SCRIPT_MENU_CHILD_PROCESS_H
#define SCRIPT_MENU_CHILD_PROCESS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// How an action's child ended.
enum class ChildEnd {
  HandedOver,  // the child's own process returned a result from its function, then ended
  Exited,      // it ended without handing a result over; `status` is its exit status
  Killed,      // a signal killed it; `status` is the signal's number
  NotStarted,  // it could not be started; `status` is the errno
  NotWaited,   // it could not be waited for; `status` is the errno
};

struct ChildOutcome {
  ChildEnd end;
  int status;
  std::int32_t result;  // with HandedOver
  // SIGTERM or SIGHUP that reached the program while the child ran and was passed on to it, the
  // first of them, or 0. The program should end by it (EndBySignal) once it has seen the outcome.
  int passedOn;
};

// Once, when the program starts: children that scripts leave behind and that come to the program
// (as a PID namespace's init, or a subreaper) are reaped whenever they end, and as such an init,
// whom the kernel lets no signal end by its default action, SIGTERM, SIGHUP and SIGINT still end
// the program, with status 128 + the signal's number. Signals that the program was started with
// handled or ignored are left as they are.
void PrepareProgram();

// Runs `work` in a child process of its own and waits for it. The child starts with the signal
// handling and mask that the program was started with (none of the program's own handlers), is
// killed with the program on Linux, and leaves with _exit: nothing inherited is flushed or
// destroyed in it, and an exception that escapes `work` aborts it. Only the child's own process
// hands its result over, not a copy of it that `work` forked and let return.
//
// Beside its result, `work` may hand bytes over: what it leaves in `handing`, up to `capacity` of
// them, comes back in `handed`, by the child's own process alone (more than `capacity` bytes hand
// none over). `handed` is empty when the child handed nothing over. The result comes back through
// a page of shared memory; the bytes through a memory file (memfd) that the child writes once
// `work` has returned, so they take memory only when handed over, and no address space before.
// The child holds that file on a descriptor of its own, closed on exec; when `work` closed it or
// put another file on its number, or the file cannot take the bytes (no memory, a file size
// limit), or on a system without memfd_create, the result comes back and nothing is handed over.
//
// While the child runs, the program ignores the terminal's signals (Ctrl-C, Ctrl-\, Ctrl-Z) and
// leaves them to the child, as system(3) does; passes SIGTERM and SIGHUP on, unless it was started
// with them ignored or blocked, and continues the child after them, should it be stopped. With a
// controlling terminal, the program stops itself the way the child stops (a stop sent from outside
// included, as sudo does), and continues the child when it is continued, so that a shell sees the
// job stopped; without one no shell could continue it, so it waits on, as system(3) does. As PID 1
// or a subreaper it reaps any other child that ends; elsewhere it leaves other children alone: a
// job that a shell started before it exec'd the program (`sh -c 'job & exec script-menu'`) stays
// a zombie once ended, as under any program that does not wait for it. Once the child has ended,
// the blocking mode of the standard streams and, when the program is in its foreground, the
// terminal are put back as they were; the terminal's foreground is taken back from a process group
// that the child made, or that has no process left, never from its owner.
//
// Everything after the fork relies on the caller being single-threaded: the child is a copy of the
// calling thread alone, and another thread's locks or signal mask would be lost in it.
ChildOutcome RunInChild(const std::function<std::int32_t(std::string &handing)> &work,
                        std::size_t capacity, std::string &handed);

// In the child, from `work`: ends it with `status`, flushing the C streams only; nothing is handed
// over.
[[noreturn]] void EndChild(int status);

// Ends the program by signal `number`, as it would have ended without a child to pass it on to.
[[noreturn]] void EndBySignal(int number);

#endif
