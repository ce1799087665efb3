// The message table inside Turnpike.dll, read as the event viewer reads it:
// resource type 11, identifier 1, English (United States); two blocks (1-2,
// 4-6), 8-bit texts, and rendered with FormatMessage exactly as the Linux
// build renders the same events from eventlog/messages.mc.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <type_traits>
#include <string>
#include <utility>

#include "eventlog/event_reporter.h"

namespace turnpike {
namespace {

// The DLL mapped as data: its DllMain does not run.
using DataModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)>;
DataModule LoadAsData(const char* path) {
  return DataModule(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE), &FreeLibrary);
}

constexpr WORD kEnglishUnitedStates = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr DWORD kIdentifiers[] = {1, 2, 4, 5, 6};

TEST(MessageTable, HoldsTheFiveTextsAsAnsiInTwoBlocks) {
  const DataModule dll = LoadAsData(TURNPIKE_DLL);
  ASSERT_NE(dll.get(), nullptr) << GetLastError();
  const HRSRC found =
      FindResourceExA(dll.get(), RT_MESSAGETABLE, MAKEINTRESOURCEA(1), kEnglishUnitedStates);
  ASSERT_NE(found, nullptr);
  const auto* table = static_cast<const MESSAGE_RESOURCE_DATA*>(
      LockResource(LoadResource(dll.get(), found)));
  ASSERT_NE(table, nullptr);

  ASSERT_EQ(table->NumberOfBlocks, 2u);
  EXPECT_EQ(std::make_pair(table->Blocks[0].LowId, table->Blocks[0].HighId), std::make_pair(1ul, 2ul));
  EXPECT_EQ(std::make_pair(table->Blocks[1].LowId, table->Blocks[1].HighId), std::make_pair(4ul, 6ul));

  const auto* base = reinterpret_cast<const BYTE*>(table);
  for (DWORD block = 0; block < table->NumberOfBlocks; ++block) {
    const BYTE* entry = base + table->Blocks[block].OffsetToEntries;
    for (DWORD id = table->Blocks[block].LowId; id <= table->Blocks[block].HighId; ++id) {
      const auto* message = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry);
      EXPECT_EQ(message->Flags, 0) << "identifier " << id << " is not ANSI";
      EXPECT_STREQ(reinterpret_cast<const char*>(message->Text), MessageTableText(id))
          << "identifier " << id;
      entry += message->Length;
    }
  }
}

TEST(MessageTable, FormatMessageRendersWhatTheLinuxBuildRenders) {
  const DataModule dll = LoadAsData(TURNPIKE_DLL);
  ASSERT_NE(dll.get(), nullptr);
  const char* message = "A Turnpike registry configuration value is missing or null, please "
                        "set a valid value for";
  const char* detail = "LoginPath";
  const DWORD_PTR inserts[2] = {reinterpret_cast<DWORD_PTR>(message),
                                reinterpret_cast<DWORD_PTR>(detail)};
  for (const DWORD id : kIdentifiers) {
    char text[1024];
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, dll.get(), id,
        kEnglishUnitedStates, text, sizeof text,
        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
    ASSERT_NE(length, 0u) << "identifier " << id;
    EXPECT_EQ(std::string(text, length), RenderEvent(id, message, detail)) << "identifier " << id;
  }
  char text[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, dll.get(),
                           3, kEnglishUnitedStates, text, sizeof text, nullptr),
            0u);
}

}  // namespace
}  // namespace turnpike
