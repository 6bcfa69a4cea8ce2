#include "server/session.hpp"

#include <gtest/gtest.h>

#include <cstring>
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
  while ((last = reader.next(line)) == Status::line) out.push_back(line);
  return out;
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
  std::vector<std::string> written;
  std::string errors;
  int writes_allowed = 2;
  vft::server::SessionIo io{feeder("1\n2\n3\n4\n", 100),
                            [&](std::string_view s) {
                              if (writes_allowed-- <= 0) return false;
                              written.emplace_back(s);
                              return true;
                            },
                            [&](std::string_view s) { errors += s; }};
  int handled = 0;
  vft::server::run_session(io, [&](std::string_view line) -> std::optional<std::string> {
    ++handled;
    return std::string(line);
  });
  EXPECT_EQ(written, (std::vector<std::string>{"1\n", "2\n"}));
  EXPECT_EQ(handled, 3); // the third response could not be written: nothing more is read
  EXPECT_TRUE(errors.empty());
}
