#include "store/files.hpp"

#include "platform/texts.hpp"

namespace vft::store {

std::string Stamper::name(std::string_view prefix) {
  std::uint64_t nanos = platform::now_nanos();
  // Two names within one clock tick (or after the clock stepped back) must still differ
  // and keep their order.
  if (nanos <= last_nanos_) nanos = last_nanos_ + 1;
  last_nanos_ = nanos;
  std::string out(prefix);
  out += '-';
  out += std::to_string(nanos);
  out += '-';
  out += std::to_string(platform::process_id());
  return out;
}

std::uint64_t Stamper::now_seconds() { return platform::now_nanos() / 1'000'000'000ULL; }

std::optional<std::string> environment_setting(const std::string &name) {
  auto value = platform::environment(name);
  if (!value || value->empty()) return std::nullopt;
  if (value->starts_with("${") && value->ends_with("}")) return std::nullopt;
  return value;
}

Result<std::string> data_folder(const std::string &app) {
  if (auto home = environment_setting("VEYMORA_DATA_HOME")) {
    if (!platform::is_absolute_path(*home)) return fail(kRelativeDataHome);
    return platform::join_path(*home, app);
  }
  if (auto local = platform::environment("LOCALAPPDATA");
      local && platform::is_absolute_path(*local)) {
    return platform::join_path(platform::join_path(*local, "Veymora"), app);
  }
#ifndef _WIN32
  // The Linux desktop's own place for user data.
  if (auto xdg = platform::environment("XDG_DATA_HOME"); xdg && platform::is_absolute_path(*xdg)) {
    return platform::join_path(platform::join_path(*xdg, "veymora"), app);
  }
  if (auto user_home = platform::environment("HOME");
      user_home && platform::is_absolute_path(*user_home)) {
    return platform::join_path(
        platform::join_path(platform::join_path(*user_home, ".local/share"), "veymora"), app);
  }
#endif
  return fail(kNoDataHome);
}

bool is_protected_app(std::string_view app) {
  return app == "wallet" || app == "clipboard" || app == "bills";
}

std::string_view store_entropy(std::string_view app) {
  if (app == "wallet") return "vft-wallet-store";
  if (app == "clipboard") return "vft-clipboard-store";
  if (app == "bills") return "vft-bills-store";
  return {};
}

std::string_view store_file_name(std::string_view app) {
  return is_protected_app(app) ? "records.dpapi" : "records.json";
}

Result<platform::FileLock> take_lock(const std::string &folder, const CancelToken *cancel) {
  const std::string path = platform::join_path(folder, "records.lock");
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    VFT_TRY(auto lock, platform::try_lock_file(path));
    if (lock) return std::move(*lock);
    if (cancel == nullptr) {
      platform::sleep_ms(kLockWaitMs);
    } else if (cancel->wait_for(std::chrono::milliseconds(kLockWaitMs))) {
      return fail(kCancelled);
    }
  }
  return fail(kLockHeld);
}

namespace {

bool is_decimal(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

std::optional<std::uint64_t> stamped_name_owner(std::string_view name, std::string_view prefix,
                                                std::string_view suffix) {
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix) || name[prefix.size()] != '-') {
    return std::nullopt;
  }
  name = name.substr(prefix.size() + 1, name.size() - prefix.size() - 1 - suffix.size());
  const auto dash = name.find('-');
  if (dash == std::string_view::npos || !is_decimal(name.substr(0, dash))) return std::nullopt;
  const std::string_view id = name.substr(dash + 1);
  if (!is_decimal(id) || id.size() > 19) return std::nullopt;
  std::uint64_t owner = 0;
  for (const char c : id)
    owner = owner * 10 + static_cast<std::uint64_t>(c - '0');
  return owner;
}

bool owner_gone(std::string_view name, std::string_view prefix, std::string_view suffix) {
  const auto owner = stamped_name_owner(name, prefix, suffix);
  if (!owner) return false;
  // One call at a time: an earlier call of this process has ended.
  return *owner == platform::process_id() || !platform::process_running(*owner);
}

void remove_stale_files(const std::string &folder,
                        const std::function<bool(std::string_view name)> &stale) {
  auto names = platform::folder_entries(folder);
  if (!names) return;
  for (const std::string &name : names.value()) {
    if (!stale(name)) continue;
    const std::string path = platform::join_path(folder, name);
    // Whatever is there: a file, or what a program we started left at a name we gave it (a
    // link, a folder).
    platform::remove_leftover_quietly(path);
  }
}

bool is_replacement_temporary(std::string_view name) {
  return stamped_name_owner(name, ".write", ".tmp").has_value();
}

Result<void> atomic_replace(const std::string &destination, std::string_view bytes,
                            Stamper &stamper) {
  const auto folder = platform::parent_path(destination);
  if (!folder) return fail(kNoParent);
  if (auto made = platform::create_directories(*folder); !made) return made;
  // Leftovers of replacements killed before their rename: no replacement still running can
  // own one under the lock. Best effort; it frees the space a full disk may need.
  remove_stale_files(*folder, is_replacement_temporary);
  const auto temporary = [&] {
    std::string name = ".";
    name += stamper.name("write");
    name += ".tmp";
    return platform::join_path(*folder, name);
  };
  // The rename makes its name durable; a failed call leaves no file behind.
  VFT_TRY(auto temp, platform::NewFile::write(temporary(), bytes, false));
  VFT_TRY_VOID(platform::replace_file(temp.path(), destination, temporary()));
  temp.keep(); // under the destination's name now
  return {};
}

namespace {

Failure protection_failed(const std::string &reason) {
  if (reason.empty()) return fail(platform_texts::kProtectionFailed);
  return fail(std::string(platform_texts::kProtectionFailed) + ": " + reason);
}

} // namespace

Result<std::string> protect(std::string_view bytes, std::string_view entropy,
                            std::string *key_state) {
  if (bytes.size() > kMaxProtectedInput) return fail(kPayloadTooLarge);
  auto out = platform::protect_for_user(bytes, entropy, key_state);
  if (!out) return protection_failed(out.error());
  return out;
}

Result<std::string> unprotect(std::string_view bytes, std::string_view entropy,
                              std::string *key_state) {
  if (bytes.size() > kMaxProtectedInput) return fail(kPayloadTooLarge);
  auto out = platform::unprotect_for_user(bytes, entropy, key_state);
  if (!out) return protection_failed(out.error());
  return out;
}

Result<std::string> protection_state() {
  auto state = platform::protection_state();
  if (!state) return protection_failed(state.error());
  return state;
}

} // namespace vft::store
