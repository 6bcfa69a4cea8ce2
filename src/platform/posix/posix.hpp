// Helpers shared by the Linux implementations of the platform services.
#pragma once

#include "platform/platform.hpp"

#include <spawn.h>
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

// The spawn attributes and file actions, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};
  bool actions_ready = false;
  bool attributes_ready = false;

  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;
  ~SpawnSetup() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attributes_ready) posix_spawnattr_destroy(&attributes);
  }
};

// Makes the names in a folder durable: a new or renamed entry survives a power loss only
// once its folder is flushed. Failures carry the system's text.
Result<void> flush_folder(const std::string &folder);

} // namespace vft::platform::posix
