// Case mapping and IDNA on Windows: the system's ICU (icu.dll, Windows 10 version 1903 and
// later) where it is present, else the Win32 NLS functions, which Windows has always had
// (and which Wine provides). icu.dll exports the ICU C functions without version suffixes.
#include "text/unicode.hpp"
#include "platform/windows/win.hpp"

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

// The system ICU's functions, looked up afresh for each use; the module reference is
// released when the struct goes. The first load pins icu.dll in the process like any system
// library, so later loads are only a reference count.
struct Icu {
  HMODULE module = nullptr;
  CaseMapOpenFn casemap_open = nullptr;
  CaseMapCloseFn casemap_close = nullptr;
  CaseMapFn to_lower = nullptr;
  CaseMapFn to_upper = nullptr;
  IdnaOpenFn idna_open = nullptr;
  IdnaCloseFn idna_close = nullptr;
  IdnaToAsciiFn name_to_ascii = nullptr;

  Icu() = default;
  Icu(const Icu &) = delete;
  Icu &operator=(const Icu &) = delete;
  ~Icu() {
    if (module != nullptr) ::FreeLibrary(module);
  }

  bool has_case_mapping() const { return casemap_open && casemap_close && to_lower && to_upper; }
  bool has_idna() const { return idna_open && idna_close && name_to_ascii; }
};

void load_system_icu(Icu &icu) {
  // Only the copy in System32: never a DLL planted beside the program or in the path.
  icu.module = ::LoadLibraryExW(L"icu.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (icu.module == nullptr) return;
  HMODULE pinned = nullptr;
  (void)::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(icu.module), &pinned);
  icu.casemap_open = lookup<CaseMapOpenFn>(icu.module, "ucasemap_open");
  icu.casemap_close = lookup<CaseMapCloseFn>(icu.module, "ucasemap_close");
  icu.to_lower = lookup<CaseMapFn>(icu.module, "ucasemap_utf8ToLower");
  icu.to_upper = lookup<CaseMapFn>(icu.module, "ucasemap_utf8ToUpper");
  icu.idna_open = lookup<IdnaOpenFn>(icu.module, "uidna_openUTS46");
  icu.idna_close = lookup<IdnaCloseFn>(icu.module, "uidna_close");
  icu.name_to_ascii = lookup<IdnaToAsciiFn>(icu.module, "uidna_nameToASCII_UTF8");
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

// The NLS case tables leave out every mapping that does not survive the round trip (the
// Kelvin sign lower-cases to k, but k upper-cases to K): these are the Unicode mappings they
// lack. Expansions in upper case (ß to SS and the like) stay out, as does the final sigma.
struct CaseException {
  char32_t from;
  const wchar_t *to;
};

constexpr CaseException kLowerExceptions[] = {
    {0x0130, L"\u0069\u0307"}, // Latin capital letter I with dot above
    {0x01C5, L"\u01C6"},       // Latin capital letter D with small letter Z with caron
    {0x01C8, L"\u01C9"},       // Latin capital letter L with small letter J
    {0x01CB, L"\u01CC"},       // Latin capital letter N with small letter J
    {0x01F2, L"\u01F3"},       // Latin capital letter D with small letter Z
    {0x03F4, L"\u03B8"},       // Greek capital theta symbol
    {0x1E9E, L"\u00DF"},       // Latin capital letter sharp S
    {0x2126, L"\u03C9"},       // Ohm sign
    {0x212A, L"\u006B"},       // Kelvin sign
    {0x212B, L"\u00E5"},       // Angstrom sign
};

constexpr CaseException kUpperExceptions[] = {
    {0x00B5, L"\u039C"}, // Micro sign
    {0x0131, L"\u0049"}, // Latin small letter dotless I
    {0x017F, L"\u0053"}, // Latin small letter long S
    {0x01C5, L"\u01C4"}, // Latin capital letter D with small letter Z with caron
    {0x01C8, L"\u01C7"}, // Latin capital letter L with small letter J
    {0x01CB, L"\u01CA"}, // Latin capital letter N with small letter J
    {0x01F2, L"\u01F1"}, // Latin capital letter D with small letter Z
    {0x0345, L"\u0399"}, // Combining Greek ypogegrammeni
    {0x03C2, L"\u03A3"}, // Greek small letter final sigma
    {0x03D0, L"\u0392"}, // Greek beta symbol
    {0x03D1, L"\u0398"}, // Greek theta symbol
    {0x03D5, L"\u03A6"}, // Greek phi symbol
    {0x03D6, L"\u03A0"}, // Greek pi symbol
    {0x03F0, L"\u039A"}, // Greek kappa symbol
    {0x03F1, L"\u03A1"}, // Greek rho symbol
    {0x03F5, L"\u0395"}, // Greek lunate epsilon symbol
    {0x1C80, L"\u0412"}, // Cyrillic small letter rounded ve
    {0x1C81, L"\u0414"}, // Cyrillic small letter long-legged de
    {0x1C82, L"\u041E"}, // Cyrillic small letter narrow o
    {0x1C83, L"\u0421"}, // Cyrillic small letter wide es
    {0x1C84, L"\u0422"}, // Cyrillic small letter tall te
    {0x1C85, L"\u0422"}, // Cyrillic small letter three-legged te
    {0x1C86, L"\u042A"}, // Cyrillic small letter tall hard sign
    {0x1C87, L"\u0462"}, // Cyrillic small letter tall yat
    {0x1C88, L"\uA64A"}, // Cyrillic small letter unblended uk
    {0x1E9B, L"\u1E60"}, // Latin small letter long S with dot above
    {0x1FBE, L"\u0399"}, // Greek prosgegrammeni
};

template <std::size_t N>
const wchar_t *case_exception(const CaseException (&table)[N], wchar_t unit) {
  for (const CaseException &entry : table) {
    if (entry.from == static_cast<char32_t>(unit)) return entry.to;
  }
  return nullptr;
}

// LCMapStringEx with the invariant locale (simple, one-to-one case mapping) on a run of text.
bool nls_map_run(std::wstring_view run, DWORD flags, std::wstring &out) {
  if (run.empty()) return true;
  if (run.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const int length = static_cast<int>(run.size());
  const int needed = ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, run.data(), length, nullptr, 0,
                                     nullptr, nullptr, 0);
  if (needed <= 0) return false;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed));
  const int written = ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, run.data(), length,
                                      out.data() + start, needed, nullptr, nullptr, 0);
  if (written <= 0) return false;
  out.resize(start + static_cast<std::size_t>(written));
  return true;
}

std::optional<std::string> nls_map_case(std::string_view utf8, bool upper) {
  const std::wstring wide = win::widen(utf8);
  const DWORD flags = upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE;
  std::wstring out;
  out.reserve(wide.size());
  std::size_t run_start = 0;
  // Every exception lies in the Basic Multilingual Plane, so one UTF-16 unit identifies it.
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const wchar_t *exception = upper ? case_exception(kUpperExceptions, wide[i])
                                     : case_exception(kLowerExceptions, wide[i]);
    if (exception == nullptr) continue;
    if (!nls_map_run(std::wstring_view(wide).substr(run_start, i - run_start), flags, out)) {
      return std::nullopt;
    }
    out += exception;
    run_start = i + 1;
  }
  if (!nls_map_run(std::wstring_view(wide).substr(run_start), flags, out)) return std::nullopt;
  return win::narrow(out);
}

std::string map_case(std::string_view utf8, bool upper) {
  // ASCII letters map to ASCII letters alone, whatever the library: no need to load one.
  if (auto ascii = map_ascii_case(utf8, upper)) return std::move(*ascii);
  std::string out(utf8);
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return out;
  Icu icu;
  load_system_icu(icu);
  if (icu.has_case_mapping()) {
    if (auto mapped = icu_map_case(icu, utf8, upper)) return std::move(*mapped);
  }
  if (auto mapped = nls_map_case(utf8, upper)) return std::move(*mapped);
  return out;
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
      VFT_TRY(auto ascii, nls_label_to_ascii(label, be_strict));
      out += ascii;
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
  Icu icu;
  load_system_icu(icu);
  if (icu.has_idna()) return icu_domain_to_ascii(icu, domain, be_strict);
  return nls_domain_to_ascii(domain, be_strict);
}

} // namespace vft::text
