#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "child_process.h"
#include "script_bridge.h"

// What one prompt got back.
enum class Reply { Number, Unreadable, EndOfInput, InputFailed, OutputFailed };

// Standard output as the dialogue writes it: a buffer emptied straight into the descriptor at
// every flush. A descriptor left non-blocking by whoever started the program is waited on while it
// is full, as a blocking one would be, instead of failing the write.
class ConsoleOutput : public std::streambuf {
 public:
  ConsoleOutput() {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }

 protected:
  int_type overflow(int_type byte) override {
    if (sync() != 0) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(byte, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(byte);
      pbump(1);
    }
    return traits_type::not_eof(byte);
  }

  // Nothing of a failed write is kept: the caller's stream turns bad, and the text is lost.
  int sync() override {
    const char *next = pbase();
    while (next < pptr()) {
      const ssize_t written = write(STDOUT_FILENO, next, static_cast<std::size_t>(pptr() - next));
      if (written > 0) {
        next += written;
      } else if (written == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        poll(&output, 1, -1);
      } else if (written == 0 || errno != EINTR) {
        break;
      }
    }
    const bool complete = next == pptr();
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return complete ? 0 : -1;
  }

 private:
  std::array<char, 4096> buffer_{};
};

// Reads one byte straight from the descriptor: nothing is read ahead and kept in a buffer, so a
// script that reads standard input itself starts where the dialogue stopped. Returns 1, or 0 at the
// end of input, or -1 when the input cannot be read, which it reports.
static int ReadByte(char &byte) {
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1 || got == 0) {
      return static_cast<int>(got);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      poll(&input, 1, -1);  // started with a non-blocking input: wait as a blocking read would
    } else if (errno != EINTR) {
      std::cerr << "script-menu: cannot read standard input: " << std::strerror(errno) << std::endl;
      return -1;
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
  int got = 0;
  do {
    got = ReadByte(byte);
    if (got != 1) {
      return got == 0 ? Reply::EndOfInput : Reply::InputFailed;
    }
  } while (IsSpace(byte));
  constexpr std::int64_t kBeyond = std::int64_t{1} << 32;  // any larger magnitude is as bad
  bool negative = false;
  bool digits = false;
  bool wellFormed = true;
  std::int64_t magnitude = 0;
  for (std::size_t length = 0; got == 1 && !IsSpace(byte); ++length) {
    if (length == 0 && (byte == '+' || byte == '-')) {
      negative = byte == '-';
    } else if (byte >= '0' && byte <= '9') {
      digits = true;
      magnitude = std::min(magnitude * 10 + (byte - '0'), kBeyond);
    } else {
      wellFormed = false;
    }
    got = ReadByte(byte);
  }
  if (got == -1) {
    return Reply::InputFailed;
  }
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (wellFormed && digits && signedValue >= INT32_MIN && signedValue <= INT32_MAX) {
    number = static_cast<std::int32_t>(signedValue);
    return Reply::Number;
  }
  while (got == 1 && byte != '\n') {
    got = ReadByte(byte);
  }
  return got == -1 ? Reply::InputFailed : Reply::Unreadable;
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

static int RunMenu() {
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
    if (reply == Reply::OutputFailed || reply == Reply::InputFailed) {
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

int main() {
  PrepareProgram();
  ConsoleOutput output;
  std::streambuf *const standard = std::cout.rdbuf(&output);
  const int status = RunMenu();
  std::cout.rdbuf(standard);  // the buffer ends with this function, the stream only at exit
  return status;
}
