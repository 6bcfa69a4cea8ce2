#include "url.hpp"

#include "url_parts.hpp"

#include "unicode.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vft::text {

namespace {

using namespace url_detail;

// ---- failure reasons ------------------------------------------------------------------------

constexpr const char *kNoScheme = "URL has no scheme and no base to resolve against";
constexpr const char *kOpaqueBase = "a relative URL cannot be resolved against this base";
constexpr const char *kMissingHost = "URL has no host";
constexpr const char *kBadPort = "URL port is not a number from 0 to 65535";

// ---- paths ------------------------------------------------------------------------------------

// "." and ".." path segments, literal or with the dot percent-encoded.
bool is_single_dot(std::string_view s) { return s == "." || equals_ci(s, "%2e"); }

bool is_double_dot(std::string_view s) {
  return s == ".." || equals_ci(s, ".%2e") || equals_ci(s, "%2e.") || equals_ci(s, "%2e%2e");
}

// "C:" or "C|".
bool is_windows_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(s[0]) && (s[1] == ':' || s[1] == '|');
}

// "C:" only.
bool is_normalized_windows_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(s[0]) && s[1] == ':';
}

// "C:" or "C|" followed by the end or one of / \ ? #.
bool starts_with_windows_drive_letter(std::string_view s) {
  if (s.size() < 2 || !is_windows_drive_letter(s.substr(0, 2))) return false;
  if (s.size() == 2) return true;
  const char c = s[2];
  return c == '/' || c == '\\' || c == '?' || c == '#';
}

// The segments of a serialised non-opaque path ("/a/b" is {"a", "b"}, "" is none).
std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> segments;
  if (path.empty()) return segments;
  std::size_t start = 1;
  while (true) {
    const auto slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      segments.emplace_back(path.substr(start));
      return segments;
    }
    segments.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

// ---- the state machine ------------------------------------------------------------------------

// The parser's states, named as in the standard.
enum class State {
  scheme_start,
  scheme,
  no_scheme,
  special_relative_or_authority,
  path_or_authority,
  relative,
  relative_slash,
  special_authority_slashes,
  special_authority_ignore_slashes,
  authority,
  host,
  port,
  file,
  file_slash,
  file_host,
  path_start,
  path,
  opaque_path,
  query,
  fragment
};

constexpr int kEof = -1;

// One run of the basic URL parser: walks the input byte by byte through the states,
// building the URL record; the path is kept as a segment list until the end.
class Parser {
public:
  Parser(std::string input, const Url *base) : input_(std::move(input)), base_(base) {
    if (base_ && !base_->opaque_path) base_segments_ = split_path(base_->path);
  }

  Result<Url> run();

private:
  // The byte at the pointer, or kEof past the end.
  int c() const { return at(pointer_); }
  int at(std::ptrdiff_t i) const {
    return i >= 0 && i < static_cast<std::ptrdiff_t>(input_.size())
               ? static_cast<unsigned char>(input_[static_cast<std::size_t>(i)])
               : kEof;
  }
  // The input after the pointer.
  std::string_view remaining() const {
    const auto next = static_cast<std::size_t>(pointer_ + 1);
    return next <= input_.size() ? std::string_view(input_).substr(next) : std::string_view();
  }
  // Whether the scheme read so far is special.
  bool special() const { return is_special_scheme(url_.scheme); }
  // A slash, or for special URLs also a backslash.
  bool is_slash(int ch) const { return ch == '/' || (special() && ch == '\\'); }

  // Takes username, password, host and port from the base URL.
  void copy_authority_from_base() {
    url_.username = base_->username;
    url_.password = base_->password;
    url_.host_kind = base_->host_kind;
    url_.host = base_->host;
    url_.port = base_->port;
  }

  // Removes the last path segment, except a file URL's drive letter.
  void shorten_path() {
    if (url_.scheme == "file" && segments_.size() == 1 &&
        is_normalized_windows_drive_letter(segments_[0])) {
      return;
    }
    if (!segments_.empty()) segments_.pop_back();
  }

  Result<void> step();

  std::string input_;
  const Url *base_;
  std::vector<std::string> base_segments_;
  Url url_;
  std::vector<std::string> segments_;
  std::string opaque_;
  State state_ = State::scheme_start;
  std::string buffer_;
  std::ptrdiff_t pointer_ = 0;
  bool at_sign_seen_ = false;
  bool inside_brackets_ = false;
  bool password_token_seen_ = false;
};

// Runs the state machine to the end of the input and joins the path.
Result<Url> Parser::run() {
  for (;; ++pointer_) {
    VFT_TRY_VOID(step());
    if (pointer_ >= static_cast<std::ptrdiff_t>(input_.size())) break;
  }
  if (url_.opaque_path) {
    url_.path = std::move(opaque_);
  } else {
    url_.path.clear();
    for (const auto &segment : segments_) {
      url_.path += '/';
      url_.path += segment;
    }
  }
  return std::move(url_);
}

// Handles the byte at the pointer in the current state. The pointer moves on by one after
// each step; states that want a byte read again step it back first.
Result<void> Parser::step() {
  const int ch = c();
  switch (state_) {
  case State::scheme_start:
    if (ch != kEof && is_alpha(static_cast<char>(ch))) {
      buffer_ += to_lower_ascii(static_cast<char>(ch));
      state_ = State::scheme;
    } else {
      state_ = State::no_scheme;
      --pointer_;
    }
    break;

  case State::scheme:
    if (ch != kEof && (is_alpha(static_cast<char>(ch)) || is_digit(static_cast<char>(ch)) ||
                       ch == '+' || ch == '-' || ch == '.')) {
      buffer_ += to_lower_ascii(static_cast<char>(ch));
    } else if (ch == ':') {
      url_.scheme = std::move(buffer_);
      buffer_.clear();
      if (url_.scheme == "file") {
        state_ = State::file;
      } else if (special() && base_ && base_->scheme == url_.scheme) {
        state_ = State::special_relative_or_authority;
      } else if (special()) {
        state_ = State::special_authority_slashes;
      } else if (!remaining().empty() && remaining().front() == '/') {
        state_ = State::path_or_authority;
        ++pointer_;
      } else {
        url_.opaque_path = true;
        state_ = State::opaque_path;
      }
    } else {
      // Not a scheme after all: start over as a relative reference.
      buffer_.clear();
      state_ = State::no_scheme;
      pointer_ = -1;
    }
    break;

  case State::no_scheme:
    if (!base_ || (base_->opaque_path && ch != '#')) return fail(base_ ? kOpaqueBase : kNoScheme);
    if (base_->opaque_path && ch == '#') {
      url_.scheme = base_->scheme;
      url_.opaque_path = true;
      opaque_ = base_->path;
      url_.query = base_->query;
      url_.has_query = base_->has_query;
      url_.has_fragment = true;
      state_ = State::fragment;
    } else if (base_->scheme != "file") {
      state_ = State::relative;
      --pointer_;
    } else {
      state_ = State::file;
      --pointer_;
    }
    break;

  case State::special_relative_or_authority:
    if (ch == '/' && !remaining().empty() && remaining().front() == '/') {
      state_ = State::special_authority_ignore_slashes;
      ++pointer_;
    } else {
      state_ = State::relative;
      --pointer_;
    }
    break;

  case State::path_or_authority:
    if (ch == '/') {
      state_ = State::authority;
    } else {
      state_ = State::path;
      --pointer_;
    }
    break;

  case State::relative:
    url_.scheme = base_->scheme;
    if (is_slash(ch)) {
      state_ = State::relative_slash;
    } else {
      copy_authority_from_base();
      segments_ = base_segments_;
      url_.query = base_->query;
      url_.has_query = base_->has_query;
      if (ch == '?') {
        url_.query.clear();
        url_.has_query = true;
        state_ = State::query;
      } else if (ch == '#') {
        url_.has_fragment = true;
        state_ = State::fragment;
      } else if (ch != kEof) {
        url_.query.clear();
        url_.has_query = false;
        shorten_path();
        state_ = State::path;
        --pointer_;
      }
    }
    break;

  case State::relative_slash:
    if (special() && (ch == '/' || ch == '\\')) {
      state_ = State::special_authority_ignore_slashes;
    } else if (ch == '/') {
      state_ = State::authority;
    } else {
      copy_authority_from_base();
      state_ = State::path;
      --pointer_;
    }
    break;

  case State::special_authority_slashes:
    state_ = State::special_authority_ignore_slashes;
    if (ch == '/' && !remaining().empty() && remaining().front() == '/') {
      ++pointer_;
    } else {
      --pointer_;
    }
    break;

  case State::special_authority_ignore_slashes:
    if (ch != '/' && ch != '\\') {
      state_ = State::authority;
      --pointer_;
    }
    break;

  case State::authority:
    if (ch == '@') {
      // Everything up to the last '@' is userinfo; earlier '@'s are part of it.
      if (at_sign_seen_) buffer_.insert(0, "%40");
      at_sign_seen_ = true;
      for (char b : buffer_) {
        if (b == ':' && !password_token_seen_) {
          password_token_seen_ = true;
          continue;
        }
        append_encoded(password_token_seen_ ? url_.password : url_.username, b,
                       EncodeSet::userinfo);
      }
      buffer_.clear();
    } else if (ch == kEof || ch == '?' || ch == '#' || is_slash(ch)) {
      if (at_sign_seen_ && buffer_.empty()) return fail(kMissingHost);
      pointer_ -= static_cast<std::ptrdiff_t>(buffer_.size()) + 1;
      buffer_.clear();
      state_ = State::host;
    } else {
      buffer_ += static_cast<char>(ch);
    }
    break;

  case State::host:
    if (ch == ':' && !inside_brackets_) {
      if (buffer_.empty()) return fail(kMissingHost);
      VFT_TRY(auto host, parse_host(buffer_, !special()));
      url_.host_kind = host.kind;
      url_.host = std::move(host.text);
      buffer_.clear();
      state_ = State::port;
    } else if (ch == kEof || ch == '?' || ch == '#' || is_slash(ch)) {
      --pointer_;
      if (special() && buffer_.empty()) return fail(kMissingHost);
      if (buffer_.empty()) {
        url_.host_kind = HostKind::empty;
        url_.host.clear();
      } else {
        VFT_TRY(auto host, parse_host(buffer_, !special()));
        url_.host_kind = host.kind;
        url_.host = std::move(host.text);
      }
      buffer_.clear();
      state_ = State::path_start;
    } else {
      if (ch == '[') inside_brackets_ = true;
      if (ch == ']') inside_brackets_ = false;
      buffer_ += static_cast<char>(ch);
    }
    break;

  case State::port:
    if (ch != kEof && is_digit(static_cast<char>(ch))) {
      buffer_ += static_cast<char>(ch);
    } else if (ch == kEof || ch == '?' || ch == '#' || is_slash(ch)) {
      if (!buffer_.empty()) {
        std::uint32_t port = 0;
        for (char d : buffer_) {
          port = port * 10 + static_cast<std::uint32_t>(d - '0');
          if (port > 65535) return fail(kBadPort);
        }
        const std::string text = std::to_string(port);
        url_.port = text == default_port(url_.scheme) ? std::string() : text;
        buffer_.clear();
      }
      state_ = State::path_start;
      --pointer_;
    } else {
      return fail(kBadPort);
    }
    break;

  case State::file:
    url_.scheme = "file";
    url_.host_kind = HostKind::empty;
    url_.host.clear();
    if (ch == '/' || ch == '\\') {
      state_ = State::file_slash;
    } else if (base_ && base_->scheme == "file") {
      url_.host_kind = base_->host_kind;
      url_.host = base_->host;
      segments_ = base_segments_;
      url_.query = base_->query;
      url_.has_query = base_->has_query;
      if (ch == '?') {
        url_.query.clear();
        url_.has_query = true;
        state_ = State::query;
      } else if (ch == '#') {
        url_.has_fragment = true;
        state_ = State::fragment;
      } else if (ch != kEof) {
        url_.query.clear();
        url_.has_query = false;
        const auto rest = std::string_view(input_).substr(static_cast<std::size_t>(pointer_));
        if (!starts_with_windows_drive_letter(rest)) {
          shorten_path();
        } else {
          segments_.clear();
        }
        state_ = State::path;
        --pointer_;
      }
    } else {
      state_ = State::path;
      --pointer_;
    }
    break;

  case State::file_slash:
    if (ch == '/' || ch == '\\') {
      state_ = State::file_host;
    } else {
      if (base_ && base_->scheme == "file") {
        url_.host_kind = base_->host_kind;
        url_.host = base_->host;
        const auto rest = std::string_view(input_).substr(static_cast<std::size_t>(pointer_));
        if (!starts_with_windows_drive_letter(rest) && !base_segments_.empty() &&
            is_normalized_windows_drive_letter(base_segments_[0])) {
          segments_.push_back(base_segments_[0]);
        }
      }
      state_ = State::path;
      --pointer_;
    }
    break;

  case State::file_host:
    if (ch == kEof || ch == '/' || ch == '\\' || ch == '?' || ch == '#') {
      --pointer_;
      if (is_windows_drive_letter(buffer_)) {
        // "file://C:/" : the drive letter is the first path segment; the buffer is kept for
        // the path state.
        state_ = State::path;
      } else if (buffer_.empty()) {
        url_.host_kind = HostKind::empty;
        url_.host.clear();
        state_ = State::path_start;
      } else {
        VFT_TRY(auto host, parse_host(buffer_, false));
        if (host.text == "localhost") {
          url_.host_kind = HostKind::empty;
          url_.host.clear();
        } else {
          url_.host_kind = host.kind;
          url_.host = std::move(host.text);
        }
        buffer_.clear();
        state_ = State::path_start;
      }
    } else {
      buffer_ += static_cast<char>(ch);
    }
    break;

  case State::path_start:
    if (special()) {
      state_ = State::path;
      if (ch != '/' && ch != '\\') --pointer_;
    } else if (ch == '?') {
      url_.has_query = true;
      state_ = State::query;
    } else if (ch == '#') {
      url_.has_fragment = true;
      state_ = State::fragment;
    } else if (ch != kEof) {
      state_ = State::path;
      if (ch != '/') --pointer_;
    }
    break;

  case State::path:
    if (ch == kEof || is_slash(ch) || ch == '?' || ch == '#') {
      const bool slash = is_slash(ch);
      if (is_double_dot(buffer_)) {
        shorten_path();
        if (!slash) segments_.emplace_back();
      } else if (is_single_dot(buffer_) && !slash) {
        segments_.emplace_back();
      } else if (!is_single_dot(buffer_)) {
        if (url_.scheme == "file" && segments_.empty() && is_windows_drive_letter(buffer_)) {
          buffer_[1] = ':';
        }
        segments_.push_back(std::move(buffer_));
      }
      buffer_.clear();
      if (ch == '?') {
        url_.has_query = true;
        state_ = State::query;
      } else if (ch == '#') {
        url_.has_fragment = true;
        state_ = State::fragment;
      }
    } else {
      append_encoded(buffer_, static_cast<char>(ch), EncodeSet::path);
    }
    break;

  case State::opaque_path:
    if (ch == '?') {
      url_.has_query = true;
      state_ = State::query;
    } else if (ch == '#') {
      url_.has_fragment = true;
      state_ = State::fragment;
    } else if (ch != kEof) {
      append_encoded(opaque_, static_cast<char>(ch), EncodeSet::c0_control);
    }
    break;

  case State::query:
    if (ch == '#' || ch == kEof) {
      url_.query += encode(buffer_, special() ? EncodeSet::special_query : EncodeSet::query);
      buffer_.clear();
      if (ch == '#') {
        url_.has_fragment = true;
        state_ = State::fragment;
      }
    } else {
      buffer_ += static_cast<char>(ch);
    }
    break;

  case State::fragment:
    if (ch != kEof) append_encoded(url_.fragment, static_cast<char>(ch), EncodeSet::fragment);
    break;
  }
  return {};
}

// C0 controls and space, trimmed from both ends of the input.
bool is_c0_or_space(char c) { return static_cast<unsigned char>(c) <= 0x20; }

} // namespace

// ---- public functions -------------------------------------------------------------------------

std::string percent_decode(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '%' && i + 2 < input.size() && is_hex(input[i + 1]) && is_hex(input[i + 2])) {
      out += static_cast<char>(hex_value(input[i + 1]) * 16 + hex_value(input[i + 2]));
      i += 2;
    } else {
      out += input[i];
    }
  }
  return out;
}

Result<Url> parse_url(std::string_view input, const Url *base) {
  while (!input.empty() && is_c0_or_space(input.front()))
    input.remove_prefix(1);
  while (!input.empty() && is_c0_or_space(input.back()))
    input.remove_suffix(1);
  std::string cleaned;
  cleaned.reserve(input.size());
  for (char c : input) {
    if (c != '\t' && c != '\n' && c != '\r') cleaned += c;
  }
  Parser parser(utf8_decode_lossy(cleaned), base);
  return parser.run();
}

std::vector<std::pair<std::string, std::string>> parse_urlencoded(std::string_view input) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= input.size()) {
    auto end = input.find('&', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view sequence = input.substr(start, end - start);
    start = end + 1;
    if (sequence.empty()) continue;
    const auto equals = sequence.find('=');
    std::string name(sequence.substr(0, equals));
    std::string value(equals == std::string_view::npos ? std::string_view()
                                                       : sequence.substr(equals + 1));
    for (char &c : name)
      c = c == '+' ? ' ' : c;
    for (char &c : value)
      c = c == '+' ? ' ' : c;
    pairs.emplace_back(utf8_decode_lossy(percent_decode(name)),
                       utf8_decode_lossy(percent_decode(value)));
  }
  return pairs;
}

// ---- Url members ------------------------------------------------------------------------------

bool Url::is_special() const { return is_special_scheme(scheme); }

bool Url::is_http() const { return scheme == "http" || scheme == "https"; }

std::string Url::host_and_port() const {
  if (!has_host()) return {};
  return port.empty() ? host : host + ":" + port;
}

std::string Url::search() const { return query.empty() ? std::string() : "?" + query; }

std::string Url::hash() const { return fragment.empty() ? std::string() : "#" + fragment; }

std::string Url::href() const {
  std::string out = scheme + ":";
  if (has_host()) {
    out += "//";
    if (has_credentials()) {
      out += username;
      if (!password.empty()) out += ":" + password;
      out += '@';
    }
    out += host;
    if (!port.empty()) out += ":" + port;
  } else if (!opaque_path && path.size() > 1 && path[0] == '/' && path[1] == '/') {
    // "/." keeps a host-less path that starts with an empty segment from reading as "//host".
    out += "/.";
  }
  out += path;
  if (has_query) out += "?" + query;
  if (has_fragment) out += "#" + fragment;
  return out;
}

std::string Url::origin() const {
  if (scheme == "blob") {
    auto inner = parse_url(path);
    if (inner && inner->is_http()) return inner->origin();
    return "null";
  }
  if (scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss" ||
      scheme == "ftp") {
    return scheme + "://" + host_and_port();
  }
  return "null";
}

} // namespace vft::text
