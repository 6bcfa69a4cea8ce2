// The changes to stored records that several apps' tools share, from the call's arguments to
// the save.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace vft::apps {

// archive_* (archived true) and restore_* (false): lookup, version check, set, touch, save.
Result<Json> set_archived(ToolCall &call, bool archived);

// The record a save-or-correct tool fills in: with an id among the arguments, a copy of the
// stored record (lookup_for_change), else a new record_base, refused with limit_message when
// the store already holds max_records.
struct RecordDraft {
  Json record;
  std::optional<std::size_t> index; // of the stored record; none for a new one
};
Result<RecordDraft> draft_record(ToolCall &call, std::string_view title, std::string_view prefix,
                                 std::size_t max_records, const char *limit_message);

// Puts the filled-in draft into the store (a correction touched, in its place; a new record
// at the end) and saves; draft.record is then the record as stored.
Result<void> save_draft(ToolCall &call, RecordDraft &draft);

} // namespace vft::apps
