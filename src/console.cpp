#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>

ConsoleOutput::ConsoleOutput(int descriptor) : descriptor_(descriptor) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

ConsoleOutput::int_type ConsoleOutput::overflow(int_type byte) {
  if (sync() != 0) {
    return traits_type::eof();
  }
  if (!traits_type::eq_int_type(byte, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(byte);
    pbump(1);
  }
  return traits_type::not_eof(byte);
}

// A write may take only part of the buffer (a socket with little room); the rest is written next.
int ConsoleOutput::sync() {
  const char *next = pbase();
  while (error_ == 0 && next < pptr()) {
    const ssize_t written = write(descriptor_, next, static_cast<std::size_t>(pptr() - next));
    if (written > 0) {
      next += written;
    } else if (written == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd output{descriptor_, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      error_ = written == 0 ? EIO : errno;
    }
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return error_ == 0 ? 0 : -1;
}

// Reads one byte straight from the descriptor. Returns 1, or 0 at the end of input, or -1 when the
// input cannot be read, which it reports.
static int ReadByte(char &byte) {
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1 || got == 0) {
      return static_cast<int>(got);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{STDIN_FILENO, POLLIN, 0};
      poll(&ready, 1, -1);  // started with a non-blocking input: wait as a blocking read would
    } else if (errno != EINTR) {
      std::cerr << "script-menu: cannot read standard input: " << std::strerror(errno) << std::endl;
      return -1;
    }
  }
}

static bool IsSpace(char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// A line ends at LF, CR LF, or CR alone.
static bool EndsLine(char byte) {
  return byte == '\n' || byte == '\r';
}

// After a CR, whether the LF of a CR LF may still follow. A regular file can be read back: its LF
// is taken, any other byte goes back. Anything else is left unread, since a byte read too far could
// reach neither a script nor the dialogue's next read in its place.
static bool LineFeedMayFollow() {
  if (lseek(STDIN_FILENO, 0, SEEK_CUR) == -1) {
    return true;
  }
  char byte = 0;
  if (read(STDIN_FILENO, &byte, 1) == 1 && byte != '\n') {
    lseek(STDIN_FILENO, -1, SEEK_CUR);
  }
  return false;
}

Reply ReadNumber(ConsoleInput &input, std::int32_t &number) {
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
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  const bool isNumber =
      wellFormed && digits && signedValue >= INT32_MIN && signedValue <= INT32_MAX;
  while (!isNumber && got == 1 && !EndsLine(byte)) {
    got = ReadByte(byte);
  }
  if (got == -1) {
    return Reply::InputFailed;
  }
  input.lineFeedToDrop = got == 1 && byte == '\r' && LineFeedMayFollow();
  if (!isNumber) {
    return Reply::Unreadable;
  }
  number = static_cast<std::int32_t>(signedValue);
  return Reply::Number;
}
