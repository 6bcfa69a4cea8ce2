// Reads or writes a protected store as the program itself would, so that black-box tests
// can prepare states that no sequence of tool calls reaches quickly (a store near its size
// limit, records with damaged members).
// Usage: sealed_store read APP FOLDER    prints the plain store document
//        sealed_store write APP FOLDER   protects the bytes on standard input as the store
#include "platform/platform.hpp"
#include "store/document.hpp"
#include "store/files.hpp"

#include <cstdio>
#include <string>

namespace {

int failed(const std::string &message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  using namespace vft;
  if (argc != 4) {
    std::fprintf(stderr, "usage: sealed_store read|write APP FOLDER\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string app = argv[2];
  const std::string folder = argv[3];
  auto lock = store::take_lock(folder);
  if (!lock) return failed(lock.error());
  if (mode == "read") {
    auto loaded = store::load_store(app, folder);
    if (!loaded) return failed(loaded.error());
    platform::write_stdout(to_pretty(loaded->document));
    return 0;
  }
  if (mode != "write") return failed("unknown mode " + mode);
  // Written as given, not re-serialised, so the caller controls the exact size.
  std::string plain;
  char buffer[65536];
  for (long long n; (n = platform::read_stdin(buffer, sizeof buffer)) != 0;) {
    if (n < 0) return failed("cannot read standard input");
    plain.append(buffer, static_cast<std::size_t>(n));
  }
  std::string bytes = plain;
  if (store::is_protected_app(app)) {
    auto sealed = store::protect(plain, store::store_entropy(app));
    if (!sealed) return failed(sealed.error());
    bytes = std::move(sealed.value());
  }
  store::Stamper stamper;
  const std::string path = platform::join_path(folder, store::store_file_name(app));
  if (auto written = store::atomic_replace(path, bytes, stamper); !written) {
    return failed(written.error());
  }
  return 0;
}
