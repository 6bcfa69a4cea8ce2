// The holder of a written clipboard on X11: a detached process that owns the CLIPBOARD
// selection and serves its content until another program takes the selection.
#pragma once

#include "platform/clipboard.hpp"

#include <cstdint>

namespace vft::platform {

// Starts the holder for the content (text or image) and waits until it owns the selection.
// Returns the clipboard sequence number of the new owner.
Result<std::uint32_t> start_holder(const ClipboardWrite &content);

} // namespace vft::platform
