// Holds a store lock file for the black-box tests: takes the lock, writes "held" and a line
// feed to standard output, then keeps the lock until standard input ends. The test decides
// when the lock goes away by closing the pipe, so no test waits on a timer.
//
// Usage: hold_lock LOCK_FILE
#include "platform/platform.hpp"

#include <string>

int main(int argc, char **argv) {
  using namespace vft;
  platform::prepare_stdio();
  const std::vector<std::string> args = platform::command_line(argc, argv);
  if (args.size() != 2) {
    platform::write_stderr("usage: hold_lock LOCK_FILE\n");
    return 2;
  }
  auto lock = platform::try_lock_file(args[1]);
  if (!lock) {
    platform::write_stderr(lock.error() + "\n");
    return 1;
  }
  if (!lock.value()) {
    platform::write_stderr("the lock is held by another process\n");
    return 1;
  }
  if (!platform::write_stdout("held\n")) return 1;
  char buffer[256];
  while (platform::read_stdin(buffer, sizeof buffer) > 0) {
  }
  return 0;
}
