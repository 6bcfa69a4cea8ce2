// Feeds arbitrary bytes through the session's line framing and message handling, with a
// tool runner that never touches the disk. Every response must be one line of valid JSON.
#include "server/protocol.hpp"
#include "server/session.hpp"

#include <cstdlib>
#include <cstring>

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
  const server::ToolRunner runner = [](const std::string &tool, const Json &args,
                                       const apps::Progress *,
                                       const CancelToken *) -> Result<Json> {
    if (tool.empty()) return fail("Unknown tool");
    return Json{{"tool", tool}, {"args", args}, {"_imageData", "aGk="}};
  };
  server::Session session(std::move(io), [&](const Json &request, const CancelToken &cancel,
                                             const server::Notify &notify) {
    return server::respond_to_request(request, "studio", runner, notify, &cancel);
  });
  if (session.run() != server::SessionEnd::input_ended) std::abort();
  return 0;
}
