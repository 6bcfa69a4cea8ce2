// The wallet's rules that need neither the store nor the disk: the type check of a selected
// file, the bounds of the store, the shape of a stored content reference, and paths as text.
#pragma once

#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vft::apps::wallet {

inline constexpr const char *kUnsupportedDocument =
    "Supported documents: valid PDF, PNG, JPEG or UTF-8 text (20 MiB maximum)";
inline constexpr const char *kDocumentLimit = "Document limit reached (1000)";
inline constexpr const char *kSizeLimit = "Wallet document limit reached (500 MiB)";
inline constexpr const char *kInvalidReference = "Invalid stored document reference";

inline constexpr std::size_t kMaxDocuments = 1000;
inline constexpr std::uint64_t kMaxTotalBytes = 524'288'000;

struct DocumentType {
  std::string extension; // lower-cased: pdf, png, jpg, jpeg or txt
  std::string mime_type;
};

// The text after the last dot of a file name, lower-cased; empty when the name has no dot
// or its only dot is its first character.
std::string extension_of(std::string_view file_name);

// What the file name's extension promises, checked against the content's leading bytes (or,
// for text, the whole content).
Result<DocumentType> check_document_type(std::string_view file_name, std::string_view content);

// Room for one more document of new_bytes: fewer than 1000 records, and the sum of their
// `bytes` plus new_bytes at most 500 MiB. Archived records count.
Result<void> check_capacity(const Json &records, std::uint64_t new_bytes);

// The record's `blob`, once it is sure to name a plain file inside the documents folder.
Result<std::string> content_file_name(const Json &record);

} // namespace vft::apps::wallet
