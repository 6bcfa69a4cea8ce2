// Case mapping and IDNA on Windows: the system's ICU (icu.dll, Windows 10 version 1903 and
// later) where it is present, else the Win32 NLS functions, which Windows has always had
// (and which Wine provides). icu.dll exports the ICU C functions without version suffixes.
#include "platform/windows/win.hpp"
#include "text/unicode.hpp"

#include <climits>
#include <cstdint>

namespace vft::text {

namespace {

namespace win = platform::win;

// ---- the system ICU ----------------------------------------------------------------------

// The few ICU C declarations used here, as icu.dll exports them.
using UErrorCode = int;
constexpr UErrorCode kIcuOk = 0;
constexpr UErrorCode kIcuBufferOverflow = 15;
bool icu_failed(UErrorCode code) { return code > kIcuOk; }

struct UCaseMap;
struct UIDNA;
struct UIDNAInfo {
  std::int16_t size;
  std::int8_t isTransitionalDifferent;
  std::int8_t reservedB3;
  std::uint32_t errors;
  std::int32_t reservedI2;
  std::int32_t reservedI3;
};

constexpr std::uint32_t kUseStd3Rules = 0x2;
constexpr std::uint32_t kCheckBidi = 0x4;
constexpr std::uint32_t kCheckContextJ = 0x8;
constexpr std::uint32_t kNontransitionalToAscii = 0x10;
constexpr std::uint32_t kErrorEmptyLabel = 0x1;
constexpr std::uint32_t kErrorLabelTooLong = 0x2;
constexpr std::uint32_t kErrorDomainNameTooLong = 0x4;
constexpr std::uint32_t kErrorLeadingHyphen = 0x8;
constexpr std::uint32_t kErrorTrailingHyphen = 0x10;
constexpr std::uint32_t kErrorHyphen34 = 0x20;

using CaseMapOpenFn = UCaseMap *(__cdecl *)(const char *, std::uint32_t, UErrorCode *);
using CaseMapCloseFn = void(__cdecl *)(UCaseMap *);
using CaseMapFn = std::int32_t(__cdecl *)(const UCaseMap *, char *, std::int32_t, const char *,
                                          std::int32_t, UErrorCode *);
using IdnaOpenFn = UIDNA *(__cdecl *)(std::uint32_t, UErrorCode *);
using IdnaCloseFn = void(__cdecl *)(UIDNA *);
using IdnaToAsciiFn = std::int32_t(__cdecl *)(const UIDNA *, const char *, std::int32_t, char *,
                                              std::int32_t, UIDNAInfo *, UErrorCode *);

template <class Fn> Fn lookup(HMODULE module, const char *name) {
  // GetProcAddress returns a generic function pointer; the real type is the ICU prototype.
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(::GetProcAddress(module, name)));
}

// The system ICU's functions, looked up afresh for each use. Once loaded, icu.dll stays in
// the process like any system library, so later lookups only find it again.
struct Icu {
  CaseMapOpenFn casemap_open = nullptr;
  CaseMapCloseFn casemap_close = nullptr;
  CaseMapFn to_lower = nullptr;
  CaseMapFn to_upper = nullptr;
  IdnaOpenFn idna_open = nullptr;
  IdnaCloseFn idna_close = nullptr;
  IdnaToAsciiFn name_to_ascii = nullptr;

  bool has_case_mapping() const { return casemap_open && casemap_close && to_lower && to_upper; }
  bool has_idna() const { return idna_open && idna_close && name_to_ascii; }
};

Icu system_icu() {
  Icu icu;
  HMODULE module = ::GetModuleHandleW(L"icu.dll");
  if (module == nullptr) {
    // Only the copy in System32: never a DLL planted beside the program or in the path.
    module = ::LoadLibraryExW(L"icu.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (module == nullptr) return icu;
  icu.casemap_open = lookup<CaseMapOpenFn>(module, "ucasemap_open");
  icu.casemap_close = lookup<CaseMapCloseFn>(module, "ucasemap_close");
  icu.to_lower = lookup<CaseMapFn>(module, "ucasemap_utf8ToLower");
  icu.to_upper = lookup<CaseMapFn>(module, "ucasemap_utf8ToUpper");
  icu.idna_open = lookup<IdnaOpenFn>(module, "uidna_openUTS46");
  icu.idna_close = lookup<IdnaCloseFn>(module, "uidna_close");
  icu.name_to_ascii = lookup<IdnaToAsciiFn>(module, "uidna_nameToASCII_UTF8");
  return icu;
}

// Full case mapping with the root locale. None when ICU fails.
std::optional<std::string> icu_map_case(const Icu &icu, std::string_view utf8, bool upper) {
  UErrorCode status = kIcuOk;
  UCaseMap *map = icu.casemap_open("", 0, &status);
  if (map == nullptr || icu_failed(status)) {
    if (map != nullptr) icu.casemap_close(map);
    return std::nullopt;
  }
  const CaseMapFn fn = upper ? icu.to_upper : icu.to_lower;
  const auto length = static_cast<std::int32_t>(utf8.size());
  std::string out(utf8.size() + 16, '\0');
  status = kIcuOk;
  std::int32_t needed =
      fn(map, out.data(), static_cast<std::int32_t>(out.size()), utf8.data(), length, &status);
  if (status == kIcuBufferOverflow && needed > 0) {
    out.assign(static_cast<std::size_t>(needed), '\0');
    status = kIcuOk;
    needed =
        fn(map, out.data(), static_cast<std::int32_t>(out.size()), utf8.data(), length, &status);
  }
  icu.casemap_close(map);
  if (icu_failed(status) || needed < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

// ---- Win32 NLS ---------------------------------------------------------------------------

// LCMapStringEx with the invariant locale: simple (one-to-one) case mapping.
std::optional<std::string> nls_map_case(std::string_view utf8, bool upper) {
  const std::wstring wide = win::widen(utf8);
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const DWORD flags = upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE;
  const int length = static_cast<int>(wide.size());
  const int needed = ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, wide.data(), length, nullptr, 0,
                                     nullptr, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  const int written = ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, wide.data(), length, out.data(),
                                      needed, nullptr, nullptr, 0);
  if (written <= 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(written));
  return win::narrow(out);
}

std::string map_case(std::string_view utf8, bool upper) {
  if (utf8.empty() || utf8.size() > static_cast<std::size_t>(INT32_MAX)) return std::string(utf8);
  if (const Icu icu = system_icu(); icu.has_case_mapping()) {
    if (auto mapped = icu_map_case(icu, utf8, upper)) return std::move(*mapped);
  }
  if (auto mapped = nls_map_case(utf8, upper)) return std::move(*mapped);
  return std::string(utf8);
}

constexpr const char *kIdnaRefused = "the system refused the internationalised domain name";
constexpr const char *kIdnaFailed = "the system could not process the domain name";

// Errors UTS #46 reports that the URL Standard's options switch off: CheckHyphens is false,
// and VerifyDnsLength is false unless the caller is strict.
std::uint32_t ignored_icu_errors(bool be_strict) {
  std::uint32_t ignored = kErrorLeadingHyphen | kErrorTrailingHyphen | kErrorHyphen34;
  if (!be_strict) ignored |= kErrorEmptyLabel | kErrorLabelTooLong | kErrorDomainNameTooLong;
  return ignored;
}

Result<std::string> icu_domain_to_ascii(const Icu &icu, std::string_view domain, bool be_strict) {
  std::uint32_t options = kCheckBidi | kCheckContextJ | kNontransitionalToAscii;
  if (be_strict) options |= kUseStd3Rules;
  UErrorCode status = kIcuOk;
  UIDNA *idna = icu.idna_open(options, &status);
  if (idna == nullptr || icu_failed(status)) {
    if (idna != nullptr) icu.idna_close(idna);
    return fail(kIdnaFailed);
  }
  const auto length = static_cast<std::int32_t>(domain.size());
  std::string output(domain.size() * 2 + 64, '\0');
  UIDNAInfo info{sizeof(UIDNAInfo), 0, 0, 0, 0, 0};
  status = kIcuOk;
  std::int32_t written =
      icu.name_to_ascii(idna, domain.data(), length, output.data(),
                        static_cast<std::int32_t>(output.size()), &info, &status);
  if (status == kIcuBufferOverflow && written > 0) {
    output.assign(static_cast<std::size_t>(written), '\0');
    info = UIDNAInfo{sizeof(UIDNAInfo), 0, 0, 0, 0, 0};
    status = kIcuOk;
    written = icu.name_to_ascii(idna, domain.data(), length, output.data(),
                                static_cast<std::int32_t>(output.size()), &info, &status);
  }
  icu.idna_close(idna);
  if (icu_failed(status) || written < 0) return fail(kIdnaFailed);
  if ((info.errors & ~ignored_icu_errors(be_strict)) != 0) return fail(kIdnaRefused);
  output.resize(static_cast<std::size_t>(written));
  if (output.empty()) return fail(kIdnaRefused);
  return output;
}

bool is_label_separator(wchar_t c) {
  // UTS #46 maps the ideographic and full-width full stops to ".".
  return c == L'.' || c == 0x3002 || c == 0xFF0E || c == 0xFF61;
}

bool is_ascii(std::wstring_view text) {
  for (const wchar_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool starts_with_ace_prefix(std::wstring_view label) {
  return label.size() >= 4 && (label[0] == L'x' || label[0] == L'X') &&
         (label[1] == L'n' || label[1] == L'N') && label[2] == L'-' && label[3] == L'-';
}

// One label through IdnToAscii; ASCII labels are lower-cased as UTS #46 maps them, and
// "xn--" labels must decode. IdnToAscii itself applies IDNA2008's hyphen rules, so a
// non-ASCII label with "--" in places 3 and 4 is refused here where UTS #46 would pass it.
Result<std::wstring> nls_label_to_ascii(std::wstring label, bool be_strict) {
  const DWORD flags = be_strict ? IDN_USE_STD3_ASCII_RULES : 0;
  if (is_ascii(label)) {
    for (wchar_t &c : label) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    }
    if (starts_with_ace_prefix(label)) {
      const int decoded =
          ::IdnToUnicode(0, label.data(), static_cast<int>(label.size()), nullptr, 0);
      if (decoded <= 0) return fail(kIdnaRefused);
    }
    if (!be_strict) return label;
  }
  const int length = static_cast<int>(label.size());
  const int needed = ::IdnToAscii(flags, label.data(), length, nullptr, 0);
  if (needed <= 0) return fail(kIdnaRefused);
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  const int written = ::IdnToAscii(flags, label.data(), length, out.data(), needed);
  if (written <= 0) return fail(kIdnaRefused);
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// IdnToAscii refuses empty labels and long names, which the URL Standard accepts unless it
// is strict; so the domain is taken label by label.
Result<std::string> nls_domain_to_ascii(std::string_view domain, bool be_strict) {
  const std::wstring wide = win::widen(domain);
  std::wstring out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < wide.size() && !is_label_separator(wide[end]))
      ++end;
    const std::wstring label = wide.substr(start, end - start);
    if (label.empty()) {
      if (be_strict && end < wide.size()) return fail(kIdnaRefused);
    } else {
      auto ascii = nls_label_to_ascii(label, be_strict);
      if (!ascii) return fail(ascii.error());
      out += ascii.value();
    }
    if (end >= wide.size()) break;
    out += L'.';
    start = end + 1;
  }
  if (out.empty()) return fail(kIdnaRefused);
  return win::narrow(out);
}

} // namespace

std::string to_lower(std::string_view utf8) { return map_case(utf8, false); }
std::string to_upper(std::string_view utf8) { return map_case(utf8, true); }

Result<std::string> domain_to_ascii(std::string_view domain, bool be_strict) {
  if (domain.size() > INT32_MAX / 4) return fail(kIdnaFailed);
  if (const Icu icu = system_icu(); icu.has_idna())
    return icu_domain_to_ascii(icu, domain, be_strict);
  return nls_domain_to_ascii(domain, be_strict);
}

} // namespace vft::text
