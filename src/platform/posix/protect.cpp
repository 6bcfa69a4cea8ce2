// Data protection for the current user on Linux: a 32-byte random key kept in the user's
// configuration folder (outside every data folder), one key per entropy derived with
// HKDF-SHA256, and AES-256-GCM with a random nonce. Layout of a protected blob:
// version byte 1, 12-byte nonce, ciphertext, 16-byte tag.
#include "platform/platform.hpp"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <memory>

namespace vft::platform {

namespace {

constexpr unsigned char kFormatVersion = 1;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr char kKeySalt[] = "veymora-user-protection";

std::optional<std::string> key_folder() {
  if (auto config = environment("XDG_CONFIG_HOME"); config && is_absolute_path(*config)) {
    return join_path(*config, "veymora");
  }
  if (auto home = environment("HOME"); home && is_absolute_path(*home)) {
    return join_path(join_path(*home, ".config"), "veymora");
  }
  return std::nullopt;
}

using Key = std::array<unsigned char, kKeySize>;

Result<Key> read_key(const std::string &path) {
  auto data = read_file_up_to(path, kKeySize);
  if (!data) return fail(data.error());
  const std::optional<std::string> &bytes = data.value();
  if (!bytes || bytes->size() != kKeySize) return fail("damaged key");
  Key key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

// The user's key; created (once, race-free through a hard link) when create is true.
Result<Key> user_key(bool create) {
  const auto folder = key_folder();
  if (!folder) return fail("no home");
  const std::string path = join_path(*folder, "user.key");
  auto exists = file_existence(path);
  if (!exists) return fail(exists.error());
  if (exists.value() == Existence::present || !create) return read_key(path);

  if (auto made = create_directories(*folder); !made) return fail(made.error());
  Key key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return fail("no randomness");
  const std::string temp = join_path(*folder, ".key-" + std::to_string(now_nanos()) + "-" +
                                                  std::to_string(process_id()) + ".tmp");
  auto written =
      write_new_file(temp, std::string_view(reinterpret_cast<char *>(key.data()), key.size()));
  if (!written) return fail(written.error());
  (void)hard_link(temp, path); // another process may have won the race: its key counts
  remove_file_quietly(temp);
  return read_key(path);
}

Result<Key> derive_key(const Key &user_key, std::string_view entropy) {
  Key out{};
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr), &EVP_PKEY_CTX_free);
  std::size_t length = out.size();
  // An empty info is legal; OpenSSL wants a non-null pointer all the same.
  const auto *info = reinterpret_cast<const unsigned char *>(entropy.empty() ? "" : entropy.data());
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) <= 0 ||
      EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), reinterpret_cast<const unsigned char *>(kKeySalt),
                                  sizeof kKeySalt - 1) <= 0 ||
      EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), user_key.data(), static_cast<int>(user_key.size())) <=
          0 ||
      EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info, static_cast<int>(entropy.size())) <= 0 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &length) <= 0 || length != out.size()) {
    return fail("key derivation failed");
  }
  return out;
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

} // namespace

Result<std::string> protect_for_user(std::string_view bytes, std::string_view entropy) {
  auto key = user_key(true);
  if (!key) return fail(key.error());
  auto derived = derive_key(key.value(), entropy);
  if (!derived) return fail(derived.error());

  std::string out(1 + kNonceSize + bytes.size() + kTagSize, '\0');
  auto *o = reinterpret_cast<unsigned char *>(out.data());
  o[0] = kFormatVersion;
  if (RAND_bytes(o + 1, kNonceSize) != 1) return fail("no randomness");
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int n = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, derived->data(), o + 1) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &n, o, 1) != 1) {
    return fail("encryption failed");
  }
  unsigned char *cipher = o + 1 + kNonceSize;
  std::size_t done = 0;
  // EVP lengths are int: feed large inputs in slices.
  while (done < bytes.size()) {
    const int slice = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
    if (EVP_EncryptUpdate(ctx.get(), cipher + done, &n,
                          reinterpret_cast<const unsigned char *>(bytes.data()) + done,
                          slice) != 1) {
      return fail("encryption failed");
    }
    done += static_cast<std::size_t>(n);
  }
  if (EVP_EncryptFinal_ex(ctx.get(), cipher + done, &n) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, cipher + bytes.size()) != 1) {
    return fail("encryption failed");
  }
  return out;
}

Result<std::string> unprotect_for_user(std::string_view bytes, std::string_view entropy) {
  if (bytes.size() < 1 + kNonceSize + kTagSize ||
      static_cast<unsigned char>(bytes[0]) != kFormatVersion) {
    return fail("not a protected blob");
  }
  auto key = user_key(false);
  if (!key) return fail(key.error());
  auto derived = derive_key(key.value(), entropy);
  if (!derived) return fail(derived.error());

  const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
  const std::size_t cipher_size = bytes.size() - 1 - kNonceSize - kTagSize;
  std::string out(cipher_size, '\0');
  auto *o = reinterpret_cast<unsigned char *>(out.data());
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int n = 0;
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, derived->data(), in + 1) != 1 ||
      EVP_DecryptUpdate(ctx.get(), nullptr, &n, in, 1) != 1) {
    return fail("decryption failed");
  }
  std::size_t done = 0;
  while (done < cipher_size) {
    const int slice = static_cast<int>(std::min<std::size_t>(cipher_size - done, 1 << 30));
    if (EVP_DecryptUpdate(ctx.get(), o + done, &n, in + 1 + kNonceSize + done, slice) != 1) {
      return fail("decryption failed");
    }
    done += static_cast<std::size_t>(n);
  }
  unsigned char tag[kTagSize];
  std::copy(in + 1 + kNonceSize + cipher_size, in + bytes.size(), tag);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), o + done, &n) != 1) {
    return fail("authentication failed");
  }
  return out;
}

std::string sha256(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<char *>(digest), sizeof digest);
}

} // namespace vft::platform
