// The stdio session: one JSON-RPC message per line in, one compact response line out.
#pragma once

#include "cancel.hpp"
#include "server/protocol.hpp"
#include "json/json.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
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
  std::function<bool(std::string_view)> write; // one whole line; false: nobody reads any more
  std::function<void(std::string_view)> error;
};

// Answers one request on the worker: the response line (compact JSON, no line feed) or none.
// notify sends a line that belongs to the request (progress) before its response; cancel is
// set once nobody waits for the answer any more.
using RequestHandler = std::function<std::optional<std::string>(
    const Json &request, const CancelToken &cancel, const Notify &notify)>;

enum class SessionEnd {
  input_ended, // every request received has been answered
  stopped,     // a request to stop the process
  output_gone, // nobody reads the answers any more
  failed,      // no thread could be started
};

// A ping waiting behind a call that has run this long is answered at once.
inline constexpr std::chrono::milliseconds kPingPatience{1000};
// How long the end of a stopped session waits for the cancelled call to return.
inline constexpr std::chrono::milliseconds kStopPatience{5000};

// The stdio session: a reader that takes lines as they come, a worker that runs the requests
// one at a time in the order received, and whole lines out from whichever of them writes.
// Answers keep the order of the requests; a legacy ping behind a call that has run for
// kPingPatience or more is the one exception. notifications/cancelled naming the running
// request cancels it, and one naming a waiting request takes it off the queue: neither is
// answered.
class Session {
public:
  Session(SessionIo io, RequestHandler handler);
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session();

  // Serves until input ends and every request received is answered, or until stop().
  // After any end but input_ended the reader may still wait for input: end the process.
  SessionEnd run();
  // From any thread: cancels the running call, answers nothing more, and makes run() return
  // once the call has returned.
  void stop(SessionEnd why);

  struct Shared;

private:
  std::shared_ptr<Shared> shared_;
};

} // namespace vft::server
