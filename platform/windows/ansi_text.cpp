#include "platform/windows/ansi_text.h"

#include <climits>

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

std::optional<std::string> BstrToAnsi(BSTR text) {
  const UINT wide_length = SysStringLen(text);
  if (wide_length == 0) return std::string();
  if (wide_length > static_cast<UINT>(INT_MAX)) return std::nullopt;
  const int length = static_cast<int>(wide_length);
  const int ansi_length = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (ansi_length <= 0) return std::nullopt;
  std::string ansi(static_cast<std::size_t>(ansi_length), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text, length, ansi.data(), ansi_length, nullptr, nullptr) !=
      ansi_length) {
    return std::nullopt;
  }
  return ansi;
}

}  // namespace turnpike
