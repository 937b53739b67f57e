#pragma once
// The Windows Application event log: the sink that reports Bakwyn's events
// (app/Notices.h) under the source "Bakwyn", and the source's registration,
// which tells the Event Viewer that the texts of its event IDs are in the
// message table of Bakwyn.exe (res/messages.mc). Windows only.
#include <windows.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "app/Notices.h"

namespace bakwyn::app {

// The calls the sink makes, in the shapes of RegisterEventSourceW,
// ReportEventW and DeregisterEventSource, which they are unless a test puts
// recorders in their place.
struct EventLogApi {
  std::function<HANDLE(LPCWSTR server, LPCWSTR source)> registerSource = RegisterEventSourceW;
  std::function<BOOL(HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                     LPCWSTR* strings, LPVOID data)>
      report = ReportEventW;
  std::function<BOOL(HANDLE log)> deregisterSource = DeregisterEventSource;
};

// The most UTF-16 units of one event string. ReportEventW refuses a string
// over 31,839 characters, and the whole event must stay far below the log's
// record size; the history file keeps what is cut. A longer string is cut to
// one unit less, never inside a surrogate pair, and ends with "…".
inline constexpr std::size_t kMaxEventStringLength = 8192;

// Reports each event with the type and as many strings as kEvents gives its
// ID: missing strings are empty, extra ones left out. The source is
// registered at the first report and, when that failed (the event log service
// not running yet), again at the next. Nothing that fails is reported back: a
// log that cannot be written must not hold or fail a backup. Safe to call
// from several threads at once.
class WindowsEventSink final : public EventSink {
 public:
  explicit WindowsEventSink(EventLogApi api = {});
  ~WindowsEventSink() override;
  WindowsEventSink(const WindowsEventSink&) = delete;
  WindowsEventSink& operator=(const WindowsEventSink&) = delete;

  void report(const Event& event) noexcept override;

 private:
  // The registered source, registering it when it is not yet; nullptr when
  // that failed.
  HANDLE source();

  EventLogApi api_;
  std::mutex mutex_;  // guards source_
  HANDLE source_ = nullptr;
};

// Registers the source "Bakwyn" of the Application log (in the 64-bit view of
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Bakwyn) with the
// program file `exePath` (a full path, GetModuleFileNameW's) as the file of
// its messages and the three types it reports. Writes nothing when the key
// already says so, so that it can be called at every save, and by a user who
// may not write there once an administrator has. False, with the system's
// words in `error`, when it could not be written (it needs administrator
// rights).
bool InstallEventSource(const std::wstring& exePath, std::string* error = nullptr);

// Deletes that key (and nothing else), for the service's removal. True when
// the key is gone, including when there was none.
bool RemoveEventSource(std::string* error = nullptr);

}  // namespace bakwyn::app
