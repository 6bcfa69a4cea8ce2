#include "json/json.hpp"

#include "json/fast.hpp"

#include <cstddef>
#include <exception>
#include <optional>

namespace vft {

namespace {

// nlohmann prefixes its messages with "[json.exception.parse_error.101] "; the user only
// needs the description itself.
std::string strip_exception_id(const std::string &what) {
  if (!what.empty() && what.front() == '[') {
    const auto close = what.find("] ");
    if (close != std::string::npos) return what.substr(close + 2);
  }
  return what;
}

// What nlohmann's parser does not see for itself: nesting beyond the limit (it would recurse
// that deep), and a NUL byte outside a string, where it stops as if the text ended there.
struct Stop {
  enum Kind { too_deep, nul } kind;
  std::size_t offset;
  std::size_t line;   // 1-based
  std::size_t column; // 1-based
};

// The first such place, outside of strings.
std::optional<Stop> first_stop(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return Stop{Stop::too_deep, i, line, i - line_start + 1};
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == '\n') {
      ++line;
      line_start = i + 1;
    } else if (c == '\0') {
      return Stop{Stop::nul, i, line, i - line_start + 1};
    }
  }
  return std::nullopt;
}

// Why nlohmann's parser refuses a text: its message, and the byte position it stopped at
// (one past the end where the text ran out).
struct Refusal {
  std::string message;
  std::size_t position = 0;
};

// nlohmann's parser without its tree: why it refuses the text, or none when the text parses.
// Its tree is not built, which for some texts would take far longer than reading.
std::optional<Refusal> nlohmann_refusal(std::string_view text) {
  struct Check final : nlohmann::json_sax<Json> {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &error) override {
      refusal = Refusal{strip_exception_id(error.what()), position};
      return false;
    }
    Refusal refusal;
  };
  Check check;
  try {
    if (Json::sax_parse(text.begin(), text.end(), &check, nlohmann::detail::input_format_t::json,
                        true, false)) {
      return std::nullopt;
    }
  } catch (const std::exception &e) {
    return Refusal{strip_exception_id(e.what())};
  }
  return check.refusal;
}

// Whether the parser refused text (outside a string at its end) only because it ended where
// a value or a punctuation mark was still due: followed by white space, the text then gets
// the same refusal one position on, where a fault of its own stays where it was.
bool ran_out(std::string_view text, const Refusal &refusal) {
  const auto longer = nlohmann_refusal(std::string(text) + ' ');
  return longer && longer->position == refusal.position + 1;
}

Result<Json> parse_with_nlohmann(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end(), nullptr, true, false);
  } catch (const std::exception &e) {
    return fail(strip_exception_id(e.what()));
  }
}

std::string at(const Stop &stop) {
  return "parse error at line " + std::to_string(stop.line) + ", column " +
         std::to_string(stop.column) + ": ";
}

// The message nlohmann's parser words for the text, or none when it parses; with the two
// places it does not see for itself (stop, the first of them, if any) found first.
std::optional<std::string> refusal(std::string_view text, const std::optional<Stop> &stop) {
  if (!stop) {
    if (auto refused = nlohmann_refusal(text)) return std::move(refused->message);
    return std::nullopt;
  }
  if (stop->kind == Stop::too_deep) {
    return at(*stop) + "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
  }
  // A fault before the NUL is the first one; the text up to it running out is not a fault.
  const std::string_view before = text.substr(0, stop->offset);
  if (auto refused = nlohmann_refusal(before); refused && !ran_out(before, *refused)) {
    return std::move(refused->message);
  }
  return at(*stop) + "syntax error while parsing value - invalid character U+0000 (NUL)";
}

} // namespace

Result<Json> parse_json(std::string_view text) {
  // The fast reader takes every well-formed document within the depth. What it refuses,
  // nlohmann's parser words without building its tree (and reads, should the two ever
  // disagree).
  if (auto fast = json_fast::read(text)) return std::move(*fast);
  if (auto refused = refusal(text, first_stop(text))) return fail(std::move(*refused));
  return parse_with_nlohmann(text);
}

Result<Json> parse_json_reference(std::string_view text) {
  if (const auto stop = first_stop(text)) return fail(*refusal(text, stop));
  return parse_with_nlohmann(text);
}

bool nests_within(const Json &value, int levels) {
  if (!value.is_structured()) return true;
  if (levels < 1) return false;
  for (const Json &child : value) {
    if (!nests_within(child, levels - 1)) return false;
  }
  return true;
}

std::string to_compact(const Json &value) {
  std::string out;
  json_fast::write(value, -1, out);
  return out;
}

std::string to_pretty(const Json &value) {
  std::string out;
  json_fast::write(value, 2, out);
  return out;
}

std::optional<std::string> to_pretty_settled(Json &value, int max_levels, bool &settled,
                                             std::string buffer) {
  buffer.clear();
  const auto written =
      json_fast::write_within(value, 2, static_cast<std::size_t>(std::max(max_levels, 0)), buffer);
  if (!written.within_levels) return std::nullopt;
  settled = written.settled || json_fast::settle(value);
  return buffer;
}

bool same_json(const Json &a, const Json &b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    auto j = b.begin();
    for (auto i = a.begin(); i != a.end(); ++i, ++j) {
      if (i.key() != j.key() || !same_json(*i, *j)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same_json(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b;
}

std::string to_pretty_reference(const Json &value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

} // namespace vft
