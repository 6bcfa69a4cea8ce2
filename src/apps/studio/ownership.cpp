// One writer per tool: claim and release. There is no forced takeover and no expiry.
#include "apps/studio/studio.hpp"

#include "apps/common/arguments.hpp"
#include "store/records.hpp"

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
  auto index = store::lookup_for_change(call.store.document, call.args);
  if (!index) return fail(index.error());
  return &call.records_to_change()[index.value()];
}

} // namespace

Result<Json> claim_free_tool(ToolCall &call) {
  auto stored = checked_record(call);
  if (!stored) return fail(stored.error());
  auto owner = store::required_text(call.args, "owner", kMaxOwner);
  if (!owner) return fail(owner.error());
  if (!is_free(*stored.value())) {
    const Json *current = owner_id(*stored.value());
    if (current == nullptr || *current != Json(owner.value())) return fail(kOwnedByAnother);
  }
  auto purpose = store::required_text(call.args, "purpose", kMaxClaimPurpose);
  if (!purpose) return fail(purpose.error());

  Json record = *stored.value();
  record["owner"] = Json{{"id", owner.value()},
                         {"purpose", purpose.value()},
                         {"claimedAt", store::Stamper::now_seconds()}};
  store::touch(record);
  *stored.value() = record;
  if (auto saved = call.save(); !saved) return fail(saved.error());
  return record;
}

Result<Json> release_free_tool(ToolCall &call) {
  auto stored = checked_record(call);
  if (!stored) return fail(stored.error());
  const auto owner = call.args.find("owner");
  if (owner == call.args.end() || !owner->is_string()) {
    return fail(std::string(apps::kInvalidType) + "owner");
  }
  // Compared exactly as given: only the name the claim recorded releases the tool.
  const Json *current = owner_id(*stored.value());
  if (current == nullptr || *current != *owner) return fail(kNotTheOwner);

  Json record = *stored.value();
  record["owner"] = nullptr;
  store::touch(record);
  *stored.value() = record;
  if (auto saved = call.save(); !saved) return fail(saved.error());
  return record;
}

} // namespace vft::apps::studio
