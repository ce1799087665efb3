// The version resource of Turnpike.dll, read through version.dll as Explorer
// and PowerShell's (Get-Item Turnpike.dll).VersionInfo read it: the numbers
// and the texts both carry the project version.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/version.h"

namespace turnpike {
namespace {

TEST(VersionResource, CarriesTheProjectVersion) {
  const wchar_t* dll = L"" TURNPIKE_DLL;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll, &ignored);
  ASSERT_NE(size, 0u) << "no version resource: " << GetLastError();
  std::vector<BYTE> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(dll, 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof *fixed);
  const DWORD major_minor = (TURNPIKE_VERSION_MAJOR << 16) | TURNPIKE_VERSION_MINOR;
  EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(fixed->dwFileVersionMS, major_minor);
  EXPECT_EQ(fixed->dwProductVersionMS, major_minor);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const std::wstring version(L"" TURNPIKE_VERSION);
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
    wchar_t* text = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    ASSERT_TRUE(VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        << "no " << std::string(query.begin(), query.end());
    EXPECT_EQ(std::wstring(text), version);
  }
}

}  // namespace
}  // namespace turnpike
