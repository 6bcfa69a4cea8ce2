#include "json.hpp"

#include "json_fast.hpp"

#include <cstddef>
#include <exception>

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

// Finds the first place where nesting goes beyond the limit, outside of strings. Returns
// false and the 1-based line and column of the offending bracket when it does.
bool within_depth(std::string_view text, std::size_t &line, std::size_t &column) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  line = 1;
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
      if (++depth > kMaxJsonDepth) {
        column = i - line_start + 1;
        return false;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return true;
}

} // namespace

Result<Json> parse_json(std::string_view text) {
  // The fast reader takes every well-formed document; whatever it refuses goes the long way,
  // which also words the error exactly as before.
  if (auto fast = json_fast::read(text)) return std::move(*fast);
  return parse_json_reference(text);
}

Result<Json> parse_json_reference(std::string_view text) {
  std::size_t line = 0;
  std::size_t column = 0;
  if (!within_depth(text, line, column)) {
    return fail("parse error at line " + std::to_string(line) + ", column " +
                std::to_string(column) + ": nesting deeper than " + std::to_string(kMaxJsonDepth) +
                " levels");
  }
  try {
    return Json::parse(text.begin(), text.end(), nullptr, true, false);
  } catch (const std::exception &e) {
    return fail(strip_exception_id(e.what()));
  }
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
