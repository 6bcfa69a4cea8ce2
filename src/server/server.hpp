// The server: one app's protocol methods as rows of one table, answered over the stdio
// transport (session.hpp) or once from the command line.
#pragma once

#include "server/pipeline.hpp"
#include "server/protocol.hpp"
#include "server/session.hpp"

#include <optional>
#include <string>

namespace vft::server {

// What a legacy session remembers from its handshake.
struct SessionMemory {
  bool views = false; // the client declared the views extension
};

// One app's endpoint. Its methods run on the session's worker, one at a time; intake and
// early answers may run beside them and read nothing that a method changes.
class Server final : public Endpoint {
public:
  explicit Server(std::string app);

  Intake intake(const Json &message) const override;
  std::string early_answer(const Json &message) const override;
  std::optional<std::string> answer(const Json &request, const RequestIo &io) override;
  std::string unreadable_answer() const override;

  // The response to one request, or none (not an object, or no id).
  std::optional<Json> respond(const Json &request, const RequestIo &io);

  // What the calls of this process share; a session keeps the store between them.
  ProcessState &state() { return state_; }

private:
  std::string app_;
  ProcessState state_;
  SessionMemory memory_;
};

// Serves the app on standard input and output until input ends or the process is stopped;
// the process's exit status.
int run_session(const std::string &app);

// Runs one tool call and ends the process: the result on standard output (status 0), or the
// failure on standard error (status 1, or 2 for arguments that are not JSON). A request to
// stop the process cancels the call, which gets kStopPatience to clean up.
[[noreturn]] void run_one_shot(const std::string &app, const std::string &tool,
                               const std::string &arguments);

} // namespace vft::server
