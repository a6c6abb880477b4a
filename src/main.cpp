#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "console.h"
#include "kept_code.h"
#include "script_bridge.h"
#include "signal_handling.h"

// Writes the prompt and reads one number. Output that can no longer be written ends the dialogue:
// nobody would see the next prompt.
static Reply Prompt(ConsoleInput &input, const char *prompt, std::int32_t &number) {
  std::cout << prompt << std::flush;
  if (!std::cout) {
    return Reply::OutputFailed;
  }
  return ReadNumber(input, number);
}

// Asks for a value until one is read or the input ends.
static Reply PromptForValue(ConsoleInput &input, const char *prompt, std::int32_t &value) {
  Reply reply = Prompt(input, prompt, value);
  while (reply == Reply::Unreadable) {
    std::cout << "Please enter a whole number from -2147483648 to 2147483647." << std::endl;
    reply = Prompt(input, prompt, value);
  }
  return reply;
}

static int ReportOutputFailure(const ConsoleOutput &output) {
  std::cerr << "script-menu: cannot write standard output: " << std::strerror(output.error())
            << std::endl;
  return EXIT_FAILURE;
}

static int Finished(const ConsoleOutput &output) {
  return std::cout ? EXIT_SUCCESS : ReportOutputFailure(output);
}

static int RunMenu(const ConsoleOutput &output) {
  ConsoleInput input;
  KeptCode kept;  // the script's modules as earlier actions compiled them
  for (;;) {
    std::cout << std::endl
              << "********** Main Menu **********" << std::endl
              << "1: Display Multiplication Table" << std::endl
              << "2: Double a Value" << std::endl
              << "3: Exit" << std::endl;
    std::int32_t choice = 0;
    std::int32_t value = 0;
    Reply reply = Prompt(input, "Enter your selection (choose 1, 2, or 3): ", choice);
    if (reply == Reply::Number && choice == 1) {
      reply = PromptForValue(input, "Enter Value: ", value);
    } else if (reply == Reply::Number && choice == 2) {
      reply = PromptForValue(input, "Enter value: ", value);
    } else if (reply == Reply::Unreadable) {
      choice = 0;  // answered like any other invalid choice
    }
    if (reply == Reply::OutputFailed) {
      return ReportOutputFailure(output);
    }
    if (reply == Reply::InputFailed) {
      return EXIT_FAILURE;
    }
    if (reply == Reply::EndOfInput) {
      std::cout << std::endl;
      return Finished(output);
    }
    switch (choice) {
      case 1:
      case 2: {
        std::cout << std::endl;
        if (!std::cout) {
          return ReportOutputFailure(output);  // no action runs that nobody would see
        }
        const std::int32_t result = CallScriptFunction(
            choice == 1 ? "MultiplicationTable" : "DoubleValue", value, input.lineFeedToDrop, kept);
        if (choice == 2) {
          std::cout << value << " doubled is: " << result << std::endl;
        }
        break;
      }
      case 3:
        std::cout << "Program Exited. Goodbye" << std::endl;
        return Finished(output);
      default:
        std::cout << "\nInvalid Selection, try again." << std::endl;
    }
  }
}

int main() {
  PrepareProgram();
  ConsoleOutput output(STDOUT_FILENO);
  ConsoleOutput errors(STDERR_FILENO);
  std::streambuf *const standardOutput = std::cout.rdbuf(&output);
  std::streambuf *const standardErrors = std::cerr.rdbuf(&errors);
  const int status = RunMenu(output);
  // The buffers end with this function, the streams only at exit.
  std::cerr.rdbuf(standardErrors);
  std::cout.rdbuf(standardOutput);
  return status;
}
