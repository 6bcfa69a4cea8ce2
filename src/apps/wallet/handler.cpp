#include "apps/handlers.hpp"
#include "apps/wallet/wallet.hpp"

namespace vft::apps {

namespace wallet {

Result<Json> import_document(ToolCall &call);
Result<Json> search_documents(ToolCall &call);
Result<Json> get_document(ToolCall &call);
Result<Json> update_document(ToolCall &call);
Result<Json> export_document(ToolCall &call);
Result<Json> archive_document(ToolCall &call);
Result<Json> restore_document(ToolCall &call);

} // namespace wallet

const AppHandler &wallet_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"search_documents", wallet::search_documents},
      {"get_document", wallet::get_document},
      {"import_document", wallet::import_document},
      {"update_document", wallet::update_document},
      {"export_document", wallet::export_document},
      {"archive_document", wallet::archive_document},
      {"restore_document", wallet::restore_document},
  };
  static constexpr AppHandler kHandler{"Unknown Wallet operation", kTools};
  return kHandler;
}

} // namespace vft::apps
