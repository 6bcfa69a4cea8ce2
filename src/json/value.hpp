// The one JSON type of the system, apart from the functions that read and write it
// (json.hpp), so that the fast reader and writer beneath those can name it.
#pragma once

#include "json/members.hpp"

#include <nlohmann/json.hpp>

namespace vft {

// Objects keep their members in byte order of their keys, in one block (see SortedMembers).
using Json = nlohmann::basic_json<SortedMembers>;

// Deeper documents are refused as a parse failure, so that echoing, saving or destroying a
// value can never exhaust the stack.
inline constexpr int kMaxJsonDepth = 128;

} // namespace vft
