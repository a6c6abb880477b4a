#include "result_channel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

ReturnedFile::~ReturnedFile() {
  if (descriptor != -1) {
    close(descriptor);
  }
}

// Bound to a name of the kernel's choosing in the abstract namespace, which takes no file.
ResultChannel::ResultChannel() {
  const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener == -1) {
    return;
  }
  address_.sun_family = AF_UNIX;
  addressSize_ = sizeof address_;
  if (bind(listener, reinterpret_cast<const sockaddr *>(&address_), sizeof(sa_family_t)) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&address_), &addressSize_) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    const int error = errno;
    close(listener);
    errno = error;
    return;
  }
  listener_ = listener;
}

ResultChannel::~ResultChannel() {
  if (listener_ != -1) {
    close(listener_);
  }
}

void ResultChannel::CloseInChild() const {
  close(listener_);
}

// What the script left open is not the way back's: a helper it started may hold the same files.
// Closing them also frees the descriptors that the way back needs, should the script have used
// them all.
static void CloseFrom(unsigned int lowest) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, lowest, ~0U, 0U) == 0) {
    return;
  }
#endif
  for (long descriptor = lowest, end = sysconf(_SC_OPEN_MAX); descriptor < end; ++descriptor) {
    close(static_cast<int>(descriptor));
  }
}

// A new memory file holding `bytes`, or -1 when none can be made or take them all.
static int FileWith(const std::string &bytes) {
  const int file = memfd_create("script-menu returned", MFD_CLOEXEC);
  std::size_t written = 0;
  while (file != -1 && written < bytes.size()) {
    const ssize_t count = write(file, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count == 0 || errno != EINTR) {
      close(file);
      return -1;
    }
  }
  return file;
}

bool ResultChannel::Send(std::int32_t result, const std::string &bytes) const {
  CloseFrom(STDERR_FILENO + 1);
  // Past a file size limit the write fails, rather than killing the child before its result.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
  // Not waiting: a full backlog would wait for a program that waits for this process to end.
  const int connection = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (connection == -1 ||
      connect(connection, reinterpret_cast<const sockaddr *>(&address_), addressSize_) != 0) {
    return false;
  }
  const int file = bytes.empty() ? -1 : FileWith(bytes);  // without it, the result still returns
  std::int32_t sent = result;
  iovec data{&sent, sizeof sent};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof file)> control{};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (file != -1) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr *attached = CMSG_FIRSTHDR(&message);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof file);
    std::memcpy(CMSG_DATA(attached), &file, sizeof file);
  }
  return sendmsg(connection, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof sent);
}

// The latest connection that `child` made: a script may have connected before its work returned,
// and what it sent then is not the child's. Nothing else that is pending is read.
static int LatestConnectionOf(int listener, pid_t child) {
  int latest = -1;
  for (;;) {
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection == -1) {
      return latest;  // none left, or no descriptor left for one
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid == child) {
      std::swap(latest, connection);
    }
    if (connection != -1) {
      close(connection);
    }
  }
}

// With standard error closed, a file received on its number would take the program's messages.
static int AboveStandardStreams(int descriptor) {
  if (descriptor == -1 || descriptor > STDERR_FILENO) {
    return descriptor;
  }
  const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(descriptor);
  return moved;
}

bool ResultChannel::Receive(pid_t child, std::int32_t &result, ReturnedFile &file) {
  const int connection = LatestConnectionOf(listener_, child);
  close(listener_);  // a descriptor for the file, however few are left
  listener_ = -1;
  if (connection == -1) {
    return false;
  }
  iovec data{&result, sizeof result};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  const bool received =
      recvmsg(connection, &message, MSG_CMSG_CLOEXEC) == static_cast<ssize_t>(sizeof result);
  const cmsghdr *attached = CMSG_FIRSTHDR(&message);
  if (attached != nullptr && attached->cmsg_level == SOL_SOCKET &&
      attached->cmsg_type == SCM_RIGHTS && attached->cmsg_len == CMSG_LEN(sizeof(int))) {
    int descriptor = -1;
    std::memcpy(&descriptor, CMSG_DATA(attached), sizeof descriptor);
    file.descriptor = AboveStandardStreams(descriptor);
  }
  close(connection);
  return received;
}
