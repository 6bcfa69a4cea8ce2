// Helpers shared by the Linux implementations of the platform services.
#pragma once

#include "platform/platform.hpp"

#include <string>
#include <unistd.h>

namespace vft::platform::posix {

// A descriptor closed on every path out of the function that opened it.
class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

private:
  int fd_;
};

// Makes the names in a folder durable: a new or renamed entry survives a power loss only
// once its folder is flushed. Failures carry the system's text.
Result<void> flush_folder(const std::string &folder);

} // namespace vft::platform::posix
