// domain_to_ascii on ICU's UTS #46 implementation (Linux).
#include "text/unicode.hpp"

#include <unicode/uidna.h>
#include <unicode/utypes.h>

#include <climits>
#include <cstdint>
#include <string>

namespace vft::text {

namespace {

constexpr const char *kIdnaUnavailable = "IDNA processing is unavailable";
constexpr const char *kIdnaInvalid = "not a valid internationalised domain name";
constexpr const char *kIdnaTooLong = "domain name is too long";

// Owns one UIDNA object for the length of a call.
class Uts46 {
public:
  explicit Uts46(std::uint32_t options) { idna_ = uidna_openUTS46(options, &status_); }
  ~Uts46() {
    if (idna_ != nullptr) uidna_close(idna_);
  }
  Uts46(const Uts46 &) = delete;
  Uts46 &operator=(const Uts46 &) = delete;

  const UIDNA *get() const { return U_SUCCESS(status_) ? idna_ : nullptr; }

private:
  UErrorCode status_ = U_ZERO_ERROR;
  UIDNA *idna_ = nullptr;
};

// Errors UTS #46 reports that the URL Standard's options switch off: CheckHyphens is false,
// and VerifyDnsLength is false unless the caller is strict.
std::uint32_t ignored_errors(bool be_strict) {
  std::uint32_t ignored =
      UIDNA_ERROR_LEADING_HYPHEN | UIDNA_ERROR_TRAILING_HYPHEN | UIDNA_ERROR_HYPHEN_3_4;
  if (!be_strict) {
    ignored |=
        UIDNA_ERROR_EMPTY_LABEL | UIDNA_ERROR_LABEL_TOO_LONG | UIDNA_ERROR_DOMAIN_NAME_TOO_LONG;
  }
  return ignored;
}

} // namespace

// UTS #46 ToASCII of UTF-8 text with the URL Standard's options. ICU checks hyphens and DNS
// lengths unconditionally, so the errors those options would not raise are masked out here.
Result<std::string> domain_to_ascii(std::string_view domain, bool be_strict) {
  if (domain.size() > INT32_MAX / 4) return fail(kIdnaTooLong);
  std::uint32_t options = UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ | UIDNA_NONTRANSITIONAL_TO_ASCII;
  if (be_strict) options |= UIDNA_USE_STD3_RULES;
  const Uts46 idna(options);
  if (idna.get() == nullptr) return fail(kIdnaUnavailable);

  const auto length = static_cast<std::int32_t>(domain.size());
  // Mapping can lengthen text (Punycode, expansions such as U+FDFA); retry with the size ICU
  // asks for when the first guess is short.
  std::string output(domain.size() * 2 + 64, '\0');
  UIDNAInfo info = UIDNA_INFO_INITIALIZER;
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t written =
      uidna_nameToASCII_UTF8(idna.get(), domain.data(), length, output.data(),
                             static_cast<std::int32_t>(output.size()), &info, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    output.assign(static_cast<std::size_t>(written), '\0');
    info = UIDNA_INFO_INITIALIZER;
    status = U_ZERO_ERROR;
    written = uidna_nameToASCII_UTF8(idna.get(), domain.data(), length, output.data(),
                                     static_cast<std::int32_t>(output.size()), &info, &status);
  }
  if (U_FAILURE(status) || written < 0) return fail(kIdnaUnavailable);
  if ((info.errors & ~ignored_errors(be_strict)) != 0) return fail(kIdnaInvalid);
  output.resize(static_cast<std::size_t>(written));
  if (output.empty()) return fail(kIdnaInvalid);
  return output;
}

} // namespace vft::text
