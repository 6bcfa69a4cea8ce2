// Feeds arbitrary bytes through the session's line framing and the server's message handling,
// with tool calls that never touch the disk. Every response must be one line of valid JSON.
#include "server/protocol.hpp"
#include "server/server.hpp"
#include "server/session.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// The real server, but a tools/call answers with what it was given.
class Endpoint final : public vft::server::Endpoint {
public:
  vft::server::Intake intake(const vft::Json &message) const override {
    return server_.intake(message);
  }
  std::string early_answer(const vft::Json &message) const override {
    return server_.early_answer(message);
  }
  std::optional<std::string> answer(const vft::Json &request,
                                    const vft::server::RequestIo &io) override {
    using namespace vft;
    if (request.is_object() && request.contains("id") && request.contains("method") &&
        request["method"] == "tools/call") {
      const Json *params = server::request_params(request);
      Json given = params != nullptr ? *params : Json();
      return to_compact(server::success(
          request["id"],
          server::tool_call_envelope(Json{{"given", std::move(given)}, {"_imageData", "aGk="}})));
    }
    return server_.answer(request, io);
  }
  std::string unreadable_answer() const override { return server_.unreadable_answer(); }

private:
  vft::server::Server server_{"studio"};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size) {
  using namespace vft;
  std::size_t offset = 0;
  // Short reads exercise lines split across reads.
  server::SessionIo io{[&](char *buffer, std::size_t capacity) -> long long {
                         const std::size_t n = std::min<std::size_t>({capacity, size - offset, 7});
                         std::memcpy(buffer, data + offset, n);
                         offset += n;
                         return static_cast<long long>(n);
                       },
                       [](std::string_view line) {
                         if (line.empty() || line.back() != '\n') std::abort();
                         const auto body = line.substr(0, line.size() - 1);
                         if (body.find('\n') != std::string_view::npos) std::abort();
                         if (!parse_json(body)) std::abort();
                         return true;
                       },
                       [](std::string_view) {}};
  server::Session session(std::move(io), std::make_shared<Endpoint>());
  if (session.run() != server::SessionEnd::input_ended) std::abort();
  return 0;
}
