// SHA-256 through CNG and the current user's data protection through DPAPI.
#include "platform/windows/win.hpp"

#include <bcrypt.h>
#include <dpapi.h>

#include <algorithm>
#include <cstdlib>

namespace vft::platform {

namespace {

constexpr std::size_t kDigestSize = 32;
// BCryptHashData takes a ULONG length.
constexpr std::size_t kHashSlice = 1 << 30;

// DPAPI wants a non-null pointer even for an empty blob.
DATA_BLOB blob_of(std::string_view bytes) {
  static const char kEmpty = 0;
  DATA_BLOB blob{};
  blob.cbData = static_cast<DWORD>(bytes.size());
  blob.pbData =
      reinterpret_cast<BYTE *>(const_cast<char *>(bytes.empty() ? &kEmpty : bytes.data()));
  return blob;
}

// Copies the system's output and frees its buffer.
std::string take_blob(DATA_BLOB &blob) {
  std::string out;
  if (blob.pbData != nullptr) {
    out.assign(reinterpret_cast<const char *>(blob.pbData), blob.cbData);
    ::LocalFree(blob.pbData);
    blob.pbData = nullptr;
  }
  return out;
}

// DPAPI's failures (another user, other entropy, damaged data) give the user nothing to act
// on: the caller's message says it all.
Failure no_reason() { return fail(std::string()); }

} // namespace

// The provider and the hash object, released on every path.
struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
    if (algorithm != nullptr) ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {

// The built-in SHA-256 provider is part of every Windows 10 system; a fingerprint we could
// not compute must never be reported as one.
[[noreturn]] void sha256_unavailable() {
  write_stderr("SHA-256 (CNG) is unavailable\n");
  std::abort();
}

} // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(
          ::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          ::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    sha256_unavailable();
  }
}

Sha256::~Sha256() = default;

void Sha256::add(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t slice = std::min(bytes.size(), kHashSlice);
    // CNG does not write through the input pointer; its prototype just lacks the const.
    auto *input = reinterpret_cast<PUCHAR>(const_cast<char *>(bytes.data()));
    if (!BCRYPT_SUCCESS(::BCryptHashData(state_->hash, input, static_cast<ULONG>(slice), 0))) {
      sha256_unavailable();
    }
    bytes.remove_prefix(slice);
  }
}

std::string Sha256::finish() {
  unsigned char digest[kDigestSize];
  if (!BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, kDigestSize, 0))) {
    sha256_unavailable();
  }
  return std::string(reinterpret_cast<const char *>(digest), kDigestSize);
}

// Current-user scope, no description, no prompt, never any user interface.
// DPAPI's keys are the system's: there is no state to compare, and callers open the bytes
// again to know.
Result<std::string> protect_for_user(std::string_view bytes, std::string_view entropy,
                                     std::string *key_state) {
  if (key_state) key_state->clear();
  DATA_BLOB input = blob_of(bytes);
  DATA_BLOB extra = blob_of(entropy);
  DATA_BLOB output{};
  if (!::CryptProtectData(&input, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &output)) {
    return no_reason();
  }
  return take_blob(output);
}

Result<std::string> unprotect_for_user(std::string_view bytes, std::string_view entropy,
                                       std::string *key_state) {
  if (key_state) key_state->clear();
  DATA_BLOB input = blob_of(bytes);
  DATA_BLOB extra = blob_of(entropy);
  DATA_BLOB output{};
  if (!::CryptUnprotectData(&input, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &output)) {
    return no_reason();
  }
  return take_blob(output);
}

Result<std::string> protection_state() { return std::string(); }

} // namespace vft::platform
