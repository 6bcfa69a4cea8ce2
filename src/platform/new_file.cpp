// What both systems share of a NewFile: its removal unless kept. Each system creates and
// writes one in its own new_file.cpp.
#include "platform/platform.hpp"

namespace vft::platform {

NewFile NewFile::claim(std::string path) { return NewFile(std::move(path)); }

NewFile::NewFile(NewFile &&other) noexcept
    : path_(std::move(other.path_)), identity_(other.identity_), kept_(other.kept_) {
  other.kept_ = true; // the moved-from object owns nothing
}

NewFile::~NewFile() {
  if (kept_) return;
  if (!identity_) {
    remove_tree_quietly(path_);
    return;
  }
  // Only while the name still leads to the file we made: another file put there meanwhile is
  // someone else's.
  if (auto now = regular_file_identity(path_); now && *now == *identity_) {
    remove_file_quietly(path_);
  }
}

} // namespace vft::platform
