// The .reg file reader and the settings loaded from it.
//
// Input: the file's bytes.
//
// Checked: a refused file is an empty registry with a reason, and no
// settings load from it; settings that load have every required value and
// 1 to 20 protected paths, each with its lowered form; every value of the
// settings key enumerates with buffers of any size without a write outside
// them.
#include <cstring>
#include <memory>
#include <string>

#include "common/ascii.h"
#include "config/filter_settings.h"
#include "config/settings_loader.h"
#include "eventlog/event_reporter.h"
#include "fuzz_support.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/reg_file_registry.h"

namespace {

// Enumerates the values of `path` with the given buffer sizes, the buffers
// exactly that large.
void EnumerateAll(turnpike::RegistryAccess& registry, const char* path, std::uint32_t name_size,
                  std::uint32_t data_size) {
  turnpike::RegistryKeyHandle key{};
  if (!registry.OpenKey(path, turnpike::RegistryAccessMode::Read, &key)) return;
  const auto name = std::make_unique<char[]>(name_size == 0 ? 1 : name_size);
  const auto data = std::make_unique<unsigned char[]>(data_size == 0 ? 1 : data_size);
  // A value that does not fit fails alone, so every index is tried; an input
  // of libFuzzer's size holds fewer values than this.
  for (std::uint32_t index = 0; index < 256; ++index) {
    std::uint32_t name_capacity = name_size;
    std::uint32_t data_capacity = data_size;
    turnpike::RegistryType type{};
    if (!registry.EnumValue(key, index, name.get(), &name_capacity, &type, data.get(),
                            &data_capacity)) {
      continue;
    }
    FUZZ_CHECK(name_capacity < name_size);
    FUZZ_CHECK(std::strlen(name.get()) == name_capacity);
    FUZZ_CHECK(data_capacity <= data_size);
  }
  registry.CloseKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  turnpike::RegFileRegistry registry = turnpike::RegFileRegistry::FromText(AsText(data, size), "fuzz.reg");

  turnpike::FilterSettings settings;
  turnpike::RecordingEventLog log;
  const turnpike::EventReporter reporter(log, settings.Debug);
  const bool loaded = turnpike::LoadSettings(registry, reporter, settings);

  if (registry.problem()) {
    FUZZ_CHECK(!loaded);
    FUZZ_CHECK(!registry.problem()->empty());
  }
  if (loaded) {
    FUZZ_CHECK(!settings.ServerURL.empty() && !settings.LoginPath.empty() &&
               !settings.ValidationPath.empty() && !settings.AuthHeader.empty());
    const turnpike::ProtectedPathList& paths = settings.ProtectedPaths;
    FUZZ_CHECK(paths.Count >= 1 && paths.Count <= turnpike::kMaxProtectedPaths);
    for (std::size_t i = 0; i < paths.Count; ++i) {
      std::string lowered = paths.Paths[i];
      for (char& c : lowered) c = turnpike::AsciiToLower(c);
      FUZZ_CHECK(paths.LoweredPaths[i] == lowered);
    }
  } else {
    FUZZ_CHECK(!log.events().empty());
    // A refused load leaves nothing behind.
    FUZZ_CHECK(settings.ServerURL.empty() && settings.ProtectedPaths.Count == 0);
  }
  turnpike::FreeSettings(settings);

  const std::uint32_t name_size = size > 0 ? data[0] % 40 : 8;
  const std::uint32_t data_size = size > 1 ? data[1] % 80 : 8;
  EnumerateAll(registry, turnpike::kSettingsKey, name_size, data_size);
  EnumerateAll(registry, turnpike::kPathsKey, name_size, data_size);
  return 0;
}
