#pragma once
// The backup service: the program's engine, store, schedule and history, run
// by the system from the start of Windows, with nobody logged on. The program
// in the user's session is then only a window onto it. The same exe is both;
// the system starts the service with kServiceArgument.
#include <windows.h>

#include <optional>
#include <string>

#include "app/FormHandlers.h"
#include "app/Notices.h"
#include "app/Ping.h"
#include "base/WinHandles.h"

namespace bakwyn::app {

inline constexpr wchar_t kServiceName[] = L"Bakwyn";
inline constexpr char kServiceDisplayName[] = "Bakwyn 数据库自动备份";
inline constexpr wchar_t kServiceArgument[] = L"/service";
// The program started with administrator rights to install or remove the service.
inline constexpr wchar_t kInstallServiceArgument[] = L"/install-service";
inline constexpr wchar_t kRemoveServiceArgument[] = L"/remove-service";
// The control a save in the user's session sends the service through the
// service manager (a code of the service's own, 128 to 255): read the stored
// settings again. Only the service manager delivers it, and only to whom the
// service's access list lets send it (see kServiceSddl): nobody can make a
// name of it first, or send it in the service's place.
inline constexpr DWORD kReloadControl = 128;
// The control the tray menu's "立即测试恢复" sends a running service, which
// schedules the restore tests while it runs: one now, unless a backup or a
// test runs (then nothing; the result or the refusal is in the history).
inline constexpr DWORD kRestoreTestControl = 129;
// The controls of the restore window of a program that does not schedule
// while the service runs (see RestoreRequest.h): a restore request is stored,
// run it; cancel the restore under way.
inline constexpr DWORD kRestoreDatabaseControl = 130;
inline constexpr DWORD kCancelRestoreControl = 131;

// The service's access list, set at every install, so that it does not hang
// on the defaults of one version of Windows. The system and administrators
// keep what the service manager gives them by default (the system: query,
// start, stop, pause, interrogate, its own controls, read; administrators:
// everything; the system is an administrator too). Interactive users, and
// accounts logged on as services: read its configuration and state,
// interrogate it and send it its own controls (the reload a save in a user's
// session sends, the restore test, and the restore window's two, whose
// request only administrators can store); never start, stop, pause, change
// or delete it.
inline constexpr wchar_t kServiceSddl[] =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)"
    L"(A;;CCLCSWLOCRRC;;;SU)";

// Runs the service until the system stops it; the process's exit code.
int RunAsService();

// Installs the program file `programPath` as the service (automatic start, the
// local system account, restarted when it fails) and starts it; an installed
// service is brought up to date. The system runs the registered file as
// itself, so a file that anyone but the system and administrators could
// replace (see SecureFolder.h) is first copied to "<Program Files>\Bakwyn\",
// and that copy is registered. When the stored server names an instance of
// SQL Server whose service is on this computer, the service depends on it,
// so that Windows starts it after the server. Its access list is kServiceSddl,
// also when it was installed already. 0, or the system's error code;
// ERROR_INVALID_OWNER when the folder for the copy exists but is not the
// administrators' alone (or is a link).
unsigned long InstallService(const std::string& programPath);
// Stops the service and removes it; 0 also when there was none.
unsigned long RemoveService();
// Whether the service is installed and runs. One that is starting or stopping
// counts as running: it may be in the middle of a backup.
ServiceState QueryService();
// Has the running service read the stored settings again: kReloadControl
// through the service manager. False when it is not running, or the control
// did not reach it.
bool SignalServiceReload();
// Asks the running service for a restore test now (kRestoreTestControl).
bool SignalServiceRestoreTest();
// Tells the running service that a restore request is stored, or that the
// restore under way is to end. False when the control did not reach it
// (GetLastError says why).
bool SignalServiceRestore();
bool SignalServiceCancelRestore();
// The program started with administrator rights to store a restore request
// for the service: kRequestRestoreArgument, then the request (Base64 of its
// text). 0, or the system's error code.
inline constexpr wchar_t kRequestRestoreArgument[] = L"/request-restore";
unsigned long StoreRestoreRequestArgument(const std::wstring& encoded);

// The service's side of the system's controls. The system may deliver a control
// after the service reported that it stopped, when everything the service's
// run made is gone: the service keeps one of these for the whole process (its
// events are never closed), and once a run has reported SERVICE_STOPPED every
// control is answered ERROR_SERVICE_NOT_ACTIVE without touching anything else.
class ServiceControls {
 public:
  ServiceControls() { InitializeCriticalSection(&lock_); }
  ~ServiceControls() { DeleteCriticalSection(&lock_); }
  ServiceControls(const ServiceControls&) = delete;
  ServiceControls& operator=(const ServiceControls&) = delete;

  // Set by a stop or shutdown (stays set); by a wake from sleep, and by
  // kReloadControl (each taken by one wait).
  HANDLE stopEvent() const { return stop_.get(); }
  HANDLE resumeEvent() const { return resume_.get(); }
  HANDLE reloadEvent() const { return reload_.get(); }
  HANDLE restoreTestEvent() const { return restoreTest_.get(); }
  HANDLE restoreEvent() const { return restore_.get(); }
  HANDLE cancelRestoreEvent() const { return cancelRestore_.get(); }

  // A run begins, registered with the system as `status`.
  void begin(SERVICE_STATUS_HANDLE status) {
    EnterCriticalSection(&lock_);
    ResetEvent(stop_.get());
    ResetEvent(resume_.get());
    ResetEvent(reload_.get());
    ResetEvent(restoreTest_.get());
    ResetEvent(restore_.get());
    ResetEvent(cancelRestore_.get());
    handle_ = status;
    status_ = {};
    active_ = true;
    LeaveCriticalSection(&lock_);
  }

  // Tells the system the service's state; SERVICE_STOPPED ends the run.
  void report(DWORD state, DWORD exitCode = NO_ERROR) {
    EnterCriticalSection(&lock_);
    if (active_) {
      status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      status_.dwCurrentState = state;
      status_.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_STOPPED
                                       ? 0
                                       : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;
      status_.dwWin32ExitCode = exitCode;
      const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
      status_.dwCheckPoint = settled ? 0 : status_.dwCheckPoint + 1;
      // A backup in progress finishes before the service stops.
      status_.dwWaitHint = settled ? 0 : 30000;
      SetServiceStatus(handle_, &status_);
      active_ = state != SERVICE_STOPPED;
    }
    LeaveCriticalSection(&lock_);
  }

  // What the control handler answers the system.
  DWORD control(DWORD control, DWORD eventType) {
    EnterCriticalSection(&lock_);
    DWORD answer = ERROR_SERVICE_NOT_ACTIVE;
    if (active_) {
      switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
          report(SERVICE_STOP_PENDING);
          SetEvent(stop_.get());
          answer = NO_ERROR;
          break;
        case SERVICE_CONTROL_POWEREVENT:
          if (eventType == PBT_APMRESUMEAUTOMATIC) SetEvent(resume_.get());
          answer = NO_ERROR;
          break;
        case SERVICE_CONTROL_INTERROGATE:
          answer = NO_ERROR;
          break;
        case kReloadControl:
          SetEvent(reload_.get());
          answer = NO_ERROR;
          break;
        case kRestoreTestControl:
          SetEvent(restoreTest_.get());
          answer = NO_ERROR;
          break;
        case kRestoreDatabaseControl:
          SetEvent(restore_.get());
          answer = NO_ERROR;
          break;
        case kCancelRestoreControl:
          SetEvent(cancelRestore_.get());
          answer = NO_ERROR;
          break;
        default:
          answer = ERROR_CALL_NOT_IMPLEMENTED;
      }
    }
    LeaveCriticalSection(&lock_);
    return answer;
  }

  // The state last reported in this run, or SERVICE_STOPPED.
  DWORD state() {
    EnterCriticalSection(&lock_);
    const DWORD state = active_ ? status_.dwCurrentState : SERVICE_STOPPED;
    LeaveCriticalSection(&lock_);
    return state;
  }

 private:
  CRITICAL_SECTION lock_;  // the handler's thread and the service's
  UniqueKernelHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueKernelHandle resume_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueKernelHandle reload_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueKernelHandle restoreTest_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueKernelHandle restore_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueKernelHandle cancelRestore_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  SERVICE_STATUS status_{};
  bool active_ = false;
};

// The service's work within one run that `controls` began: the stored
// settings read, the schedule kept (with the scheduler's lock), until a stop
// or shutdown sets controls.stopEvent(); a backup under way and the last pings
// are waited for. Every outcome goes to `events` as well, and the settings'
// ping addresses are reached through `http`. The caller reports
// SERVICE_STOPPED afterwards.
void Serve(ServiceControls& controls, EventSink& events, HttpTransport& http);

}  // namespace bakwyn::app
