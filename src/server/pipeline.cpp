#include "server/pipeline.hpp"

#include "apps/app.hpp"
#include "apps/common/records.hpp"
#include "server/catalog.hpp"
#include "store/document.hpp"
#include "text/unicode.hpp"

namespace vft::server {

namespace {

bool type_matches(const std::string &type, const Json &value) {
  if (type == "string") return value.is_string();
  if (type == "number") return value.is_number();
  if (type == "integer") return value.is_number_unsigned();
  if (type == "boolean") return value.is_boolean();
  if (type == "array") return value.is_array();
  if (type == "object") return value.is_object();
  return true;
}

Result<void> check_argument(const std::string &name, const Json &schema, const Json &value) {
  if (!schema.is_object()) return {};
  if (auto type = schema.find("type"); type != schema.end() && type->is_string()) {
    if (!type_matches(type->get_ref<const std::string &>(), value)) {
      return fail(kInvalidType + name);
    }
  }
  if (auto allowed = schema.find("enum"); allowed != schema.end() && allowed->is_array()) {
    bool found = false;
    for (const Json &candidate : *allowed)
      found = found || candidate == value;
    if (!found) return fail(kInvalidValue + name);
  }
  if (auto max = schema.find("maxLength");
      max != schema.end() && max->is_number_unsigned() && value.is_string()) {
    if (text::scalar_count(value.get_ref<const std::string &>()) > max->get<std::uint64_t>()) {
      return fail(name + apps::kTooLong);
    }
  }
  return {};
}

} // namespace

Result<Json> catalog_tools(const std::string &app) {
  auto catalog = parse_json(catalog_text());
  if (!catalog || !catalog->is_object()) return fail(kBrokenCatalog);
  auto tools = catalog->find(app);
  if (tools == catalog->end() || !tools->is_array()) return fail(kUnknownApp);
  return std::move(*tools);
}

Result<Json> app_only_tools(const std::string &app) {
  auto tools = parse_json(app_tools_text());
  if (!tools || !tools->is_object()) return fail(kBrokenCatalog);
  auto found = tools->find(app);
  if (found == tools->end()) return Json::array();
  if (!found->is_array()) return fail(kBrokenCatalog);
  return std::move(*found);
}

Result<void> validate_arguments(const Json &input_schema, const Json &args) {
  if (!args.is_object()) return fail(kArgumentsNotObject);
  if (!input_schema.is_object()) return fail(kInvalidSchema);
  const auto properties = input_schema.find("properties");
  if (properties == input_schema.end() || !properties->is_object()) return fail(kInvalidSchema);
  for (const auto &[name, value] : args.items()) {
    if (!properties->contains(name)) return fail(kUnknownArgument + name);
  }
  if (auto required = input_schema.find("required");
      required != input_schema.end() && required->is_array()) {
    for (const Json &name : *required) {
      if (name.is_string() && !args.contains(name.get_ref<const std::string &>())) {
        return fail(kMissingArgument + name.get<std::string>());
      }
    }
  }
  for (const auto &[name, value] : args.items()) {
    if (auto checked = check_argument(name, properties->at(name), value); !checked) {
      return checked;
    }
  }
  return {};
}

Result<Json> call_tool(const CallContext &call, const std::string &tool, const Json &args,
                       ProcessState &state) {
  const std::string app(call.app);
  if (!state.tools) {
    VFT_TRY(auto tools, catalog_tools(app));
    VFT_TRY(auto app_only, app_only_tools(app));
    for (Json &entry : app_only)
      tools.push_back(std::move(entry));
    state.tools = std::move(tools);
  }
  const Json *entry = nullptr;
  for (const Json &candidate : *state.tools) {
    const auto name = candidate.find("name");
    if (candidate.is_object() && name != candidate.end() && name->is_string() &&
        name->get_ref<const std::string &>() == tool) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) return fail(kUnknownTool);
  const auto schema = entry->find("inputSchema");
  VFT_TRY_VOID(validate_arguments(schema == entry->end() ? Json() : *schema, args));

  VFT_TRY(auto folder, store::data_folder(app));
  VFT_TRY_VOID(platform::create_directories(folder));
  VFT_TRY(auto lock, store::take_lock(folder, call.cancel));
  const apps::AppHandler *handler = apps::handler_for(app);
  const auto use = handler != nullptr && !state.keeps_store ? apps::record_use(*handler, tool)
                                                            : store::RecordUse::any;
  VFT_TRY(auto store,
          store::load_store(app, folder, state.keeps_store ? &state.kept : nullptr, use));
  Result<Json> outcome = fail(kUnknownApp);
  if (handler != nullptr) {
    const apps::Progress *progress = call.progress ? &call.progress : nullptr;
    apps::ToolCall tool_call{tool, args, store, state.stamper, progress, call.cancel, &lock};
    outcome = apps::dispatch(*handler, tool_call);
  }
  store::keep_store(state.kept, std::move(store), outcome.has_value());
  return outcome;
  // The lock is released here, on every path, when it goes out of scope (unless the tool
  // released it earlier: see ToolCall::release_lock).
}

} // namespace vft::server
