// The record rules every app shares: record base and touch, the text, date and fields
// rules, lookup by id, the version check and the bounded search.
#pragma once

#include "result.hpp"
#include "store/document.hpp"
#include "store/files.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vft::apps {

inline constexpr const char *kMustBeText = " must be text";
inline constexpr const char *kTooLong = " is too long";
inline constexpr const char *kDateShape = "Dates must use YYYY-MM-DD";
inline constexpr const char *kInvalidDate = "Invalid calendar date";
inline constexpr const char *kFieldsNotObject = "fields must be an object of text values";
inline constexpr const char *kTooManyFields = "At most 40 fields";
inline constexpr const char *kSecretField =
    "Do not store passwords, access tokens, payment security codes, or government identity "
    "numbers";
inline constexpr const char *kFieldShape =
    "Fields need short names and text values up to 2000 bytes";
inline constexpr const char *kRecordNotFound = "Record not found";
inline constexpr const char *kVersionConflict =
    "Version conflict: read this record again; current version is ";
inline constexpr const char *kVersionExhausted =
    "Record version is at its largest value; this record cannot be changed";

// A new record {id, title, version 1, createdAt, updatedAt, archived false}; not yet stored.
Json record_base(store::Stamper &stamper, std::string_view title, std::string_view prefix);

// After every change: version plus one (1 when it is not a non-negative integer), updatedAt now.
void touch(Json &record);

// The argument must be a string; returned untrimmed. Else NAME + " must be text".
Result<std::string> text_rule(const Json &args, std::string_view name);

// An optional argument: none when absent, else a string of at most max_bytes bytes, returned
// as given. Else NAME + " must be text" or NAME + " is too long".
Result<std::optional<std::string>> optional_text(const Json &args, std::string_view name,
                                                 std::size_t max_bytes);

// A string, trimmed of Unicode white space, 1 to max characters, without NUL.
Result<std::string> required_text(const Json &args, std::string_view name, std::size_t max);
// The message required_text gives for NAME and MAX ("title must be 1–160 characters without
// NUL"), for apps that apply the same rule to values that are not arguments.
std::string required_text_message(std::string_view name, std::size_t max);

// YYYY-MM-DD naming a real day from 1900 to 2300.
Result<void> date_rule(std::string_view text);

// The optional free-form `fields` argument: at most 40 short text values, no secrets.
Result<void> fields_rule(const Json &args);

// Whether the record is an object whose `archived` member is true.
bool is_archived(const Json &record);

// The first record of records that is not archived and whose member `digest` is the text
// sha256, in store order; nullptr when there is none.
const Json *active_twin(const Json &records, std::string_view digest, std::string_view sha256);

// Index in `records` of the record whose id is the `id` argument (archived ones included).
Result<std::size_t> lookup_by_id(const Json &document, const Json &args);

// A copy of that whole record.
Result<Json> get_by_id(const Json &document, const Json &args);

// The `expectedVersion` argument must match the record's version.
Result<void> version_check(const Json &record, const Json &args);

// lookup_by_id, then version_check on the record found, then a version that touch can still
// raise: the opening of every change to a stored record. Returns its index.
Result<std::size_t> lookup_for_change(const Json &document, const Json &args);

// Newest-first search with query, includeArchived, limit and the folder/category/kind
// filters; omitted members are left out of the returned copies and out of the match.
Json bounded_search(const Json &document, const Json &args,
                    std::initializer_list<std::string_view> omitted);

// The same on a call's store: within a session, the texts the query is matched against are
// made once per document and kept with it.
Json bounded_search(store::Store &store, const Json &args,
                    std::initializer_list<std::string_view> omitted);

// Whether texts are what the search would make of document now (a debug check).
bool search_texts_match(const Json &document, const store::SearchTexts &texts);

} // namespace vft::apps
