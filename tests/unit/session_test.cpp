#include "server/server.hpp"
#include "server/session.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using vft::server::LineReader;
using Status = LineReader::Status;

namespace {

// Serves the input in reads of at most `chunk` bytes.
LineReader::ReadFn feeder(std::string input, std::size_t chunk) {
  auto state = std::make_shared<std::pair<std::string, std::size_t>>(std::move(input), 0);
  return [state, chunk](char *buffer, std::size_t size) -> long long {
    auto &[data, offset] = *state;
    const std::size_t n = std::min({size, chunk, data.size() - offset});
    std::memcpy(buffer, data.data() + offset, n);
    offset += n;
    return static_cast<long long>(n);
  };
}

std::vector<std::string> lines_of(const std::string &input, std::size_t chunk, Status &last) {
  LineReader reader(feeder(input, chunk), 16);
  std::vector<std::string> out;
  std::string line;
  while ((last = reader.next(line)) == Status::line)
    out.push_back(line);
  return out;
}

// What a session wrote, shared with its threads (a detached one may outlive the test).
struct Served {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> written;
  std::string errors;
  int lines_read = 0;
  bool blocked = false; // a write waits until the output is released
  bool released = true;
};

// Input served one line a read; writes fail after writes_allowed lines.
vft::server::SessionIo io_for(std::vector<std::string> lines, std::shared_ptr<Served> served,
                              int writes_allowed = 1 << 20) {
  auto input =
      std::make_shared<std::pair<std::vector<std::string>, std::size_t>>(std::move(lines), 0);
  auto allowed = std::make_shared<int>(writes_allowed);
  return {[input, served](char *buffer, std::size_t size) -> long long {
            auto &[all, next] = *input;
            if (next == all.size()) return 0;
            const std::string &line = all[next++];
            EXPECT_LE(line.size(), size);
            std::memcpy(buffer, line.data(), line.size());
            const std::lock_guard lock(served->mutex);
            ++served->lines_read;
            served->changed.notify_all();
            return static_cast<long long>(line.size());
          },
          [served, allowed](std::string_view s) {
            std::unique_lock lock(served->mutex);
            served->blocked = !served->released;
            served->changed.notify_all();
            served->changed.wait(lock, [&] { return served->released; });
            served->blocked = false;
            if ((*allowed)-- <= 0) return false;
            served->written.emplace_back(s);
            served->changed.notify_all();
            return true;
          },
          [served](std::string_view s) { served->errors += s; }};
}

std::vector<std::string> split(const std::string &input) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < input.size()) {
    const std::size_t end = std::min(input.find('\n', start), input.size() - 1);
    lines.push_back(input.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

using Handler =
    std::function<std::optional<std::string>(const vft::Json &, const vft::server::RequestIo &)>;

// The real server's intake and early answers around a handler of the test's own.
class TestEndpoint final : public vft::server::Endpoint {
public:
  explicit TestEndpoint(Handler handler) : handler_(std::move(handler)) {}
  vft::server::Intake intake(const vft::Json &message) const override {
    return server_.intake(message);
  }
  std::string early_answer(const vft::Json &message) const override {
    return server_.early_answer(message);
  }
  std::optional<std::string> answer(const vft::Json &request,
                                    const vft::server::RequestIo &io) override {
    return handler_(request, io);
  }
  std::string unreadable_answer() const override { return server_.unreadable_answer(); }

private:
  vft::server::Server server_{"studio"};
  Handler handler_;
};

std::optional<std::string> echo(const vft::Json &request, const vft::server::RequestIo &) {
  return vft::to_compact(request);
}

vft::server::Session session_for(std::vector<std::string> lines, std::shared_ptr<Served> served,
                                 Handler handler, vft::server::SessionLimits limits = {},
                                 int writes_allowed = 1 << 20) {
  return vft::server::Session(io_for(std::move(lines), std::move(served), writes_allowed),
                              std::make_shared<TestEndpoint>(std::move(handler)), limits);
}

} // namespace

TEST(Session, SplitsLinesAndStripsTerminatorsWhateverTheReadSize) {
  for (std::size_t chunk : {1U, 2U, 5U, 1000U}) {
    Status last{};
    const auto lines = lines_of("a\r\nb\n\nc\rd\nlast", chunk, last);
    EXPECT_EQ(last, Status::end);
    ASSERT_EQ(lines, (std::vector<std::string>{"a", "b", "", "c\rd", "last"})) << chunk;
  }
}

TEST(Session, CarriageReturnAtEndOfInputIsKept) {
  Status last{};
  EXPECT_EQ(lines_of("x\r", 3, last), std::vector<std::string>{"x\r"});
}

TEST(Session, LineLimitCountsBytesWithoutTheTerminator) {
  Status last{};
  // Exactly the limit (16) is accepted, also with CRLF; one more byte is refused.
  EXPECT_EQ(lines_of(std::string(16, 'a') + "\r\n", 3, last).size(), 1U);
  EXPECT_EQ(last, Status::end);
  const auto before = lines_of("ok\n" + std::string(17, 'a') + "\nnever\n", 4, last);
  EXPECT_EQ(last, Status::too_long);
  EXPECT_EQ(before, std::vector<std::string>{"ok"});
  lines_of(std::string(40, 'a'), 4, last); // no line feed at all
  EXPECT_EQ(last, Status::too_long);
}

TEST(Session, InvalidUtf8EndsTheSessionEvenBeyondTheKeptBytes) {
  Status last{};
  lines_of("\xC3\n", 1, last);
  EXPECT_EQ(last, Status::invalid_utf8);
  lines_of(std::string(30, 'a') + "\xFF" + "\n", 4, last); // past the limit, still invalid
  EXPECT_EQ(last, Status::invalid_utf8);
  // A valid multi-byte character split by the read size and by the limit is fine.
  const auto ok = lines_of("\xE2\x82\xAC\xE2\x82\xAC\n", 1, last);
  EXPECT_EQ(last, Status::end);
  EXPECT_EQ(ok, std::vector<std::string>{"\xE2\x82\xAC\xE2\x82\xAC"});
  lines_of(std::string(15, 'a') + "\xE2\x82\xAC\n", 2, last); // too long, not invalid
  EXPECT_EQ(last, Status::too_long);
  lines_of("\xED\xA0\x80\n", 1, last); // a surrogate
  EXPECT_EQ(last, Status::invalid_utf8);
}

TEST(Session, ReadFailureEndsTheSession) {
  LineReader reader([](char *, std::size_t) -> long long { return -1; });
  std::string line;
  EXPECT_EQ(reader.next(line), Status::failed);
}

TEST(Session, RunWritesOneLinePerResponseAndStopsWhenOutputFails) {
  auto served = std::make_shared<Served>();
  std::atomic<int> handled = 0;
  auto session = session_for(
      {"1\n", "2\n", "3\n", "4\n"}, served,
      [&](const vft::Json &request, const vft::server::RequestIo &io) {
        ++handled;
        return echo(request, io);
      },
      {}, 2);
  EXPECT_EQ(session.run(), vft::server::SessionEnd::output_gone);
  EXPECT_EQ(served->written, (std::vector<std::string>{"1\n", "2\n"}));
  EXPECT_LE(handled, 4);
  EXPECT_TRUE(served->errors.empty());
}

TEST(Session, AnswersEveryRequestInOrderBeforeInputEnds) {
  auto served = std::make_shared<Served>();
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    const std::string ping = R"({"id":)" + std::to_string(i) + R"(,"method":"ping"})";
    const std::string call = R"({"id":)" + std::to_string(i) + R"(,"method":"tools/call"})";
    const std::string &line = i % 3 == 0 ? ping : call;
    input += line + "\r\n\n";
    expected.push_back(vft::to_compact(vft::Json::parse(line)) + "\n");
  }
  input += "not json\n" + std::string(50, 'x');
  expected.push_back(
      R"({"error":{"code":-32700,"message":"Invalid JSON"},"id":null,"jsonrpc":"2.0"})"
      "\n");
  expected.push_back(expected.back());
  // Small bounds: the reader waits for room again and again, and loses nothing.
  auto session = session_for(split(input), served, echo, {2, 64, 64});
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  EXPECT_EQ(served->written, expected);
}

TEST(Session, CancelsTheRunningCallAndDropsAWaitingOne) {
  auto served = std::make_shared<Served>();
  // The first call waits for its cancel; the second is cancelled while it waits in the queue
  // (by an id equal as JSON). Nothing is answered for either.
  const std::string input = R"({"id":1,"method":"tools/call"})"
                            "\n"
                            R"({"id":2,"method":"tools/call"})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":2.0}})"
                            "\n"
                            R"({"id":"1","method":"tools/call"})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":1}})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":99}})"
                            "\n";
  std::vector<std::string> ran;
  auto session = session_for(split(input), served,
                             [&](const vft::Json &request, const vft::server::RequestIo &io) {
                               ran.push_back(vft::to_compact(request["id"]));
                               if (request["id"] == 1) {
                                 (void)io.cancel.wait_for(std::chrono::minutes(1));
                                 io.send("progress after the cancel");
                               }
                               return echo(request, io);
                             });
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  // The first call is cancelled while it runs, or taken off the queue before it starts.
  EXPECT_TRUE(ran == (std::vector<std::string>{"1", "\"1\""}) ||
              ran == std::vector<std::string>{"\"1\""});
  EXPECT_EQ(served->written, std::vector<std::string>{R"({"id":"1","method":"tools/call"})"
                                                      "\n"});
}

TEST(Session, AnswersAPingAtOnceBehindALongCall) {
  auto served = std::make_shared<Served>();
  std::atomic<bool> pinged = false;
  const std::string input = R"({"id":1,"method":"tools/call"})"
                            "\n"
                            R"({"id":2,"method":"tools/list"})"
                            "\n"
                            R"({"id":3,"method":"ping"})"
                            "\n";
  auto session = session_for(
      split(input), served, [&](const vft::Json &request, const vft::server::RequestIo &io) {
        // Returns only once the ping behind it has been answered.
        if (request["id"] == 1) {
          std::unique_lock lock(served->mutex);
          pinged = served->changed.wait_for(lock, std::chrono::seconds(30),
                                            [&] { return !served->written.empty(); });
        }
        return echo(request, io);
      });
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  EXPECT_TRUE(pinged);
  EXPECT_EQ(served->written, (std::vector<std::string>{R"({"id":3,"jsonrpc":"2.0","result":{}})"
                                                       "\n",
                                                       R"({"id":1,"method":"tools/call"})"
                                                       "\n",
                                                       R"({"id":2,"method":"tools/list"})"
                                                       "\n"}));
}

TEST(Session, ReadsNothingMoreWhileTheQueueIsFull) {
  // Behind a call that holds on, the reader fills the queue, keeps one more line in hand and
  // reads no further (the call gives it half a second to go wrong), then reads on.
  auto served = std::make_shared<Served>();
  std::vector<std::string> lines;
  for (int i = 0; i < 50; ++i)
    lines.push_back(R"({"id":)" + std::to_string(i) + R"(,"method":"tools/call"})" + "\n");
  int read_behind_the_call = 0;
  auto session = session_for(lines, served,
                             [&](const vft::Json &request, const vft::server::RequestIo &io) {
                               if (request["id"] == 0) {
                                 std::unique_lock lock(served->mutex);
                                 served->changed.wait_for(lock, std::chrono::milliseconds(500),
                                                          [&] { return served->lines_read > 5; });
                                 read_behind_the_call = served->lines_read;
                               }
                               return echo(request, io);
                             },
                             {3, 1u << 20, 1u << 20});
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  EXPECT_EQ(read_behind_the_call, 1 + 3 + 1);
  EXPECT_EQ(served->written.size(), 50U);
}

TEST(Session, StopEndsTheSessionWhateverTheOutputIsDoing) {
  // Nobody reads the output: the writer waits in its write, answers pile up behind it and a
  // ping waits behind a call. A stop still ends the session, and nothing more goes out.
  auto served = std::make_shared<Served>();
  served->released = false;
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i)
    lines.push_back(R"({"id":)" + std::to_string(i) + R"(,"method":"tools/list"})" + "\n");
  lines.push_back(R"({"id":"long","method":"tools/call"})"
                  "\n");
  lines.push_back(R"({"id":"p","method":"ping"})"
                  "\n");
  vft::server::Session *running = nullptr;
  auto session =
      session_for(lines, served, [&](const vft::Json &request, const vft::server::RequestIo &io) {
        if (request["id"] == "long") {
          {
            std::unique_lock lock(served->mutex);
            served->changed.wait(lock, [&] { return served->blocked; });
          }
          running->stop(vft::server::SessionEnd::stopped);
          running->stop(vft::server::SessionEnd::output_gone);
          EXPECT_TRUE(io.cancel.cancelled());
        }
        return echo(request, io);
      });
  running = &session;
  EXPECT_EQ(session.run(), vft::server::SessionEnd::stopped);
  const std::lock_guard lock(served->mutex);
  EXPECT_TRUE(served->written.empty());
  served->released = true; // lets the detached writer go
  served->changed.notify_all();
}
