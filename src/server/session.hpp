// The stdio session: one JSON-RPC message per line in, one compact response line out.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vft::server {

inline constexpr std::size_t kMaxLineBytes = 41'943'040;
inline constexpr const char *kLineTooLong = "Request exceeds 40 MiB";

// Splits a byte stream into lines. A line ends at a line feed; the line feed and a carriage
// return directly before it are removed; the last line may lack its line feed. A line over
// the limit is read to its end but only its first bytes are kept.
class LineReader {
public:
  using ReadFn = std::function<long long(char *, std::size_t)>;
  enum class Status { line, end, failed, too_long, invalid_utf8 };

  explicit LineReader(ReadFn read, std::size_t max_line = kMaxLineBytes)
      : read_(std::move(read)), max_line_(max_line) {}

  // Reads the next line into line (valid only when the status is Status::line).
  Status next(std::string &line);

private:
  bool fill();

  ReadFn read_;
  std::size_t max_line_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

struct SessionIo {
  LineReader::ReadFn read;
  std::function<bool(std::string_view)> write; // false ends the session
  std::function<void(std::string_view)> error;
};

// Handles one parsed-or-not line and returns the response text, if any (without the line
// feed). Exposed so that the fuzzer and the tests can drive it without a process.
using LineHandler = std::function<std::optional<std::string>(std::string_view line)>;

// Serves lines until input ends or a session-ending condition occurs.
void run_session(SessionIo &io, const LineHandler &handle_line);

} // namespace vft::server
