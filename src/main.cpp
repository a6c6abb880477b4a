#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>

#include "script_bridge.h"

// What one prompt got back.
enum class Reply { Number, Unreadable, EndOfInput, OutputFailed };

// Reads one byte straight from the descriptor: nothing is read ahead and kept in a buffer, so a
// script that reads standard input itself starts where the dialogue stopped. False at the end of
// input, or when the input can no longer be read.
static bool ReadByte(char &byte) {
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) {
      return true;
    }
    if (got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      poll(&input, 1, -1);  // started with a non-blocking input: wait as a blocking read would
    } else if (got == 0 || errno != EINTR) {
      return false;
    }
  }
}

static bool IsSpace(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Reads one white-space-delimited token and the white space that ends it (for a value, the line
// end the user typed). A number is the whole token: an optional sign, then decimal digits, with a
// value that fits in 32 bits. Any other token is discarded with the rest of its line.
static Reply ReadNumber(std::int32_t &number) {
  char byte = 0;
  do {
    if (!ReadByte(byte)) {
      return Reply::EndOfInput;
    }
  } while (IsSpace(byte));
  constexpr std::int64_t kBeyond = std::int64_t{1} << 32;  // any larger magnitude is as bad
  bool negative = false;
  bool digits = false;
  bool wellFormed = true;
  std::int64_t magnitude = 0;
  bool more = true;
  for (std::size_t length = 0; more && !IsSpace(byte); ++length) {
    if (length == 0 && (byte == '+' || byte == '-')) {
      negative = byte == '-';
    } else if (byte >= '0' && byte <= '9') {
      digits = true;
      magnitude = std::min(magnitude * 10 + (byte - '0'), kBeyond);
    } else {
      wellFormed = false;
    }
    more = ReadByte(byte);
  }
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (wellFormed && digits && signedValue >= INT32_MIN && signedValue <= INT32_MAX) {
    number = static_cast<std::int32_t>(signedValue);
    return Reply::Number;
  }
  while (more && byte != '\n') {
    more = ReadByte(byte);
  }
  return Reply::Unreadable;
}

// Writes the prompt and reads one number. Output that can no longer be written ends the dialogue:
// nobody would see the next prompt.
static Reply Prompt(const char *prompt, std::int32_t &number) {
  std::cout << prompt << std::flush;
  if (!std::cout) {
    return Reply::OutputFailed;
  }
  return ReadNumber(number);
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
