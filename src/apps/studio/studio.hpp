// The studio app: a private inventory of the user's own free tools, one recorded writer per
// tool, and release stages that only saved evidence receipts can advance.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <string>

namespace vft::apps::studio {

inline constexpr std::size_t kMaxEvidence = 500;

// ---- release stages ----------------------------------------------------------------------

// {complete, requiredStages, hostTesting}: computed from the evidence for the record's current
// toolVersion each time a tool is read, never stored.
Json release_status(const Json &record);

// A copy of the record with its release status beside it.
Json with_release_status(const Json &record);

// The receipt must be an object naming the record's id, the call's toolVersion, stage and
// outcome, with an observed_at text; a passed public stage also needs its https:// URL.
Result<void> check_receipt(const Json &receipt, const Json &record, const Json &args);

// Appends the entry, first dropping the oldest ones so that at most 500 remain.
void append_evidence(Json &record, Json entry);

// ---- helpers shared by the tools ---------------------------------------------------------

// Whether the path names a folder that exists now (links followed).
bool is_existing_folder(const std::string &path);

} // namespace vft::apps::studio
