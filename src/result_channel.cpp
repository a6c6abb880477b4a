#include "result_channel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

// The page alone is mapped, whatever the capacity: an address-space limit that lets the script run
// lets the program run it. The file takes memory only once the child writes to it.
ResultChannel::ResultChannel(std::size_t capacity) : capacity_(capacity) {
  void *shared =
      mmap(nullptr, sizeof(Sent), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    return;
  }
  page_ = new (shared) Sent{0, -1, 0};
#ifdef MFD_CLOEXEC
  file_ = capacity > 0 ? memfd_create("script-menu returned", MFD_CLOEXEC) : -1;
  struct stat made {};
  if (file_ != -1 && fstat(file_, &made) != 0) {
    close(file_);
    file_ = -1;
  }
  device_ = made.st_dev;
  inode_ = made.st_ino;
#endif
}

ResultChannel::~ResultChannel() {
  if (file_ != -1) {
    close(file_);
  }
  if (page_ != nullptr) {
    munmap(page_, sizeof(Sent));
  }
}

bool ResultChannel::Opened() const {
  return page_ != nullptr;
}

// The script may close the file's descriptor, or put another file on its number.
static bool SameFile(int descriptor, dev_t device, ino_t inode) {
  struct stat now {};
  return descriptor != -1 && fstat(descriptor, &now) == 0 && now.st_dev == device &&
         now.st_ino == inode;
}

// `bytes` as the file's only content; false when it cannot take them all.
static bool WriteFile(int descriptor, const std::string &bytes) {
  // Past a file size limit the write fails, rather than killing the child before its result.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
  // Emptied first: the script may have written there, or made the descriptor append.
  if (ftruncate(descriptor, 0) != 0) {
    return false;
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = pwrite(descriptor, bytes.data() + written, bytes.size() - written,
                                 static_cast<off_t>(written));
    if (count == -1 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

void ResultChannel::Send(std::int32_t result, const std::string &bytes) const {
  if (!bytes.empty() && bytes.size() <= capacity_ && SameFile(file_, device_, inode_) &&
      WriteFile(file_, bytes)) {
    page_->size = bytes.size();
  }
  page_->result = result;
  page_->from = getpid();
}

// The bytes, if the file holds as many as the page says: a process of the script's could have
// written anything to either.
static void ReadFile(int descriptor, std::size_t size, std::string &bytes) {
  struct stat filled {};
  if (fstat(descriptor, &filled) != 0 || filled.st_size < static_cast<off_t>(size)) {
    return;
  }
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc &) {
    return;  // without the memory for them, the bytes are lost, not the action's result
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = pread(descriptor, &bytes[done], size - done, static_cast<off_t>(done));
    if (count == -1 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      bytes.clear();
      return;
    }
    done += static_cast<std::size_t>(count);
  }
}

bool ResultChannel::Receive(pid_t child, std::int32_t &result, std::string &bytes) const {
  bytes.clear();
  if (page_->from != child) {
    return false;
  }
  result = page_->result;
  if (file_ != -1 && page_->size > 0 && page_->size <= capacity_) {
    ReadFile(file_, page_->size, bytes);
  }
  return true;
}
