// The store's JSON reader and writer against nlohmann's own parse and dump, on the text of a
// bookmarks store of 4,900 records (about 2 MiB), and, where Debian's simdjson is there,
// simdjson's parse alone and with the tree built from it: the candidates the choice was
// made among (bench/README.md).
#include "store/written_form.hpp"
#include "json/fast.hpp"
#include "json/json.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#ifdef VFT_HAVE_SIMDJSON
#include <simdjson.h>
#endif

namespace {

const std::string &store_text() {
  static const std::string text = [] {
    static constexpr const char *kWords[] = {"alpha", "river", "stone", "cloud",
                                             "lamp",  "paper", "orbit", "maple"};
    vft::Json records = vft::Json::array();
    for (unsigned n = 0; n < 4900; ++n) {
      std::string note;
      for (unsigned k = 0; k < 40; ++k)
        note += std::string(kWords[(n * (k + 1) + 3) % 8]) + " ";
      records.push_back({{"archived", n % 10 == 0},
                         {"createdAt", 1700000000U + n},
                         {"folder", kWords[n % 8]},
                         {"id", "bookmark-" + std::to_string(1700000000000000000ULL + n) + "-42"},
                         {"note", note},
                         {"tags", {kWords[n % 8], kWords[(n + 1) % 8], kWords[(n + 2) % 8]}},
                         {"title", "Page " + std::to_string(n) + " about rivers"},
                         {"updatedAt", 1700000000U + n},
                         {"url", "https://example" + std::to_string(n) + ".test/path?q=1"},
                         {"version", 1U}});
    }
    return vft::to_pretty_reference(
        {{"app", "bookmarks"}, {"records", records}, {"schema", 1U}, {"undo", nullptr}});
  }();
  return text;
}

void counters(benchmark::State &state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * store_text().size()));
}

void parse_nlohmann(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::parse_json_reference(store_text()));
  counters(state);
}

void parse_ours(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::parse_json(store_text()));
  counters(state);
}

// An object of 200,000 members in reverse key order: read with one sort, where inserting each
// member in its place would cost the square of their number.
void parse_ours_reversed_keys(benchmark::State &state) {
  std::string text = "{";
  for (int n = 200'000; n > 0; --n)
    text += "\"k" + std::to_string(1'000'000 + n) + "\":" + std::to_string(n) + ",";
  text.back() = '}';
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::parse_json(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void write_nlohmann(benchmark::State &state) {
  const vft::Json document = vft::parse_json(store_text()).value();
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::to_pretty_reference(document));
  counters(state);
}

void write_ours(benchmark::State &state) {
  const vft::Json document = vft::parse_json(store_text()).value();
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::to_pretty(document));
  counters(state);
}

// What a one-shot save that adds a record does instead of parse and write: the check that
// the text is exactly the written form, and the copy of the records into the new text.
void check_written_form(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(vft::store::pretty_members(store_text()));
  counters(state);
}

void add_in_place(benchmark::State &state) {
  const vft::Json document = vft::parse_json(store_text()).value();
  const std::vector<vft::Json> added = {{{"title", "New"}, {"url", "https://new.test/"}}};
  std::string text;
  vft::store::ArrayPlace place;
  vft::store::write_marking(document, "records", 128, text, place);
  for (auto _ : state) {
    state.PauseTiming();
    std::string out = text;
    vft::store::ArrayPlace moved = place;
    state.ResumeTiming();
    benchmark::DoNotOptimize(vft::store::append_in_place(
        document, "records", document["records"].size(), added, 128, out, moved));
  }
  counters(state);
}

#ifdef VFT_HAVE_SIMDJSON
vft::Json from_simdjson(simdjson::dom::element element) {
  using simdjson::dom::element_type;
  switch (element.type()) {
  case element_type::OBJECT: {
    vft::Json out = vft::Json::object();
    auto &object = out.get_ref<vft::Json::object_t &>();
    for (auto field : simdjson::dom::object(element))
      object.insert_or_assign(object.end(), std::string(field.key), from_simdjson(field.value));
    return out;
  }
  case element_type::ARRAY: {
    vft::Json out = vft::Json::array();
    for (auto value : simdjson::dom::array(element))
      out.push_back(from_simdjson(value));
    return out;
  }
  case element_type::STRING:
    return std::string(std::string_view(element));
  case element_type::UINT64:
    return std::uint64_t(element);
  case element_type::INT64: {
    const std::int64_t value = element;
    return value >= 0 ? vft::Json(static_cast<std::uint64_t>(value)) : vft::Json(value);
  }
  case element_type::DOUBLE:
    return double(element);
  case element_type::BOOL:
    return bool(element);
  case element_type::NULL_VALUE:
    return nullptr;
  }
  return nullptr;
}

void parse_simdjson_only(benchmark::State &state) {
  simdjson::dom::parser parser;
  const simdjson::padded_string padded(store_text());
  for (auto _ : state)
    benchmark::DoNotOptimize(parser.parse(padded).error());
  counters(state);
}

void parse_simdjson_to_tree(benchmark::State &state) {
  simdjson::dom::parser parser;
  for (auto _ : state) {
    // The copy into padded memory is part of the price: the store's bytes arrive unpadded.
    const simdjson::padded_string padded(store_text());
    benchmark::DoNotOptimize(from_simdjson(parser.parse(padded).value()));
  }
  counters(state);
}

BENCHMARK(parse_simdjson_only)->Unit(benchmark::kMillisecond);
BENCHMARK(parse_simdjson_to_tree)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(parse_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(parse_ours)->Unit(benchmark::kMillisecond);
BENCHMARK(parse_ours_reversed_keys)->Unit(benchmark::kMillisecond);
BENCHMARK(write_nlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK(write_ours)->Unit(benchmark::kMillisecond);
BENCHMARK(check_written_form)->Unit(benchmark::kMillisecond);
BENCHMARK(add_in_place)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
