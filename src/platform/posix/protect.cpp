// Data protection for the current user on Linux: a 32-byte random key kept in the user's
// configuration folder (outside every data folder), one key per entropy derived with
// HKDF-SHA256, and AES-256-GCM with a random nonce. Layout of a protected blob:
// version byte 1, 12-byte nonce, ciphertext, 16-byte tag.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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

// No home, no randomness, a damaged key, a failed cipher...: nothing the user can act on
// beyond what the caller's own message says.
Failure no_reason() { return fail(std::string()); }

using Key = std::array<unsigned char, kKeySize>;

// Whoever can read the key reads every protected store; whoever can replace it (or the
// folder's entries) gets the next store sealed with a key of theirs. Like careful tools do
// with private keys, such a key is refused, with the fix.
Result<void> check_private(const struct stat &st, const std::string &path, bool folder) {
  const char *const mode = folder ? "0700" : "0600";
  if (st.st_uid != ::geteuid()) {
    return fail(path + " is owned by another user; use one of your own, private to you (mode " +
                mode + ")");
  }
  const mode_t others = folder ? (S_IWGRP | S_IWOTH) : (S_IRWXG | S_IRWXO);
  if ((st.st_mode & others) != 0) {
    return fail(path + (folder ? " is writable by other users" : " is open to other users") +
                "; make it private (mode " + mode + ")");
  }
  return {};
}

Result<void> check_key_folder(const std::string &folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return no_reason();
  return check_private(st, folder, true);
}

Result<Key> read_key(const std::string &path) {
  posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return no_reason();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return no_reason();
  VFT_TRY_VOID(check_private(st, path, false));
  Key key{};
  std::size_t got = 0;
  // One byte more than a key, to tell a longer (damaged) file from a key.
  unsigned char extra = 0;
  for (;;) {
    unsigned char *into = got < kKeySize ? key.data() + got : &extra;
    const std::size_t room = got < kKeySize ? kKeySize - got : 1;
    const ssize_t n = ::read(fd.get(), into, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return no_reason();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got > kKeySize) break;
  }
  if (got != kKeySize) return no_reason();
  return key;
}

// Puts a new random key at path without ever leaving a second name of it or a partial
// file: written to a temporary name, flushed, then moved to path only if nothing is there.
// A key another process put there first wins.
Result<void> create_key(const std::string &folder, const std::string &path) {
  Key key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return no_reason();
  const std::string temp = join_path(folder, ".key-" + std::to_string(now_nanos()) + "-" +
                                                 std::to_string(process_id()) + ".tmp");
  auto written = NewFile::write(
      temp, std::string_view(reinterpret_cast<char *>(key.data()), key.size()), false);
  if (!written) return no_reason();
  const bool renamed =
      ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
  int code = renamed ? 0 : errno;
  bool moved = renamed;
  if (!renamed && (code == EINVAL || code == ENOSYS)) {
    // A file system without the no-replace rename: a link, then the temporary name goes.
    moved = ::link(temp.c_str(), path.c_str()) == 0;
    code = moved ? 0 : errno;
  }
  // After a link the temporary name goes (its NewFile removes it); after a rename it is gone.
  if (renamed) written->keep();
  if (!moved) return code == EEXIST ? Result<void>() : no_reason();
  // The key's name must survive a power loss, or every store sealed with it is lost.
  if (auto flushed = posix::flush_folder(folder); !flushed) return no_reason();
  return {};
}

// The user's key; created (once, race-free) when create is true.
Result<Key> user_key(bool create) {
  const auto folder = key_folder();
  if (!folder) return no_reason();
  const std::string path = join_path(*folder, "user.key");
  auto exists = file_existence(path);
  if (!exists) return no_reason();
  if (exists.value() == Existence::missing) {
    if (!create) return no_reason();
    if (auto made = create_directories(*folder); !made) return no_reason();
    VFT_TRY_VOID(check_key_folder(*folder));
    VFT_TRY_VOID(create_key(*folder, path));
  } else
    VFT_TRY_VOID(check_key_folder(*folder));
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
    return no_reason();
  }
  return out;
}

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// A digest of the key rather than the key itself, for callers to keep and compare.
std::string state_of(const Key &key) {
  return sha256(std::string_view(reinterpret_cast<const char *>(key.data()), key.size()));
}

} // namespace

Result<std::string> protection_state() {
  VFT_TRY(auto key, user_key(false));
  return state_of(key);
}

Result<std::string> protect_for_user(std::string_view bytes, std::string_view entropy,
                                     std::string *key_state) {
  VFT_TRY(auto key, user_key(true));
  if (key_state) *key_state = state_of(key);
  VFT_TRY(auto derived, derive_key(key, entropy));

  std::string out(1 + kNonceSize + bytes.size() + kTagSize, '\0');
  auto *o = reinterpret_cast<unsigned char *>(out.data());
  o[0] = kFormatVersion;
  if (RAND_bytes(o + 1, kNonceSize) != 1) return no_reason();
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int n = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, derived.data(), o + 1) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &n, o, 1) != 1) {
    return no_reason();
  }
  unsigned char *cipher = o + 1 + kNonceSize;
  std::size_t done = 0;
  // EVP lengths are int: feed large inputs in slices.
  while (done < bytes.size()) {
    const int slice = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 30));
    if (EVP_EncryptUpdate(ctx.get(), cipher + done, &n,
                          reinterpret_cast<const unsigned char *>(bytes.data()) + done,
                          slice) != 1) {
      return no_reason();
    }
    done += static_cast<std::size_t>(n);
  }
  if (EVP_EncryptFinal_ex(ctx.get(), cipher + done, &n) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, cipher + bytes.size()) != 1) {
    return no_reason();
  }
  return out;
}

Result<std::string> unprotect_for_user(std::string_view bytes, std::string_view entropy,
                                       std::string *key_state) {
  if (bytes.size() < 1 + kNonceSize + kTagSize ||
      static_cast<unsigned char>(bytes[0]) != kFormatVersion) {
    return no_reason();
  }
  VFT_TRY(auto key, user_key(false));
  if (key_state) *key_state = state_of(key);
  VFT_TRY(auto derived, derive_key(key, entropy));

  const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
  const std::size_t cipher_size = bytes.size() - 1 - kNonceSize - kTagSize;
  std::string out(cipher_size, '\0');
  auto *o = reinterpret_cast<unsigned char *>(out.data());
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  int n = 0;
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, derived.data(), in + 1) != 1 ||
      EVP_DecryptUpdate(ctx.get(), nullptr, &n, in, 1) != 1) {
    return no_reason();
  }
  std::size_t done = 0;
  while (done < cipher_size) {
    const int slice = static_cast<int>(std::min<std::size_t>(cipher_size - done, 1 << 30));
    if (EVP_DecryptUpdate(ctx.get(), o + done, &n, in + 1 + kNonceSize + done, slice) != 1) {
      return no_reason();
    }
    done += static_cast<std::size_t>(n);
  }
  unsigned char tag[kTagSize];
  std::copy(in + 1 + kNonceSize + cipher_size, in + bytes.size(), tag);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), o + done, &n) != 1) {
    return no_reason();
  }
  return out;
}

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free};
};

namespace {

// A fingerprint we could not compute must never be reported as one; OpenSSL's SHA-256 fails
// only when it cannot get memory.
[[noreturn]] void sha256_unavailable() {
  write_stderr("SHA-256 (OpenSSL) is unavailable\n");
  std::abort();
}

} // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
    sha256_unavailable();
  }
}

Sha256::~Sha256() = default;

void Sha256::add(std::string_view bytes) {
  if (EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()) != 1) {
    sha256_unavailable();
  }
}

std::string Sha256::finish() {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(state_->context.get(), digest, &size) != 1 || size != sizeof digest) {
    sha256_unavailable();
  }
  return std::string(reinterpret_cast<char *>(digest), sizeof digest);
}

} // namespace vft::platform
