// Stands in for FFmpeg in the black-box tests of a call that lets go of the store lock while
// FFmpeg runs, and that leaves no FFmpeg behind when it is cancelled. Whatever its arguments,
// it takes the lock file DIR/running.lock and keeps it until it exits (whoever can take it
// afterwards knows that this process is gone), creates DIR/started, then waits until DIR/go
// exists (a minute at most) and exits with status 1, having written nothing.
//
// DIR is the value of the environment variable VFT_SLOW_RENDERER.
#include "platform/platform.hpp"

#include <string>

int main() {
  using namespace vft;
  const auto folder = platform::environment("VFT_SLOW_RENDERER");
  if (!folder) return 2;
  auto lock = platform::try_lock_file(platform::join_path(*folder, "running.lock"));
  if (!lock || !lock.value()) return 2;
  if (!platform::create_empty_file(platform::join_path(*folder, "started"))) return 2;
  const std::string go = platform::join_path(*folder, "go");
  for (int waited = 0; waited < 6000 && !platform::file_info(go); ++waited)
    platform::sleep_ms(10);
  return 1;
}
