// One writer per tool: claim and release. There is no forced takeover and no expiry.
#include "apps/studio/studio.hpp"

#include "apps/common/arguments.hpp"
#include "apps/common/records.hpp"

namespace vft::apps::studio {

namespace {

constexpr const char *kOwnedByAnother =
    "Another writer owns this tool; save a stopped-writer handoff before transfer";
constexpr const char *kNotTheOwner = "Only the recorded writer can release this tool";

constexpr std::size_t kMaxOwner = 200;
constexpr std::size_t kMaxClaimPurpose = 1000;

// The recorded writer's name, or nullptr when the member holds none. A tool whose owner is
// neither null nor a writer object counts as held by somebody else.
const Json *owner_id(const Json &record) {
  const auto owner = record.find("owner");
  if (owner == record.end() || !owner->is_object()) return nullptr;
  const auto id = owner->find("id");
  return id == owner->end() ? nullptr : &*id;
}

bool is_free(const Json &record) {
  const auto owner = record.find("owner");
  return owner == record.end() || owner->is_null();
}

// The stored record the call names, after its version check.
Result<Json *> checked_record(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  return &call.records_to_change()[index];
}

} // namespace

Result<Json> claim_free_tool(ToolCall &call) {
  VFT_TRY(auto stored, checked_record(call));
  VFT_TRY(auto owner, apps::required_text(call.args, "owner", kMaxOwner));
  if (!is_free(*stored)) {
    const Json *current = owner_id(*stored);
    if (current == nullptr || *current != Json(owner)) return fail(kOwnedByAnother);
  }
  VFT_TRY(auto purpose, apps::required_text(call.args, "purpose", kMaxClaimPurpose));

  Json record = *stored;
  record["owner"] =
      Json{{"id", owner}, {"purpose", purpose}, {"claimedAt", store::Stamper::now_seconds()}};
  apps::touch(record);
  *stored = record;
  VFT_TRY_VOID(call.save());
  return record;
}

Result<Json> release_free_tool(ToolCall &call) {
  VFT_TRY(auto stored, checked_record(call));
  const auto owner = call.args.find("owner");
  if (owner == call.args.end() || !owner->is_string()) {
    return fail(std::string(apps::kInvalidType) + "owner");
  }
  // Compared exactly as given: only the name the claim recorded releases the tool.
  const Json *current = owner_id(*stored);
  if (current == nullptr || *current != *owner) return fail(kNotTheOwner);

  Json record = *stored;
  record["owner"] = nullptr;
  apps::touch(record);
  *stored = record;
  VFT_TRY_VOID(call.save());
  return record;
}

} // namespace vft::apps::studio
