#ifndef SCRIPT_MENU_RESULT_CHANNEL_H
#define SCRIPT_MENU_RESULT_CHANNEL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The way an action's child returns its result, and bytes beside it, to the program: the result
// through a page of memory shared with the child, the bytes through a memory file that the child
// writes once its work has returned (docs/internals.md, "How the result and the code come back").
// Made before the fork, released when this ends.
class ResultChannel {
 public:
  explicit ResultChannel(std::size_t capacity);
  ~ResultChannel();
  ResultChannel(const ResultChannel &) = delete;
  ResultChannel(ResultChannel &&) = delete;
  ResultChannel &operator=(const ResultChannel &) = delete;
  ResultChannel &operator=(ResultChannel &&) = delete;

  // Whether the result can come back; errno says why not. Without the file, it still can.
  bool Opened() const;

  // In the child's own process, once its work has returned: the result, and `bytes` when they fit.
  void Send(std::int32_t result, const std::string &bytes) const;

  // In the program, once `child` has ended: whether that process sent a result, which is then in
  // `result`, with the bytes it sent in `bytes`.
  bool Receive(pid_t child, std::int32_t &result, std::string &bytes) const;

 private:
  // What the child writes to the shared page. `from` names the process that wrote it.
  struct Sent {
    pid_t from;
    std::int32_t result;
    std::size_t size;  // of the bytes written to the file
  };

  std::size_t capacity_;
  Sent *page_ = nullptr;
  int file_ = -1;  // -1 for none: no bytes come back
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

#endif
