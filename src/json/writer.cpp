#include "json/writer.hpp"

#include "json/bytes.hpp"
#include "json/fast.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vft::json_fast {

bool Writer::escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t rollback = used_;
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  const auto *run = p;
  while (p < end) {
    p = skip_plain(p, end);
    if (p == end) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      const std::size_t n = utf8_sequence(p, end);
      if (n == 0) {
        used_ = rollback;
        return false;
      }
      p += n;
      continue;
    }
    put(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
    char escape[6] = {'\\', 0, '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    switch (c) {
    case '"':
    case '\\':
      escape[1] = static_cast<char>(c);
      break;
    case '\b':
      escape[1] = 'b';
      break;
    case '\t':
      escape[1] = 't';
      break;
    case '\n':
      escape[1] = 'n';
      break;
    case '\f':
      escape[1] = 'f';
      break;
    case '\r':
      escape[1] = 'r';
      break;
    default:
      escape[1] = 'u';
    }
    put(escape, escape[1] == 'u' ? 6 : 2);
    run = ++p;
  }
  put(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
  return true;
}

void Writer::string(const std::string &text) {
  // Most strings need no escape: quotes and text in one piece.
  const auto *begin = reinterpret_cast<const unsigned char *>(text.data());
  if (skip_plain(begin, begin + text.size()) == begin + text.size()) {
    char *at = room(text.size() + 2);
    at[0] = '"';
    std::memcpy(at + 1, text.data(), text.size());
    at[text.size() + 1] = '"';
    used_ += text.size() + 2;
    return;
  }
  put('"');
  if (escaped(text)) return put('"');
  settled = false;
  // nlohmann's own replacement of invalid bytes, quotes included.
  --used_;
  const std::string replaced = Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
  put(replaced.data(), replaced.size());
}

void Writer::floating(double number) {
  if (!std::isfinite(number)) {
    settled = false;
    return put("null", 4);
  }
  // nlohmann's own shortest round-trip form (Grisu2), so that stored doubles read the same.
  char *at = room(64);
  used_ += static_cast<std::size_t>(nlohmann::detail::to_chars(at, at + 64, number) - at);
}

void Writer::value(const Json &value, std::size_t level) {
  switch (value.type()) {
  case Json::value_t::object: {
    if (level >= max_levels) {
      too_deep = true;
      return;
    }
    const auto &object = value.get_ref<const Json::object_t &>();
    if (object.empty()) return put("{}", 2);
    char separator = '{';
    for (const auto &[key, member] : object) {
      put(separator);
      separator = ',';
      new_line(level + 1);
      string(key);
      member_separator();
      this->value(member, level + 1);
    }
    new_line(level);
    return put('}');
  }
  case Json::value_t::array: {
    if (level >= max_levels) {
      too_deep = true;
      return;
    }
    const auto &array = value.get_ref<const Json::array_t &>();
    if (array.empty()) return put("[]", 2);
    char separator = '[';
    for (const Json &element : array) {
      put(separator);
      separator = ',';
      new_line(level + 1);
      this->value(element, level + 1);
    }
    new_line(level);
    return put(']');
  }
  case Json::value_t::string:
    return string(value.get_ref<const std::string &>());
  case Json::value_t::boolean:
    return value.get<bool>() ? put("true", 4) : put("false", 5);
  case Json::value_t::null:
    return put("null", 4);
  case Json::value_t::number_unsigned:
    return integer(value.get<std::uint64_t>());
  case Json::value_t::number_integer: {
    const auto number = value.get<std::int64_t>();
    settled = settled && number < 0; // 0 and above read back unsigned
    return integer(number);
  }
  case Json::value_t::number_float:
    return floating(value.get<double>());
  case Json::value_t::binary:
  case Json::value_t::discarded: {
    // Never in our documents; nlohmann knows how it writes them.
    settled = false;
    const std::string text = value.dump(pretty_ ? static_cast<int>(step_) : -1, ' ', false,
                                        Json::error_handler_t::replace);
    return put(text.data(), text.size());
  }
  }
}

bool write(const Json &value, int indent, std::string &out) {
  Writer writer(out, indent);
  writer.value(value, 0);
  return writer.settled;
}

Written write_within(const Json &value, int indent, std::size_t max_levels, std::string &out) {
  Writer writer(out, indent);
  writer.max_levels = max_levels;
  writer.value(value, 0);
  return {writer.settled, !writer.too_deep};
}

void write_compact_except(const Json &value, std::span<const std::string_view> omitted,
                          std::string &out) {
  Writer writer(out, -1);
  if (!value.is_object() || omitted.empty()) return writer.value(value, 0);
  char separator = '{';
  for (const auto &[key, member] : value.get_ref<const Json::object_t &>()) {
    if (std::find(omitted.begin(), omitted.end(), key) != omitted.end()) continue;
    writer.put(separator);
    separator = ',';
    writer.string(key);
    writer.member_separator();
    writer.value(member, 1);
  }
  writer.put(separator == '{' ? "{}" : "}", separator == '{' ? 2 : 1);
}

bool settle(Json &value) {
  switch (value.type()) {
  case Json::value_t::object: {
    Json::object_t settled_object;
    for (auto &[key, member] : value.get_ref<Json::object_t &>()) {
      if (!settle(member)) return false;
      Json settled_key = key;
      if (!settle(settled_key)) return false;
      // Keys that read back alike collapse as the reader collapses them: the last one wins.
      settled_object.insert_or_assign(std::move(settled_key.get_ref<std::string &>()),
                                      std::move(member));
    }
    value = std::move(settled_object);
    return true;
  }
  case Json::value_t::array:
    for (Json &element : value.get_ref<Json::array_t &>()) {
      if (!settle(element)) return false;
    }
    return true;
  case Json::value_t::string: {
    std::string ignored;
    if (Writer(ignored, -1).escaped(value.get_ref<const std::string &>())) return true;
    auto again = read(value.dump(-1, ' ', false, Json::error_handler_t::replace));
    if (!again) return false;
    value = std::move(*again);
    return true;
  }
  case Json::value_t::number_integer:
    if (value.get<std::int64_t>() >= 0)
      value = static_cast<std::uint64_t>(value.get<std::int64_t>());
    return true;
  case Json::value_t::number_float:
    if (!std::isfinite(value.get<double>())) value = nullptr;
    return true;
  case Json::value_t::binary:
  case Json::value_t::discarded:
    return false;
  default:
    return true;
  }
}

} // namespace vft::json_fast
