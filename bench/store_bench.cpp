// Store load and save of a plain (bookmarks) and a protected (bills) app, for a 2.4 MB
// document and one just under the 64 MiB save limit, plus the peak memory of loading the
// large one. The peak (getrusage's ru_maxrss) is measured in a child process, this program
// started again with --peak-load; the documents are built in another child (--make-stores)
// so that this process stays small, since Linux carries ru_maxrss across exec.
//
// Everything happens in a temporary folder that also serves as HOME, so the user key the
// protected app needs is made there and not in the real one. VFT_BENCH_DIR chooses where
// that folder goes (default: the system's temporary folder).

#include "store/document.hpp"
#include "store/files.hpp"
#include "json/json.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct Size {
  const char *label;
  std::uint64_t bytes;
};

constexpr Size kSmall{"2.4MB", 2'400'000};
// Just under the save limit, leaving room for nothing but the document itself.
constexpr Size kLarge{"64MiB", vft::store::kMaxStoreDocument - 4096};
constexpr const char *kApps[] = {"bookmarks", "bills"};

// Deterministic filler text, so that every run measures the same documents.
class Words {
public:
  std::string next(std::size_t count) {
    static constexpr const char *kVocabulary[] = {
        "alpha",  "river",   "ledger", "invoice", "garden", "travel", "kitchen", "north",
        "signal", "archive", "copper", "meadow",  "pocket", "winter", "harbour", "lantern"};
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
      if (i) text += ' ';
      text += kVocabulary[step() % 16];
    }
    return text;
  }
  std::uint64_t step() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 33;
  }

private:
  std::uint64_t state_ = 42;
};

// A bookmark-shaped record; the store layer does not look inside records, so the same
// shape serves the protected app as well.
vft::Json make_record(Words &words, std::uint64_t index) {
  const std::uint64_t created = 1'700'000'000 + index * 37;
  return vft::Json{
      {"archived", index % 11 == 0},
      {"createdAt", created},
      {"folder", "Reading/" + words.next(1)},
      {"id", "bookmark-" + std::to_string(1'700'000'000'000'000'000ULL + index * 1'000) + "-4242"},
      {"note", words.next(20 + words.step() % 30)},
      {"tags", vft::Json::array({words.next(1), words.next(1), words.next(1)})},
      {"title", words.next(3 + words.step() % 5)},
      {"updatedAt", created + 3600},
      {"url", "https://example.com/" + words.next(1) + "/" + words.next(1) +
                  "?page=" + std::to_string(index)},
      {"version", 1 + index % 4},
  };
}

// A store document whose saved (pretty) form is exactly `target` bytes.
vft::Json make_document(const std::string &app, std::uint64_t target) {
  Words words;
  vft::Json document = vft::store::empty_document(app);
  auto &records = document["records"];
  const std::uint64_t empty_size = vft::to_pretty(document).size();
  std::uint64_t size = empty_size;
  // Grow in batches sized from the average record so far, then pad the last note.
  while (true) {
    const std::uint64_t average =
        records.empty() ? 600 : (size - empty_size) / static_cast<std::uint64_t>(records.size());
    const std::uint64_t room = target > size ? target - size : 0;
    const std::uint64_t batch = room / (average + average / 4);
    if (batch == 0) break;
    for (std::uint64_t i = 0; i < batch; ++i)
      records.push_back(make_record(words, records.size()));
    size = vft::to_pretty(document).size();
  }
  if (size < target && !records.empty()) {
    records.back()["note"].get_ref<std::string &>().append(target - size, 'x');
    size = vft::to_pretty(document).size();
  }
  if (size != target) {
    std::cerr << "document for " << app << " is " << size << " bytes, wanted " << target << "\n";
    std::exit(1);
  }
  return document;
}

std::string folder_for(const fs::path &root, const std::string &app, const Size &size) {
  return (root / (app + "-" + size.label)).string();
}

std::uint64_t file_size(const std::string &path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

long max_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Runs this program again with the given arguments; true when it exits with status 0.
bool run_self(const std::string &self, std::vector<std::string> args) {
  args.insert(args.begin(), self);
  std::vector<char *> argv;
  for (auto &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The child side of the peak measurement: load once, report "baseline peak" in KiB.
int peak_load_child(const std::string &app, const std::string &folder, const std::string &out) {
  const long baseline = max_rss_kib();
  auto loaded = vft::store::load_store(app, folder);
  if (!loaded) {
    std::cerr << "load failed: " << loaded.error() << "\n";
    return 1;
  }
  benchmark::DoNotOptimize(loaded.value().document);
  const long peak = max_rss_kib();
  std::ofstream(out) << baseline << " " << peak << "\n";
  return 0;
}

void bench_load(benchmark::State &state, std::string app, std::string folder) {
  const std::uint64_t bytes = file_size(vft::store::Store{app, folder, {}}.file_path());
  for (auto _ : state) {
    auto loaded = vft::store::load_store(app, folder);
    if (!loaded) {
      state.SkipWithError(loaded.error().c_str());
      return;
    }
    benchmark::DoNotOptimize(loaded.value().document);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

void bench_save(benchmark::State &state, std::string app, std::string folder,
                vft::store::Stamper *stamper) {
  auto loaded = vft::store::load_store(app, folder);
  if (!loaded) {
    state.SkipWithError(loaded.error().c_str());
    return;
  }
  vft::store::Store store = std::move(loaded.value());
  for (auto _ : state) {
    auto saved = vft::store::save_store(store, *stamper);
    if (!saved) {
      state.SkipWithError(saved.error().c_str());
      return;
    }
  }
  const std::uint64_t bytes = file_size(store.file_path());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

void bench_peak_load(benchmark::State &state, std::string self, std::string app,
                     std::string folder) {
  const std::string out = folder + "/peak.txt";
  const std::uint64_t bytes = file_size(vft::store::Store{app, folder, {}}.file_path());
  long baseline = 0;
  long peak = 0;
  for (auto _ : state) {
    if (!run_self(self, {"--peak-load", app, folder, out})) {
      state.SkipWithError("the measuring process failed");
      return;
    }
    std::ifstream(out) >> baseline >> peak;
  }
  // ru_maxrss is in KiB on Linux.
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.counters["baseline_rss_bytes"] = static_cast<double>(baseline) * 1024.0;
  state.counters["peak_rss_bytes"] = static_cast<double>(peak) * 1024.0;
  state.counters["peak_over_file"] =
      static_cast<double>(peak) * 1024.0 / static_cast<double>(bytes);
  state.counters["growth_over_file"] =
      static_cast<double>(peak - baseline) * 1024.0 / static_cast<double>(bytes);
}

fs::path make_root() {
  const char *chosen = std::getenv("VFT_BENCH_DIR");
  const fs::path base = chosen && *chosen ? fs::path(chosen) : fs::temp_directory_path();
  std::string pattern = (base / "vft-store-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return fs::path(pattern);
}

// Writes the four stores; run as a child so that this process stays small (see above).
int make_stores_child(const fs::path &root) {
  vft::store::Stamper stamper;
  for (const Size &size : {kSmall, kLarge}) {
    vft::Json document = make_document(kApps[0], size.bytes);
    for (const char *app : kApps) {
      document["app"] = app;
      const std::string folder = folder_for(root, app, size);
      fs::create_directories(folder);
      vft::store::Store store{app, folder, document};
      auto saved = vft::store::save_store(store, stamper);
      if (!saved) {
        std::cerr << "could not write the " << app << " store: " << saved.error() << "\n";
        return 1;
      }
    }
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 5 && std::strcmp(argv[1], "--peak-load") == 0) {
    return peak_load_child(argv[2], argv[3], argv[4]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--make-stores") == 0) {
    return make_stores_child(argv[2]);
  }

  benchmark::Initialize(&argc, argv);
  const fs::path root = make_root();
  // The user key of the protected store lives under HOME; keep it inside the scratch folder.
  setenv("HOME", root.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  setenv("VEYMORA_DATA_HOME", root.c_str(), 1);

  const std::string self = fs::read_symlink("/proc/self/exe").string();
  if (!run_self(self, {"--make-stores", root.string()})) {
    std::cerr << "could not write the stores\n";
    return 1;
  }

  // A measuring child starts from this process's high-water mark: measure while it is still
  // small, before any in-process load.
  for (const char *app : kApps) {
    const std::string suffix = std::string(app) + "/" + kLarge.label;
    benchmark::RegisterBenchmark(("load_peak_memory/" + suffix).c_str(), bench_peak_load, self,
                                 std::string(app), folder_for(root, app, kLarge))
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
  vft::store::Stamper stamper;
  for (const Size &size : {kSmall, kLarge}) {
    for (const char *app : kApps) {
      const std::string folder = folder_for(root, app, size);
      const std::string suffix = std::string(app) + "/" + size.label;
      auto *load = benchmark::RegisterBenchmark(("load/" + suffix).c_str(), bench_load,
                                                std::string(app), folder);
      auto *save = benchmark::RegisterBenchmark(("save/" + suffix).c_str(), bench_save,
                                                std::string(app), folder, &stamper);
      for (auto *b : {load, save}) {
        b->Unit(benchmark::kMillisecond);
        if (size.bytes == kLarge.bytes) b->Iterations(3);
      }
    }
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
