#include "apps/handlers.hpp"
#include "apps/wallet/wallet.hpp"

#include <array>

namespace vft::apps {

const AppHandler &wallet_handler() {
  static constexpr std::array<ToolEntry, 7> kTools{{
      {"search_documents", wallet::search_documents},
      {"get_document", wallet::get_document},
      {"import_document", wallet::import_document},
      {"update_document", wallet::update_document},
      {"export_document", wallet::export_document},
      {"archive_document", wallet::archive_document},
      {"restore_document", wallet::restore_document},
  }};
  static constexpr AppHandler kHandler{"Unknown Wallet operation", kTools};
  return kHandler;
}

} // namespace vft::apps
