// The stdio transport: lines in, a bounded queue of requests, one worker, one writer.
//
// Who runs what
// - The reader thread reads standard input, cuts it into lines and parses each. It asks the
//   endpoint how to take a message (Intake): a cancel is applied at once; anything else waits
//   in the queue. When the queue is full (by count or by bytes), or the writer is behind, the
//   reader holds its message and reads nothing more, so the pipe pushes back on the host.
// - The worker thread takes the queue in order and has the endpoint answer one request at a
//   time. Each request gets a CancelToken of its own, shared with whoever may cancel it.
// - The writer thread alone writes standard output, whole lines in the order handed to it.
//   Nobody else ever waits on the output: answers, progress and early answers are handed
//   over and the hand-over never blocks.
// - The thread in run() watches the ends, and hands the writer the early answers: a message
//   the endpoint marked early (a legacy ping) that waits behind a call running for
//   kPingPatience is answered ahead of its turn.
//
// Locks: one mutex (Shared::mutex) guards the queue, its indexes, the running request and the
// ends; the writer's mutex guards only the lines waiting for the writer. Neither is held
// across a read, a write or an answer.
//
// Ends: input ended (every request answered and written), a stop (stop(): the running call is
// cancelled, nothing more is written, and run() waits up to kStopPatience for the call to
// return), or the output gone (a write failed). A call that does not return within the
// patience is left running: the process ends around it. Every thread holds shared ownership
// of the state and the endpoint, so a detached one never reaches freed memory.
#pragma once

#include "cancel.hpp"
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

// How the transport takes one message it has read.
struct Intake {
  enum class Kind {
    request, // waits its turn in the queue
    early,   // waits its turn, but may be answered ahead of a call that runs long
    cancel,  // cancels the request named by id: the running one, or the first waiting one
  };
  Kind kind = Kind::request;
  Json id; // the request a cancel names
};

// What one request may do while it is answered: send lines that belong to it (progress),
// which go out only while nobody has cancelled it, and see its cancel.
struct RequestIo {
  const CancelToken &cancel;
  std::function<void(std::string line)> send;
};

// The protocol side, which the transport asks about every message; it knows no method of
// its own. answer() runs on the worker only, one request at a time.
class Endpoint {
public:
  virtual ~Endpoint() = default;
  virtual Intake intake(const Json &message) const = 0;
  // The answer (compact JSON, no line feed) to a message taken as early.
  virtual std::string early_answer(const Json &message) const = 0;
  // The answer to a request, or none.
  virtual std::optional<std::string> answer(const Json &request, const RequestIo &io) = 0;
  // The answer to a line that is not one JSON value.
  virtual std::string unreadable_answer() const = 0;
};

enum class SessionEnd {
  input_ended, // every request received has been answered
  stopped,     // a request to stop the process
  output_gone, // nobody reads the answers any more
  failed,      // no thread could be started
};

// An early message waiting behind a call that has run this long is answered at once.
inline constexpr std::chrono::milliseconds kPingPatience{1000};
// How long the end of a stopped session waits for the cancelled call to return.
inline constexpr std::chrono::milliseconds kStopPatience{5000};

// How much may wait. A message larger than the byte bound is still taken when nothing waits.
struct SessionLimits {
  std::size_t queued_requests = 512;
  std::size_t queued_bytes = 64u << 20;
  std::size_t unwritten_bytes = 16u << 20;
};

class Session {
public:
  Session(SessionIo io, std::shared_ptr<Endpoint> endpoint, SessionLimits limits = {});
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session();

  // Serves until input ends and every request received is answered and written, or until
  // stop(). After any end but input_ended the reader or the writer may still wait on the
  // system: end the process.
  SessionEnd run();
  // From any thread, any number of times (the first reason counts): cancels the running
  // call, writes nothing more, and makes run() return once the call has returned.
  void stop(SessionEnd why);

  struct Shared;

private:
  std::shared_ptr<Shared> shared_;
};

} // namespace vft::server
