// Drives the store library the way tool calls do: lock, load, append a record, save,
// unlock, COUNT times, printing the number of each save made. A save the lock's wait ran out
// for is passed over, as a refused tool call is. Used by the black-box tests for contention
// and crash safety.
// Usage: store_churn APP FOLDER TAG COUNT [PADDING_BYTES]
#include "store/document.hpp"
#include "store/files.hpp"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
  using namespace vft;
  if (argc < 5) {
    std::fprintf(stderr, "usage: store_churn APP FOLDER TAG COUNT [PADDING]\n");
    return 2;
  }
  const std::string app = argv[1];
  const std::string folder = argv[2];
  const std::string tag = argv[3];
  const int count = std::stoi(argv[4]);
  const std::size_t padding = argc > 5 ? std::stoul(argv[5]) : 0;
  store::Stamper stamper;
  for (int i = 0; i < count; ++i) {
    auto lock = store::take_lock(folder);
    if (!lock && lock.error() == store::kLockHeld) continue;
    if (!lock) {
      std::fprintf(stderr, "%s\n", lock.error().c_str());
      return 1;
    }
    auto loaded = store::load_store(app, folder);
    if (!loaded) {
      std::fprintf(stderr, "%s\n", loaded.error().c_str());
      return 1;
    }
    loaded->document["records"].push_back(
        {{"id", tag + "-" + std::to_string(i)}, {"pad", std::string(padding, 'x')}});
    if (auto saved = store::save_store(loaded.value(), stamper); !saved) {
      std::fprintf(stderr, "%s\n", saved.error().c_str());
      return 1;
    }
    std::printf("%d\n", i);
    std::fflush(stdout);
  }
  return 0;
}
