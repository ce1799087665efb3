// Turnpike.dll: the ISAPI filter entry points.
//
// DllMain builds the Windows platform objects and the filter at process
// attach and runs the start steps; a refused start makes LoadLibrary fail.
// The stop steps run at process detach, which also comes right after a
// refused attach (the loader, or the mingw-w64 start-up code before it,
// calls DllMain again with DLL_PROCESS_DETACH), so a failed start reports its
// cause and then the stopped event. Thread attach and detach do nothing: the
// filter keeps nothing per thread.
//
// IIS calls GetFilterVersion once and HttpFilterProc on its worker threads,
// only between a successful attach and the detach; the process record below
// is written only inside DllMain, which the loader serialises, and only read
// in between. No exception leaves an exported function.
// Winsock 2 before windows.h, which would otherwise bring in Winsock 1.
#include <winsock2.h>
#include <windows.h>
#include <httpfilt.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "filter/filter.h"
#include "platform/windows/isapi_filter_host.h"
#include "platform/windows/msxml_validation.h"
#include "platform/windows/windows_clock.h"
#include "platform/windows/windows_event_log.h"
#include "platform/windows/windows_random.h"
#include "platform/windows/windows_registry.h"
#include "platform/windows/winsock_stream_socket.h"

namespace {

using turnpike::FilterStatus;

// Without MaxValidations: two per logical processor. IIS starts its native
// thread pool with MaxPoolThreads (4 by default) threads per processor and
// adds threads only slowly while they are blocked, so this leaves at least
// half of the threads it starts with free for requests that do not wait on
// the CAS server.
std::uint32_t DefaultMaxValidations() noexcept {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return 2 * std::max<DWORD>(system.dwNumberOfProcessors, 1);
}

// Everything the filter borrows for the life of the process, built in the
// order the filter needs it and destroyed in reverse.
struct FilterProcess {
  turnpike::WindowsRegistry registry;
  turnpike::WindowsEventLog event_log;
  turnpike::WindowsClock clock;
  turnpike::WindowsRandom random;
  turnpike::MsxmlValidationPlatform validation;
  turnpike::WinsockStreamConnector network;
  turnpike::TurnpikeFilter filter{turnpike::PlatformServices{
      .registry = &registry,
      .event_log = &event_log,
      .clock = &clock,
      .validation = &validation,
      .credentials = nullptr,
      .validation_slots = nullptr,
      .default_max_validations = DefaultMaxValidations(),
      .network = &network,
      // Not under the loader lock: GetFilterVersion logs in to it.
      .check_shared_cache_at_start = false,
      .random = &random,
  }};
  // Set when GetFilterVersion found the SharedCache refusing its log-in:
  // IIS does not load the filter, and a request that comes all the same is
  // answered with an error.
  bool refused = false;
};

// Engaged from the start of a process attach until its stop steps have run.
std::optional<FilterProcess> g_process;

BOOL Start() noexcept {
  try {
    g_process.emplace();
    return g_process->filter.Start() ? TRUE : FALSE;
  } catch (...) {
    // Out of memory while building the filter: refuse the load. Whatever was
    // built still gets its stop steps at the detach that follows.
    return FALSE;
  }
}

void Stop() noexcept {
  // A second detach (or one after an attach that built nothing) finds the
  // record empty, so the stop steps and the stopped event happen once.
  if (!g_process) return;
  try {
    g_process->filter.Stop();
  } catch (...) {
    // Nothing can be reported any more; the process record still goes.
  }
  g_process.reset();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: return Start();
    case DLL_PROCESS_DETACH: Stop(); return TRUE;
    default: return TRUE;
  }
}

// IIS calls it once, after the load and outside the loader lock: where a
// SharedCache is logged in to for the first time. FALSE keeps the filter
// from loading, the error event saying why.
extern "C" BOOL WINAPI GetFilterVersion(PHTTP_FILTER_VERSION version) {
  if (version == nullptr) return FALSE;
  if (g_process) {
    try {
      g_process->refused = !g_process->filter.CheckSharedCache();
    } catch (...) {
      g_process->refused = true;
    }
    if (g_process->refused) return FALSE;
  }
  turnpike::HttpFilterVersion ours{};
  if (!turnpike::GetFilterVersion(&ours)) return FALSE;
  turnpike::CopyFilterVersion(ours, *version);
  return TRUE;
}

extern "C" DWORD WINAPI HttpFilterProc(PHTTP_FILTER_CONTEXT context, DWORD notification_type,
                                      LPVOID notification) {
  if (notification_type != SF_NOTIFY_PREPROC_HEADERS) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (!g_process || g_process->refused || context == nullptr || notification == nullptr) {
    return SF_STATUS_REQ_ERROR;
  }
  try {
    turnpike::IsapiFilterHost host(*context,
                                   *static_cast<PHTTP_FILTER_PREPROC_HEADERS>(notification));
    return turnpike::ToIsapiStatus(g_process->filter.HttpFilterProc(host, notification_type));
  } catch (...) {
    return SF_STATUS_REQ_ERROR;
  }
}
