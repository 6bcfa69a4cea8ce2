#include "server/session.hpp"

#include "text/unicode.hpp"

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
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

// The key a request is found by when a cancel names it: ids that JSON compares equal (1 and
// 1.0, say) get the same key.
std::string id_key(const Json &id) {
  if (id.is_string()) return "s" + id.get<std::string>();
  if (id.is_number_unsigned()) return "n" + std::to_string(id.get<std::uint64_t>());
  if (id.is_number_integer()) return "n" + std::to_string(id.get<std::int64_t>());
  if (id.is_number_float()) {
    const double value = id.get<double>();
    if (std::trunc(value) == value && std::fabs(value) < 9.2e18) {
      return "n" + std::to_string(static_cast<std::int64_t>(value));
    }
  }
  return "j" + to_compact(id);
}

// A message read and waiting for the worker: a parsed one, or the answer to a line that was
// not JSON.
struct Waiting {
  Json message;
  std::optional<std::string> answer;
  std::size_t bytes = 0;
  std::optional<std::string> key; // the id's key, for a message with an id
};

// A line held for the writer is never larger than what it already took to read or answer,
// so the reader keeps a large line's buffer only while it holds such a line.
constexpr std::size_t kKeptLineCapacity = 1u << 20;

} // namespace

struct Session::Shared {
  SessionIo io;
  std::shared_ptr<Endpoint> endpoint;
  SessionLimits limits;

  // The one lock: guards every member below. Never held across a read, a write or an answer.
  std::mutex mutex;
  std::condition_variable changed;  // the queue, the running request, the output or an end
  std::condition_variable to_write; // a line for the writer, or its end

  // The queue in arrival order, with what finds a message in it without a scan.
  std::map<std::uint64_t, Waiting> queue;
  std::uint64_t next_number = 0;
  std::size_t queued_bytes = 0;
  std::set<std::pair<std::string, std::uint64_t>> by_id;
  std::set<std::uint64_t> early;

  bool input_done = false;
  std::optional<std::string> input_error;
  bool stopping = false;
  SessionEnd end = SessionEnd::input_ended;

  // The request the worker runs.
  std::shared_ptr<CancelToken> running;
  std::optional<std::string> running_key;
  Clock::time_point started;

  // The writer's lines, and whether it writes one now (its size counts as unwritten).
  std::deque<std::string> lines;
  std::size_t line_bytes = 0;
  std::size_t in_flight = 0;
  bool writing = false;
  bool quiet = false;   // a stop: nothing more goes out
  bool closing = false; // input ended and everything is answered: the writer ends when done

  // Hands a line to the writer unless the session has gone quiet or the request it belongs
  // to was cancelled (the lock held).
  void post(std::string line, const CancelToken *token) {
    if (quiet || (token != nullptr && token->cancelled())) return;
    line.push_back('\n');
    line_bytes += line.size();
    lines.push_back(std::move(line));
    to_write.notify_one();
  }

  void stop(SessionEnd why) {
    {
      const std::lock_guard lock(mutex);
      if (!stopping) {
        stopping = true;
        end = why;
      }
      quiet = true;
      lines.clear();
      line_bytes = 0;
      queue.clear();
      by_id.clear();
      early.clear();
      queued_bytes = 0;
      if (running) running->cancel();
    }
    changed.notify_all();
    to_write.notify_all();
  }

  // Takes a waiting message off the queue (the lock held).
  Waiting take(std::map<std::uint64_t, Waiting>::iterator at) {
    Waiting waiting = std::move(at->second);
    queued_bytes -= waiting.bytes;
    early.erase(at->first);
    if (waiting.key) by_id.erase({*waiting.key, at->first});
    queue.erase(at);
    return waiting;
  }

  // A cancel naming the running request cancels it; one naming a waiting request takes the
  // first such off the queue; any other is ignored.
  void cancel(const Json &id) {
    const std::string key = id_key(id);
    {
      const std::lock_guard lock(mutex);
      if (running && running_key == key) {
        running->cancel();
        return;
      }
      const auto named = by_id.lower_bound({key, 0});
      if (named == by_id.end() || named->first != key) return;
      (void)take(queue.find(named->second));
    }
    changed.notify_all();
  }

  // Whether a message of this size may join the queue (the lock held): never while the
  // writer is behind; always when nothing waits; else within both bounds.
  bool has_room(std::size_t bytes) const {
    if (line_bytes + in_flight > limits.unwritten_bytes) return false;
    if (queue.empty()) return true;
    return queue.size() < limits.queued_requests && queued_bytes + bytes <= limits.queued_bytes;
  }

  void read_requests() {
    LineReader reader(io.read);
    std::string line;
    for (;;) {
      const LineReader::Status status = reader.next(line);
      if (status != LineReader::Status::line) {
        {
          const std::lock_guard lock(mutex);
          input_done = true;
          if (status == LineReader::Status::too_long) {
            input_error = std::string(kLineTooLong) + "\n";
          }
        }
        changed.notify_all();
        return;
      }
      if (text::trim_white_space(line).empty()) continue;
      Waiting waiting;
      waiting.bytes = line.size();
      bool is_early = false;
      if (auto parsed = parse_json(line)) {
        const Intake intake = endpoint->intake(*parsed);
        if (intake.kind == Intake::Kind::cancel) {
          cancel(intake.id);
          continue;
        }
        is_early = intake.kind == Intake::Kind::early;
        if (parsed->is_object()) {
          if (const auto id = parsed->find("id"); id != parsed->end()) waiting.key = id_key(*id);
        }
        waiting.message = std::move(*parsed);
      } else {
        waiting.answer = endpoint->unreadable_answer();
      }
      if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
      {
        std::unique_lock lock(mutex);
        // The queue is full or the writer behind: read nothing more, so the host's writes
        // block until there is room again.
        changed.wait(lock, [&] { return stopping || has_room(waiting.bytes); });
        if (stopping) return;
        const std::uint64_t number = next_number++;
        queued_bytes += waiting.bytes;
        if (waiting.key) by_id.emplace(*waiting.key, number);
        if (is_early) early.insert(number);
        queue.emplace(number, std::move(waiting));
      }
      changed.notify_all();
    }
  }

  void work() {
    for (;;) {
      Waiting next;
      auto token = std::make_shared<CancelToken>();
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || input_done || !queue.empty(); });
        if (stopping || queue.empty()) return;
        next = take(queue.begin());
        running = token;
        running_key = next.key;
        started = Clock::now();
      }
      changed.notify_all();
      std::optional<std::string> answer = std::move(next.answer);
      if (!answer) {
        const RequestIo request_io{*token, [this, token](std::string line) {
                                     const std::lock_guard lock(mutex);
                                     post(std::move(line), token.get());
                                   }};
        answer = endpoint->answer(next.message, request_io);
      }
      {
        const std::lock_guard lock(mutex);
        if (answer) post(std::move(*answer), token.get());
        running.reset();
        running_key.reset();
      }
      changed.notify_all();
    }
  }

  void write_lines() {
    std::unique_lock lock(mutex);
    for (;;) {
      to_write.wait(lock, [&] { return quiet || closing || !lines.empty(); });
      if (quiet || lines.empty()) return;
      std::string line = std::move(lines.front());
      lines.pop_front();
      line_bytes -= line.size();
      in_flight = line.size();
      writing = true;
      lock.unlock();
      const bool written = io.write(line);
      line = std::string();
      lock.lock();
      writing = false;
      in_flight = 0;
      changed.notify_all();
      if (!written) {
        lock.unlock();
        stop(SessionEnd::output_gone);
        return;
      }
    }
  }

  // Takes the early messages off the queue once the running call has run long enough (the
  // lock held).
  std::vector<Json> due_early(Clock::time_point now) {
    std::vector<Json> due;
    if (!running || now - started < kPingPatience) return due;
    while (!early.empty()) {
      due.push_back(take(queue.find(*early.begin())).message);
    }
    return due;
  }

  bool all_done() const {
    return input_done && queue.empty() && !running && lines.empty() && !writing;
  }
};

Session::Session(SessionIo io, std::shared_ptr<Endpoint> endpoint, SessionLimits limits)
    : shared_(std::make_shared<Shared>()) {
  shared_->io = std::move(io);
  shared_->endpoint = std::move(endpoint);
  shared_->limits = limits;
}

Session::~Session() = default;

void Session::stop(SessionEnd why) { shared_->stop(why); }

SessionEnd Session::run() {
  const std::shared_ptr<Shared> s = shared_;
  std::thread writer;
  std::thread worker;
  std::thread reader;
  try {
    writer = std::thread([s] { s->write_lines(); });
    worker = std::thread([s] { s->work(); });
    reader = std::thread([s] { s->read_requests(); });
  } catch (const std::system_error &) {
    s->stop(SessionEnd::failed);
    for (std::thread *started : {&writer, &worker}) {
      if (started->joinable()) started->join();
    }
    return SessionEnd::failed;
  }
  std::unique_lock lock(s->mutex);
  for (;;) {
    if (s->stopping || s->all_done()) break;
    std::vector<Json> due = s->due_early(Clock::now());
    if (!due.empty()) {
      lock.unlock();
      std::vector<std::string> answers;
      answers.reserve(due.size());
      for (const Json &message : due)
        answers.push_back(s->endpoint->early_answer(message));
      lock.lock();
      for (std::string &answer : answers)
        s->post(std::move(answer), nullptr);
      s->changed.notify_all(); // room in the queue
      continue;
    }
    if (s->running && !s->early.empty()) {
      s->changed.wait_until(lock, s->started + kPingPatience);
    } else {
      s->changed.wait(lock);
    }
  }
  const bool stopped = s->stopping;
  if (stopped) {
    // The call was cancelled; it cleans up before the process ends.
    (void)s->changed.wait_for(lock, kStopPatience, [&] { return !s->running; });
  } else {
    s->closing = true;
    s->to_write.notify_all();
  }
  const bool call_hangs = s->running != nullptr;
  lock.unlock();
  if (call_hangs) {
    // A call that does not return: the process ends around it.
    worker.detach();
    reader.detach();
    writer.detach();
    return s->end;
  }
  worker.join();
  if (!stopped) {
    writer.join();
    reader.join();
    if (s->input_error) s->io.error(*s->input_error);
    return SessionEnd::input_ended;
  }
  // Either may still wait on the system: a read that no input ends, a write nobody reads.
  reader.detach();
  writer.detach();
  return s->end;
}

} // namespace vft::server
