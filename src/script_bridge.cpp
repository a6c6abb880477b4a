#include "script_bridge.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "child_process.h"
#include "interpreter_lifetime.h"
#include "kept_code.h"
#include "kept_code_compile.h"
#include "result_channel.h"
#include "signal_handling.h"

static std::int32_t Failed(const char *what, int error) {
  std::cerr << "script-menu: " << what << ": " << std::strerror(error) << std::endl;
  return -1;
}

// Compiles the source that an action read, in a child of its own that runs no script, and keeps
// that code: what an action returns is the script's, and only says which source to compile.
// Returns the signal passed on to that child, or 0.
static int CompileAndKeep(KeptCode &kept, const ReturnedFile &read) {
  if (read.descriptor == -1 || !MarkUsed(kept, read.descriptor)) {
    return 0;
  }
  ReturnedFile compiled;
  const ChildOutcome outcome = RunInChild(
      [&read](std::string &returning) {
        CompileForLater(read.descriptor, returning);
        return 0;
      },
      compiled);
  if (outcome.end == ChildEnd::Returned && compiled.descriptor != -1) {
    KeepCompiled(kept, compiled.descriptor);
  }
  return outcome.passedOn;
}

// The program is single-threaded and has never started the interpreter, so the child is a whole
// process of its own and may run the interpreter's lifetime as a new one would.
std::int32_t CallScriptFunction(std::string name, std::int32_t value, bool lineFeedToDrop,
                                KeptCode &kept) {
  ReturnedFile read;
  const ChildOutcome outcome = RunInChild(
      [&name, value, lineFeedToDrop, &kept](std::string &returning) {
        std::optional<int> exitStatus;
        const std::int32_t result =
            RunScriptFunction(name, value, lineFeedToDrop, kept, exitStatus, returning);
        if (exitStatus) {
          std::string().swap(returning);  // nothing returns: freed for a leak checker
          EndChild(*exitStatus);  // the script's process ends, not the program whose copy it is
        }
        return result;
      },
      read);
  if (outcome.end == ChildEnd::NotStarted) {
    return Failed("cannot start the script's interpreter", outcome.status);
  }
  if (outcome.end == ChildEnd::NotWaited) {
    return Failed("cannot wait for the script's interpreter", outcome.status);
  }
  const int passedOn = outcome.passedOn != 0 || outcome.end != ChildEnd::Returned
                           ? outcome.passedOn
                           : CompileAndKeep(kept, read);
  if (passedOn != 0) {
    EndBySignal(passedOn);
  }
  if (outcome.end == ChildEnd::Killed) {
    std::cerr << "script-menu: the script's interpreter was killed by signal " << outcome.status
              << " (" << strsignal(outcome.status) << ")" << std::endl;
    return -1;
  }
  if (outcome.end == ChildEnd::Exited) {
    // SystemExit or os._exit: the script ends the program, as it would end a Python process.
    std::exit(outcome.status);
  }
  return outcome.result;
}
