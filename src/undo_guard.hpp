// Undo unless committed: work that leaves something behind until it succeeds (a partial
// file, a log) registers its undo once, and every way out of the scope that did not commit
// runs it, early returns and failures of whatever is waited on included.
#pragma once

#include <utility>

namespace vft {

template <typename Undo> class UndoGuard {
public:
  explicit UndoGuard(Undo undo) : undo_(std::move(undo)) {}
  UndoGuard(const UndoGuard &) = delete;
  UndoGuard &operator=(const UndoGuard &) = delete;
  ~UndoGuard() {
    if (!committed_) undo_();
  }
  // The work is kept: nothing is undone.
  void commit() { committed_ = true; }

private:
  Undo undo_;
  bool committed_ = false;
};

} // namespace vft
