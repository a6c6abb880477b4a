#ifndef SCRIPT_MENU_RESULT_CHANNEL_H
#define SCRIPT_MENU_RESULT_CHANNEL_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

// A file that a child returned, open for reading until this ends.
struct ReturnedFile {
  int descriptor = -1;  // -1 for none

  ReturnedFile() = default;
  ~ReturnedFile();
  ReturnedFile(const ReturnedFile &) = delete;
  ReturnedFile(ReturnedFile &&) = delete;
  ReturnedFile &operator=(const ReturnedFile &) = delete;
  ReturnedFile &operator=(ReturnedFile &&) = delete;
};

// The way an action's child returns its result, and a file of bytes beside it, to the program:
// a socket that the program listens on, which the child leaves closed while its work runs and
// connects to once the work has returned. The program takes what the child's own process sent,
// as the kernel names the peer, never what another process did (docs/internals.md, "How the
// result and the code come back"). Made before the fork, closed when this ends.
class ResultChannel {
 public:
  ResultChannel();
  ~ResultChannel();
  ResultChannel(const ResultChannel &) = delete;
  ResultChannel(ResultChannel &&) = delete;
  ResultChannel &operator=(const ResultChannel &) = delete;
  ResultChannel &operator=(ResultChannel &&) = delete;

  // Whether the program listens; errno says why not.
  bool Opened() const {
    return listener_ != -1;
  }

  // In the child, before its work: the work holds nothing of the channel.
  void CloseInChild() const;

  // In the child's own process, once its work has returned: the result, and `bytes` in a file of
  // their own when one can be made. False, with errno set, when the result cannot be sent.
  bool Send(std::int32_t result, const std::string &bytes) const;

  // In the program, once `child` has ended and before it is reaped (so that no other process can
  // have its process ID yet): whether it sent a result, which is then in `result`, with the file
  // of bytes it sent, if any, in `file`.
  bool Receive(pid_t child, std::int32_t &result, ReturnedFile &file);

 private:
  int listener_ = -1;
  sockaddr_un address_{};
  socklen_t addressSize_ = 0;
};

#endif
