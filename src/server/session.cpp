#include "server/session.hpp"

#include "text/unicode.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vft::server {

namespace {

constexpr std::size_t kReadChunk = 1 << 16;

} // namespace

bool LineReader::fill() {
  if (eof_ || failed_) return false;
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  }
  const std::size_t old = buffer_.size();
  buffer_.resize(old + kReadChunk);
  const long long n = read_(buffer_.data() + old, kReadChunk);
  if (n < 0) {
    failed_ = true;
    buffer_.resize(old);
    return false;
  }
  buffer_.resize(old + static_cast<std::size_t>(n));
  if (n == 0) eof_ = true;
  return n > 0;
}

LineReader::Status LineReader::next(std::string &line) {
  line.clear();
  // Bytes beyond what is kept: the limit plus one, so that a carriage return before the line
  // feed can still be removed from a line of exactly the limit.
  const std::size_t keep = max_line_ + 1;
  std::size_t total = 0;
  text::Utf8Validator utf8;
  bool last_was_cr = false;
  bool ended_by_line_feed = false;
  for (;;) {
    if (pos_ == buffer_.size()) {
      if (!fill()) {
        if (failed_) return Status::failed;
        if (total == 0) return Status::end;
        break; // last line without a line feed
      }
      continue;
    }
    const std::size_t start = pos_;
    std::size_t stop = buffer_.find('\n', pos_);
    const bool found = stop != std::string::npos;
    if (!found) stop = buffer_.size();
    const std::string_view piece(buffer_.data() + start, stop - start);
    total += piece.size();
    if (!piece.empty()) last_was_cr = piece.back() == '\r';
    utf8.feed(piece);
    if (line.size() < keep) {
      line.append(piece.substr(0, std::min(piece.size(), keep - line.size())));
    }
    pos_ = found ? stop + 1 : stop;
    if (found) {
      ended_by_line_feed = true;
      break;
    }
    // Keep the buffer from growing with a huge line: drop what was consumed.
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  std::size_t length = total;
  if (ended_by_line_feed && last_was_cr) {
    --length;
    if (line.size() > length) line.pop_back();
  }
  if (!utf8.finish()) return Status::invalid_utf8;
  if (length > max_line_) return Status::too_long;
  return Status::line;
}

namespace {

using Clock = std::chrono::steady_clock;

// A message read and waiting for the worker: a parsed line, or the answer to one that was not
// JSON.
struct Waiting {
  Json request;
  std::optional<std::string> answer;
  bool ping = false;
};

} // namespace

struct Session::Shared {
  SessionIo io;
  RequestHandler handler;

  std::mutex mutex; // guards everything below but the output
  std::condition_variable changed;
  std::deque<Waiting> queue;
  bool input_done = false;
  std::optional<std::string> input_error;
  bool stopping = false;
  SessionEnd end = SessionEnd::input_ended;
  // The request the worker runs: its id, its token (owned by the worker) and its start.
  CancelToken *running = nullptr;
  Json running_id;
  Clock::time_point started;

  std::mutex output; // one line at a time
  std::atomic<bool> quiet{false};

  // Writes one line unless the session has gone quiet or the request it belongs to was
  // cancelled; false when nobody reads the output any more.
  bool write_line(std::string &line, const CancelToken *token) {
    const std::lock_guard lock(output);
    if (quiet.load() || (token != nullptr && token->cancelled())) return true;
    line.push_back('\n');
    if (io.write(line)) return true;
    quiet.store(true);
    return false;
  }

  void stop(SessionEnd why) {
    {
      const std::lock_guard lock(mutex);
      if (!stopping) {
        stopping = true;
        end = why;
      }
      quiet.store(true);
      queue.clear();
      if (running != nullptr) running->cancel();
    }
    changed.notify_all();
  }

  // A cancel naming the running request cancels it; one naming a waiting request takes it
  // off the queue; any other is ignored.
  void cancel(const Json &id) {
    const std::lock_guard lock(mutex);
    if (running != nullptr && running_id == id) {
      running->cancel();
      return;
    }
    for (auto at = queue.begin(); at != queue.end(); ++at) {
      const auto named = at->request.find("id");
      if (at->request.is_object() && named != at->request.end() && *named == id) {
        queue.erase(at);
        return;
      }
    }
  }

  void read_requests() {
    LineReader reader(io.read);
    std::string line;
    for (;;) {
      const LineReader::Status status = reader.next(line);
      if (status != LineReader::Status::line) {
        const std::lock_guard lock(mutex);
        input_done = true;
        if (status == LineReader::Status::too_long) input_error = std::string(kLineTooLong) + "\n";
        changed.notify_all();
        return;
      }
      if (text::trim_white_space(line).empty()) continue;
      Waiting waiting;
      if (auto parsed = parse_json(line)) {
        if (const Json *named = cancelled_request(parsed.value())) {
          cancel(*named);
          continue;
        }
        waiting.ping = is_ping(parsed.value());
        waiting.request = std::move(parsed.value());
      } else {
        waiting.answer = to_compact(parse_error_response());
      }
      {
        const std::lock_guard lock(mutex);
        if (stopping) return;
        queue.push_back(std::move(waiting));
      }
      changed.notify_all();
    }
  }

  void work() {
    for (;;) {
      Waiting next;
      CancelToken token;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || input_done || !queue.empty(); });
        if (stopping || queue.empty()) return;
        next = std::move(queue.front());
        queue.pop_front();
        running = &token;
        const auto id = next.request.is_object() ? next.request.find("id") : next.request.end();
        running_id = id != next.request.end() ? *id : Json();
        started = Clock::now();
      }
      changed.notify_all();
      bool gone = false;
      std::optional<std::string> answer = std::move(next.answer);
      if (!answer) {
        const Notify notify = [&](const std::string &line) {
          std::string copy = line;
          if (!write_line(copy, &token)) gone = true;
        };
        answer = handler(next.request, token, notify);
      }
      if (answer && !gone && !write_line(*answer, &token)) gone = true;
      {
        const std::lock_guard lock(mutex);
        running = nullptr;
      }
      changed.notify_all();
      if (gone) stop(SessionEnd::output_gone);
    }
  }

  // Takes the pings off the queue once the running call has run long enough (the lock held).
  std::vector<Json> due_pings(Clock::time_point now) {
    std::vector<Json> ids;
    if (running == nullptr || now - started < kPingPatience) return ids;
    for (auto at = queue.begin(); at != queue.end();) {
      if (at->ping) {
        ids.push_back(at->request.at("id"));
        at = queue.erase(at);
      } else {
        ++at;
      }
    }
    return ids;
  }

  bool ping_waits() const {
    for (const Waiting &waiting : queue) {
      if (waiting.ping) return true;
    }
    return false;
  }
};

Session::Session(SessionIo io, RequestHandler handler) : shared_(std::make_shared<Shared>()) {
  shared_->io = std::move(io);
  shared_->handler = std::move(handler);
}

Session::~Session() = default;

void Session::stop(SessionEnd why) { shared_->stop(why); }

SessionEnd Session::run() {
  Shared &s = *shared_;
  std::thread worker;
  std::thread reader;
  try {
    worker = std::thread([&s] { s.work(); });
    // The reader keeps the state alive: it may outlast run() waiting for input.
    reader = std::thread([shared = shared_] { shared->read_requests(); });
  } catch (const std::system_error &) {
    s.stop(SessionEnd::failed);
    if (worker.joinable()) worker.join();
    return SessionEnd::failed;
  }
  std::unique_lock lock(s.mutex);
  for (;;) {
    if (s.stopping || (s.input_done && s.queue.empty() && s.running == nullptr)) break;
    std::vector<Json> pings = s.due_pings(Clock::now());
    if (!pings.empty()) {
      lock.unlock();
      bool gone = false;
      for (const Json &id : pings) {
        std::string line = to_compact(ping_response(id));
        gone = gone || !s.write_line(line, nullptr);
      }
      if (gone) s.stop(SessionEnd::output_gone);
      lock.lock();
      continue;
    }
    if (s.running != nullptr && s.ping_waits()) {
      s.changed.wait_until(lock, s.started + kPingPatience);
    } else {
      s.changed.wait(lock);
    }
  }
  const bool stopped = s.stopping;
  if (stopped) {
    // The call was cancelled; it cleans up before the process ends.
    (void)s.changed.wait_for(lock, kStopPatience, [&] { return s.running == nullptr; });
  }
  const bool call_hangs = s.running != nullptr;
  lock.unlock();
  if (call_hangs) {
    // A call that does not return: the process ends around it.
    worker.detach();
    reader.detach();
    return s.end;
  }
  worker.join();
  if (!stopped) {
    reader.join();
    if (s.input_error) s.io.error(*s.input_error);
    return SessionEnd::input_ended;
  }
  reader.detach();
  return s.end;
}

} // namespace vft::server
