#include "server/session.hpp"

#include "text/unicode.hpp"

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

void run_session(SessionIo &io, const LineHandler &handle_line) {
  LineReader reader(io.read);
  std::string line;
  for (;;) {
    switch (reader.next(line)) {
    case LineReader::Status::end:
    case LineReader::Status::failed:
    case LineReader::Status::invalid_utf8:
      return;
    case LineReader::Status::too_long:
      io.error(std::string(kLineTooLong) + "\n");
      return;
    case LineReader::Status::line:
      break;
    }
    if (auto response = handle_line(line)) {
      response->push_back('\n');
      if (!io.write(*response)) return;
    }
  }
}

} // namespace vft::server
