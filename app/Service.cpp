#include "app/Service.h"

#include <windows.h>

#include <sddl.h>

#include <iterator>
#include <optional>

#include "app/UnitMain.h"
#include "app/WinSystem.h"
#include "base/Text.h"
#include "base/WinHandles.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/History.h"
#include "engine/Replica.h"
#include "engine/WindowsFileSystem.h"
#include "form/SettingsForm.h"
#include "server/OdbcServerSession.h"
#include "settings/DpapiProtector.h"
#include "settings/WindowsRegistry.h"

namespace bakwyn::app {
namespace {

// The service has no window and nobody to ask: nothing of the window's ever
// reaches it (no one can click in it), and what it is asked about itself it
// answers as the program does.
class ServiceShell final : public FormShell {
 public:
  int showMessageCode(int, const std::string&) override { return 0; }
  void focus(const form::Control&) override {}
  std::string computerName() override { return ComputerName(); }
  std::string programPath() override { return ProgramPath(); }
  void showWindow() override {}
  void hideWindow() override {}
  void requestClose() override {}
  void openAddress(const std::string&) override {}
  void openFile(const std::string&) override {}
  std::optional<std::string> browseForFolder(const std::string&) override { return std::nullopt; }
  bool elevated() override { return true; }
  bool restartElevated() override { return false; }
  void quit() override {}
  std::vector<settings::SqlInstance> sqlInstances() override { return {}; }
  std::optional<size_t> choose(const form::Control&, const std::vector<std::string>&) override { return std::nullopt; }
  bool fixedDisk(char) override { return false; }
  ServiceState serviceState() override { return ServiceState::Running; }
  ServiceChange switchService(bool) override { return {}; }
  bool signalService() override { return false; }
};

// What the system knows of the running service, and the events its control
// handler sets for the service's own thread.
struct Running {
  SERVICE_STATUS_HANDLE handle = nullptr;
  UniqueKernelHandle stop;
  UniqueKernelHandle resume;
  CRITICAL_SECTION lock;  // SetServiceStatus from the handler's and the service's threads
  SERVICE_STATUS status{};
};
Running* g_running = nullptr;

void Report(Running& running, DWORD state, DWORD exitCode = NO_ERROR) {
  EnterCriticalSection(&running.lock);
  running.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  running.status.dwCurrentState = state;
  running.status.dwControlsAccepted =
      state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;
  running.status.dwWin32ExitCode = exitCode;
  const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  running.status.dwCheckPoint = settled ? 0 : running.status.dwCheckPoint + 1;
  // A backup in progress finishes before the service stops.
  running.status.dwWaitHint = settled ? 0 : 30000;
  SetServiceStatus(running.handle, &running.status);
  LeaveCriticalSection(&running.lock);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  Running& running = *g_running;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(running, SERVICE_STOP_PENDING);
      SetEvent(running.stop.get());
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      if (eventType == PBT_APMRESUMEAUTOMATIC) SetEvent(running.resume.get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The reload event: the service and administrators own it, and any user who
// has logged on may set it, so that a save in the user's session reaches the
// service in its own. Setting it does nothing but have the stored settings read.
UniqueKernelHandle CreateReloadEvent() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100002;;;AU)", SDDL_REVISION_1, &descriptor, nullptr))
    return UniqueKernelHandle(CreateEventW(nullptr, FALSE, FALSE, kReloadEventName));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  UniqueKernelHandle event(CreateEventW(&attributes, FALSE, FALSE, kReloadEventName));
  LocalFree(descriptor);
  return event;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  Running running;
  InitializeCriticalSection(&running.lock);
  running.stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  running.resume.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  g_running = &running;
  running.handle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (!running.handle) return;
  Report(running, SERVICE_START_PENDING);
  const UniqueKernelHandle reload = CreateReloadEvent();
  {
    // The same pieces as the program's, without a window: the model of the
    // settings window holds what the store loads, and its timer is run here.
    BackupSettings settings;
    SystemClock clock;
    OdbcServerSession session;
    WindowsFileSystem files;
    const auto registry = settings::MachineRegistry();
    settings::DpapiProtector protector;
    form::SettingsForm form;
    History history(files, HistoryPath());
    Replica replica(files, clock);
    ServiceShell shell;
    std::optional<FormHandlers> handlers;
    BackupEngine engine(settings, clock, session, files, [&](const std::string& line) { handlers->AppendLog(line); });
    handlers.emplace(form, settings, engine, session, *registry, protector, clock, history, replica, shell,
                     Role::Service);
    handlers->FormCreate();
    handlers->AppendLog("备份服务已启动: 不需要用户登录也会定时备份");
    Report(running, SERVICE_RUNNING);

    // The tick every 100 ms while the schedule is armed, as the program's
    // timer: one at a time, on this thread, never made up when a backup held it.
    const HANDLE waits[] = {running.stop.get(), running.resume.get(), reload.get()};
    const DWORD count = reload ? 3 : 2;
    for (;;) {
      const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, form.Timer1.interval());
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_OBJECT_0 + 1 && form.onPowerResume) form.onPowerResume();
      if (woke == WAIT_OBJECT_0 + 2) handlers->Reload();
      if (form.Timer1.enabled() && form.Timer1.onTimer) form.Timer1.onTimer();
    }
    handlers->AppendLog("备份服务已停止");
  }
  Report(running, SERVICE_STOPPED);
  g_running = nullptr;
  DeleteCriticalSection(&running.lock);
}

}  // namespace

int RunAsService() {
  wchar_t name[std::size(kServiceName)];
  lstrcpyW(name, kServiceName);
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}

unsigned long InstallService(const std::string& programPath) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return GetLastError();
  // Quoted: a path with blanks would otherwise start C:\Program.exe.
  const std::wstring command = L"\"" + ToWide(programPath) + L"\" " + kServiceArgument;
  const std::wstring display = ToWide(kServiceDisplayName);
  UniqueServiceHandle service(CreateServiceW(manager.get(), kServiceName, display.c_str(), SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_EXISTS) return GetLastError();
    service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) return GetLastError();
    if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, display.c_str()))
      return GetLastError();
  }
  std::wstring about = ToWide("按设定的时间备份SQL Server数据库,不需要用户登录。设置在Bakwyn的设置界面中修改。");
  SERVICE_DESCRIPTIONW description{about.data()};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  // A service that ends without being stopped is started again after a minute.
  SC_ACTION restart[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = static_cast<DWORD>(std::size(restart));
  failure.lpsaActions = restart;
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return GetLastError();
  return 0;
}

unsigned long RemoveService() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return GetLastError();
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : GetLastError();
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    // A backup in progress is let finish: up to ten minutes.
    for (int waited = 0; waited < 600 * 4 && status.dwCurrentState != SERVICE_STOPPED; ++waited) {
      Sleep(250);
      if (!QueryServiceStatus(service.get(), &status)) break;
    }
  }
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return GetLastError();
  return 0;
}

ServiceState QueryService() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return ServiceState::NotInstalled;
  const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceState::NotInstalled : ServiceState::Stopped;
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) return ServiceState::Stopped;
  return status.dwCurrentState == SERVICE_STOPPED ? ServiceState::Stopped : ServiceState::Running;
}

bool SignalServiceReload() {
  const UniqueKernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kReloadEventName));
  return event && SetEvent(event.get());
}

}  // namespace bakwyn::app
