// The program's version, as a session's handshake and get_storage_info report it.
#pragma once

namespace vft {

inline constexpr const char *kServerVersion = "0.1.0";

} // namespace vft
