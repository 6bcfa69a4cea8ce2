#include "apps/common/record_changes.hpp"

#include "apps/common/records.hpp"

namespace vft::apps {

Result<Json> set_archived(ToolCall &call, bool archived) {
  VFT_TRY(auto index, lookup_for_change(call.store.document, call.args));
  Json &record = call.records_to_change()[index];
  record["archived"] = archived;
  touch(record);
  VFT_TRY_VOID(call.save());
  return Json{{"archived", archived}, {"id", record["id"]}, {"version", record["version"]}};
}

Result<RecordDraft> draft_record(ToolCall &call, std::string_view title, std::string_view prefix,
                                 std::size_t max_records, const char *limit_message) {
  if (find_member(call.args, "id") != nullptr) {
    VFT_TRY_VOID(call.store.read_records());
    VFT_TRY(auto found, lookup_for_change(call.store.document, call.args));
    return RecordDraft{call.records()[found], found};
  }
  if (call.store.record_count() >= max_records) return fail(limit_message);
  return RecordDraft{record_base(call.stamper, title, prefix), std::nullopt};
}

Result<void> save_draft(ToolCall &call, RecordDraft &draft) {
  if (draft.index) {
    touch(draft.record);
    call.records_to_change()[*draft.index] = draft.record;
  } else {
    call.store.add_record(draft.record);
  }
  return call.save();
}

} // namespace vft::apps
