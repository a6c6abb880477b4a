#ifndef SCRIPT_MENU_CONSOLE_H
#define SCRIPT_MENU_CONSOLE_H

#include <array>
#include <cstdint>
#include <streambuf>

// A standard stream as the program writes it: a buffer emptied straight into the descriptor at
// every flush. A descriptor left non-blocking by whoever started the program is waited on while
// it is full, as a blocking one would be, instead of failing the write. After a write fails,
// nothing more is written, and the stream using this buffer turns bad.
class ConsoleOutput : public std::streambuf {
 public:
  explicit ConsoleOutput(int descriptor);

  // The errno of the write that failed, or 0.
  int error() const {
    return error_;
  }

 protected:
  int_type overflow(int_type byte) override;
  int sync() override;

 private:
  int descriptor_;
  int error_ = 0;
  std::array<char, 4096> buffer_{};
};

// What one prompt got back: a number, or why there is none. The dialogue's own prompt may fail to
// be written (OutputFailed) before anything is read.
enum class Reply { Number, Unreadable, EndOfInput, InputFailed, OutputFailed };

// Standard input as the dialogue reads it, straight from the descriptor: nothing is read ahead, so
// a script that reads standard input itself starts where the dialogue stopped.
struct ConsoleInput {
  // The last token ended in a CR on an input that cannot be read back (a pipe, a terminal), where
  // the LF of a CR LF may still come: nothing after the CR was read to look. Whoever reads next
  // drops that LF; the dialogue does, as white space.
  bool lineFeedToDrop = false;
};

// Reads one white-space-delimited token, and the white space that ends it (for a value, the line
// end the user typed, CR LF as one, save an LF to drop). A number is the whole token: an
// optional sign, then decimal digits, with a value that fits in 32 bits. Any other token is
// discarded with the rest of its line, which LF, CR LF or CR ends. A read error is reported on
// standard error.
Reply ReadNumber(ConsoleInput &input, std::int32_t &number);

#endif
