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
#include "signal_handling.h"

static std::int32_t Failed(const char *what, int error) {
  std::cerr << "script-menu: " << what << ": " << std::strerror(error) << std::endl;
  return -1;
}

// The program is single-threaded and has never started the interpreter, so the child is a whole
// process of its own and may run the interpreter's lifetime as a new one would.
std::int32_t CallScriptFunction(std::string name, std::int32_t value, bool lineFeedToDrop,
                                KeptCode &kept) {
  std::string compiled;
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
      kKeptCodeBytes, compiled);
  KeepReturned(kept, compiled);
  if (outcome.end == ChildEnd::NotStarted) {
    return Failed("cannot start the script's interpreter", outcome.status);
  }
  if (outcome.end == ChildEnd::NotWaited) {
    return Failed("cannot wait for the script's interpreter", outcome.status);
  }
  if (outcome.passedOn != 0) {
    EndBySignal(outcome.passedOn);
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
