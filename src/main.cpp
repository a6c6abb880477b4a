#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>

#include "script_bridge.h"

// What one prompt got back.
enum class Reply { Number, Unreadable, EndOfInput, OutputFailed };

// Writes the prompt and reads one decimal integer by formatted extraction. A token that is not
// one, or does not fit in 32 bits, is discarded with the rest of its line. Output that can no
// longer be written ends the dialogue: nobody would see the next prompt.
static Reply Prompt(const char *prompt, std::int32_t &number) {
  std::cout << prompt << std::flush;
  if (!std::cout) {
    return Reply::OutputFailed;
  }
  if (std::cin >> number) {
    return Reply::Number;
  }
  if (std::cin.eof() || std::cin.bad()) {
    return Reply::EndOfInput;
  }
  std::cin.clear();
  std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return Reply::Unreadable;
}

// Asks for a value until one is read or the input ends.
static Reply PromptForValue(const char *prompt, std::int32_t &value) {
  Reply reply = Prompt(prompt, value);
  while (reply == Reply::Unreadable) {
    std::cout << "Please enter a whole number from -2147483648 to 2147483647." << std::endl;
    reply = Prompt(prompt, value);
  }
  return reply;
}

static int ExitStatus() {
  return std::cout ? EXIT_SUCCESS : EXIT_FAILURE;
}

int main() {
  for (;;) {
    std::cout << std::endl
              << "********** Main Menu **********" << std::endl
              << "1: Display Multiplication Table" << std::endl
              << "2: Double a Value" << std::endl
              << "3: Exit" << std::endl;
    std::int32_t choice = 0;
    std::int32_t value = 0;
    Reply reply = Prompt("Enter your selection (choose 1, 2, or 3): ", choice);
    if (reply == Reply::Number && choice == 1) {
      reply = PromptForValue("Enter Value: ", value);
    } else if (reply == Reply::Number && choice == 2) {
      reply = PromptForValue("Enter value: ", value);
    } else if (reply == Reply::Unreadable) {
      choice = 0;  // answered like any other invalid choice
    }
    if (reply == Reply::OutputFailed) {
      return EXIT_FAILURE;
    }
    if (reply == Reply::EndOfInput) {
      std::cout << std::endl;
      return ExitStatus();
    }
    switch (choice) {
      case 1:
        std::cout << std::endl;
        CallScriptFunction("MultiplicationTable", value);
        break;
      case 2: {
        std::cout << std::endl;
        const std::int32_t result = CallScriptFunction("DoubleValue", value);
        std::cout << value << " doubled is: " << result << std::endl;
        break;
      }
      case 3:
        std::cout << "Program Exited. Goodbye" << std::endl;
        return ExitStatus();
      default:
        std::cout << "\nInvalid Selection, try again." << std::endl;
    }
  }
}
