#include "child_process.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "result_channel.h"
#include "signal_handling.h"
#include "terminals.h"

void EndChild(int status) {
  std::fflush(nullptr);  // what C code in the child printed: the inherited buffers were empty
  _exit(status);
}

// The child's half: `work` as a new process would run it, its result returned by this process
// alone, and an end without flushing or destroying anything inherited from the program.
[[noreturn]] static void RunChild(const ChildWork &work, pid_t program,
                                  const SignalsDuringChild &signals,
                                  const ResultChannel &channel) noexcept {
#ifdef __linux__
  // Killed with the program, even by SIGKILL. A program that died before this call is no longer
  // the parent, and nobody is left to see the script's work.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() != program) {
    _exit(EXIT_FAILURE);
  }
#endif
  channel.CloseInChild();
  signals.ResetInChild();
  const pid_t self = getpid();
  std::string returning;
  const std::int32_t result = work(returning);
  if (getpid() == self && !channel.Send(result, returning)) {
    // Not as an exit, which the program would take for the script's own.
    std::fprintf(stderr, "script-menu: the script's result cannot be returned: %s\n",
                 std::strerror(errno));
    raise(SIGKILL);
  }
  std::string().swap(returning);  // freed: a leak checker that follows the child sees what is left
  EndChild(EXIT_SUCCESS);
}

// A stopped child acts on the signal only once continued, as after timeout(1)'s.
static void PassOn(pid_t child, int number) {
  kill(child, number);
  kill(child, SIGCONT);
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
static void ReapHelpers(bool reapsOthers, pid_t spared) {
  if (!reapsOthers) {
    return;
  }
  siginfo_t ended{};
  while (waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid > 0 &&
         ended.si_pid != spared) {
    waitpid(ended.si_pid, nullptr, WNOHANG);
    ended = siginfo_t{};
  }
}

// Until the child ends, which leaves it unreaped: signals passed on, stops followed where a shell
// can continue the program.
static ChildOutcome WaitForChild(pid_t child, const SignalsDuringChild &signals,
                                 const TerminalsDuringChild &terminals, bool reapsOthers) {
  ChildOutcome outcome{ChildEnd::NotWaited};
  for (;;) {
    const int number = signals.Wait();
    if (number == -1) {
      outcome.status = errno;
      return outcome;
    }
    if (number != SIGCHLD) {
      PassOn(child, number);
      outcome.passedOn = outcome.passedOn != 0 ? outcome.passedOn : number;
      continue;
    }
    siginfo_t changed{};
    if (waitid(P_PID, child, &changed, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) != 0 &&
        errno != EINTR) {
      outcome.status = errno;
      return outcome;
    }
    if (changed.si_pid == child && changed.si_code != CLD_STOPPED) {
      outcome.end = changed.si_code == CLD_EXITED ? ChildEnd::Exited : ChildEnd::Killed;
      outcome.status = changed.si_status;
      return outcome;
    }
    if (changed.si_pid == child) {
      waitid(P_PID, child, &changed, WSTOPPED | WNOHANG);  // taken, so that it is seen once
    }
    // Without a controlling terminal no shell would ever continue the program: it waits on, as
    // system(3) does, until whoever stopped the child continues it or a signal is passed on.
    if (changed.si_pid == child && terminals.FollowsStops()) {
      FollowStop(child, changed.si_status, terminals.Controlling());
    }
    ReapHelpers(reapsOthers, child);
  }
}

ChildOutcome RunInChild(const ChildWork &work, ReturnedFile &returned) {
  std::cout.flush();
  std::fflush(nullptr);  // the child must not inherit output that it could write again
  ResultChannel channel;
  if (!channel.Opened()) {
    return ChildOutcome{ChildEnd::NotStarted, errno};
  }
  const pid_t program = getpid();
  const SignalsDuringChild signals;
  const TerminalsDuringChild terminals;
  const pid_t child = fork();
  if (child == 0) {
    RunChild(work, program, signals, channel);
  }
  if (child == -1) {
    return ChildOutcome{ChildEnd::NotStarted, errno};
  }
  const bool reapsOthers = InheritsOrphans();
  ChildOutcome outcome = WaitForChild(child, signals, terminals, reapsOthers);
  if (outcome.end == ChildEnd::Exited && channel.Receive(child, outcome.result, returned)) {
    outcome.end = ChildEnd::Returned;
  }
  if (outcome.end == ChildEnd::NotWaited) {
    kill(child, SIGKILL);  // nobody would see what it goes on to do
  }
  waitpid(child, nullptr, 0);
  ReapHelpers(reapsOthers, child);  // helpers that ended with it, in the one SIGCHLD taken
  terminals.TakeForegroundBack(child);
  return outcome;
}  // the terminals and streams put back, then the signals, then the channel released
