#include "platform/windows/ansi_text.h"

#include <climits>
#include <utility>

namespace turnpike {

std::optional<Bstr> AnsiToBstr(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int length = static_cast<int>(text.size());
  // MultiByteToWideChar refuses an empty input; an empty BSTR is still a
  // string (COM methods may not accept null for every argument).
  if (length == 0) {
    Bstr empty = Bstr::Adopt(SysAllocStringLen(L"", 0));
    if (empty.get() == nullptr) return std::nullopt;
    return empty;
  }
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (wide_length <= 0) return std::nullopt;
  Bstr wide = Bstr::Adopt(SysAllocStringLen(nullptr, static_cast<UINT>(wide_length)));
  if (wide.get() == nullptr) return std::nullopt;
  if (MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.get(), wide_length) != wide_length) {
    return std::nullopt;
  }
  return wide;
}

std::optional<NarrowText> BstrToAnsi(BSTR text) {
  return WideToCodePage(GetACP(), std::wstring_view(text, SysStringLen(text)));
}

std::optional<NarrowText> WideToCodePage(UINT code_page, std::wstring_view text) {
  if (text.empty()) return NarrowText{};
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  const int length = static_cast<int>(text.size());
  // WC_NO_BEST_FIT_CHARS: a character converts only when converting it back
  // gives the same character; used_default then tells whether any did not.
  // UTF-8 refuses both and only fails an unpaired surrogate when asked to.
  const bool utf8 = code_page == CP_UTF8;
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* const used_default_out = utf8 ? nullptr : &used_default;
  bool exact = true;
  int narrow_length = WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0,
                                          nullptr, used_default_out);
  if (narrow_length <= 0 && utf8 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
    flags = 0;
    exact = false;
    narrow_length = WideCharToMultiByte(code_page, flags, text.data(), length, nullptr, 0, nullptr,
                                        nullptr);
  }
  if (narrow_length <= 0) return std::nullopt;
  std::string narrow(static_cast<std::size_t>(narrow_length), '\0');
  if (WideCharToMultiByte(code_page, flags, text.data(), length, narrow.data(), narrow_length,
                          nullptr, used_default_out) != narrow_length) {
    return std::nullopt;
  }
  return NarrowText{std::move(narrow), exact && used_default == FALSE};
}

}  // namespace turnpike
