// The messages of the argument rules: the pipeline checks every call's arguments against the
// tool's schema, and tools that check a member further word their refusals the same way.
#pragma once

namespace vft::apps {

inline constexpr const char *kArgumentsNotObject = "Arguments must be an object";
inline constexpr const char *kInvalidSchema = "Invalid tool schema";
inline constexpr const char *kUnknownArgument = "Unknown argument: ";
inline constexpr const char *kMissingArgument = "Missing argument: ";
inline constexpr const char *kInvalidType = "Invalid type for ";
inline constexpr const char *kInvalidValue = "Invalid value for ";

} // namespace vft::apps
