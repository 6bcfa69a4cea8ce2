#include "server/session.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
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

// A session over the given input whose handler answers each request with its compact text.
struct Served {
  std::mutex mutex;
  std::condition_variable wrote;
  std::vector<std::string> written;
  std::string errors;
};

vft::server::SessionIo io_for(std::string input, Served &served, int writes_allowed = 1 << 20) {
  auto allowed = std::make_shared<int>(writes_allowed);
  return {feeder(std::move(input), 5),
          [&served, allowed](std::string_view s) {
            const std::lock_guard lock(served.mutex);
            if ((*allowed)-- <= 0) return false;
            served.written.emplace_back(s);
            served.wrote.notify_all();
            return true;
          },
          [&served](std::string_view s) { served.errors += s; }};
}

std::optional<std::string> echo(const vft::Json &request, const vft::CancelToken &,
                                const vft::server::Notify &) {
  return vft::to_compact(request);
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
  Served served;
  std::atomic<int> handled = 0;
  vft::server::Session session(io_for("1\n2\n3\n4\n", served, 2),
                               [&](const vft::Json &request, const vft::CancelToken &cancel,
                                   const vft::server::Notify &notify) {
                                 ++handled;
                                 return echo(request, cancel, notify);
                               });
  EXPECT_EQ(session.run(), vft::server::SessionEnd::output_gone);
  EXPECT_EQ(served.written, (std::vector<std::string>{"1\n", "2\n"}));
  EXPECT_EQ(handled, 3); // the third response could not be written: nothing more is run
  EXPECT_TRUE(served.errors.empty());
}

TEST(Session, AnswersEveryRequestInOrderBeforeInputEnds) {
  Served served;
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
  vft::server::Session session(io_for(input, served), echo);
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  EXPECT_EQ(served.written, expected);
}

TEST(Session, CancelsTheRunningCallAndDropsAWaitingOne) {
  Served served;
  // The first call waits for its cancel; the second is cancelled while it waits in the queue.
  // Nothing is answered for either.
  const std::string input = R"({"id":1,"method":"tools/call"})"
                            "\n"
                            R"({"id":"two","method":"tools/call"})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":"two"}})"
                            "\n"
                            R"({"id":3,"method":"tools/call"})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":1}})"
                            "\n"
                            R"({"method":"notifications/cancelled","params":{"requestId":99}})"
                            "\n";
  std::vector<std::string> ran;
  vft::server::Session session(io_for(input, served),
                               [&](const vft::Json &request, const vft::CancelToken &cancel,
                                   const vft::server::Notify &notify) {
                                 ran.push_back(vft::to_compact(request["id"]));
                                 if (request["id"] == 1) {
                                   while (!cancel.cancelled())
                                     std::this_thread::yield();
                                   notify("progress after the cancel");
                                 }
                                 return echo(request, cancel, notify);
                               });
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  // The first call is cancelled while it runs, or taken off the queue before it starts.
  EXPECT_TRUE(ran == (std::vector<std::string>{"1", "3"}) || ran == std::vector<std::string>{"3"});
  EXPECT_EQ(served.written, std::vector<std::string>{R"({"id":3,"method":"tools/call"})"
                                                     "\n"});
}

TEST(Session, AnswersAPingAtOnceBehindALongCall) {
  Served served;
  std::atomic<bool> pinged = false;
  const std::string input = R"({"id":1,"method":"tools/call"})"
                            "\n"
                            R"({"id":2,"method":"tools/list"})"
                            "\n"
                            R"({"id":3,"method":"ping"})"
                            "\n";
  vft::server::Session session(io_for(input, served), [&](const vft::Json &request,
                                                          const vft::CancelToken &cancel,
                                                          const vft::server::Notify &notify) {
    // Returns only once the ping behind it has been answered.
    if (request["id"] == 1) {
      std::unique_lock lock(served.mutex);
      pinged = served.wrote.wait_for(lock, std::chrono::seconds(30),
                                     [&] { return !served.written.empty(); });
    }
    return echo(request, cancel, notify);
  });
  EXPECT_EQ(session.run(), vft::server::SessionEnd::input_ended);
  EXPECT_TRUE(pinged);
  EXPECT_EQ(served.written, (std::vector<std::string>{R"({"id":3,"jsonrpc":"2.0","result":{}})"
                                                      "\n",
                                                      R"({"id":1,"method":"tools/call"})"
                                                      "\n",
                                                      R"({"id":2,"method":"tools/list"})"
                                                      "\n"}));
}

TEST(Session, StopCancelsTheRunningCallAndAnswersNothingMore) {
  Served served;
  vft::server::Session *running = nullptr;
  vft::server::Session session(io_for(R"({"id":1,"method":"tools/call"})"
                                      "\n"
                                      R"({"id":2,"method":"ping"})"
                                      "\n",
                                      served),
                               [&](const vft::Json &request, const vft::CancelToken &cancel,
                                   const vft::server::Notify &notify) {
                                 running->stop(vft::server::SessionEnd::stopped);
                                 EXPECT_TRUE(cancel.cancelled());
                                 return echo(request, cancel, notify);
                               });
  running = &session;
  EXPECT_EQ(session.run(), vft::server::SessionEnd::stopped);
  EXPECT_TRUE(served.written.empty());
}
