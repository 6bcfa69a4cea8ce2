// The wallet's tools and what they share: the document view and the content files.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <string>
#include <string_view>

namespace vft::apps::wallet {

// Binds document contents to their purpose; different from the wallet store's own entropy.
inline constexpr std::string_view kDocumentEntropy = "vault-item-blob";

inline constexpr const char *kMetadataNotText = "Metadata must be text";

// A copy of the record without `blob`, and without `fields` unless they are asked for.
Json document_view(const Json &record, bool with_fields);

// The folder beside the store that holds one protected file per document.
std::string documents_folder(const store::Store &store);
} // namespace vft::apps::wallet
