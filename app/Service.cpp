#include "app/Service.h"

#include <windows.h>

#include <sddl.h>

#include <iterator>
#include <optional>
#include <vector>

#include "app/SchedulerLock.h"
#include "app/Backups.h"
#include "app/EventLog.h"
#include "app/RestoreRequest.h"
#include "app/Runtime.h"
#include "app/SecureFolder.h"
#include "app/StoredSchedule.h"
#include "app/WinHttp.h"
#include "app/Worker.h"
#include "app/WinSystem.h"
#include "base/Text.h"
#include "base/WinHandles.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/History.h"
#include "engine/Replica.h"
#include "engine/WindowsFileSystem.h"
#include "server/OdbcServerSession.h"
#include "settings/Base64.h"
#include "settings/SettingsRecord.h"
#include "settings/DpapiProtector.h"
#include "settings/SqlInstances.h"
#include "settings/WindowsRegistry.h"

namespace bakwyn::app {
namespace {

// The SQL Server instances installed here, so that the stored server is read
// as the window shows it.
std::vector<settings::SqlInstance> InstalledSqlInstances() {
  const auto view64 = settings::MakeWindowsRegistry(settings::RegistryView::Wow64_64);
  const auto view32 = settings::MakeWindowsRegistry(settings::RegistryView::Wow64_32);
  return settings::FindSqlInstances(*view64, *view32);
}

// The schedule's tick, as the program's window timer.
constexpr DWORD kTickMs = 100;

// For the whole process, never destroyed: a control the system delivers after
// the run reported SERVICE_STOPPED still finds it (see ServiceControls).
ServiceControls& Controls() {
  static ServiceControls* const controls = new ServiceControls;
  return *controls;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  return Controls().control(control, eventType);
}

// The SQL Server service of the instance the stored server names, when it is
// on this computer: "MSSQLSERVER" for the default instance, "MSSQL$NAME" for a
// named one; empty when nothing is stored or no such service exists here. The
// server text is read as the window stores it ("COMPUTER\INSTANCE"); the
// program always reaches this computer, so only the instance counts.
std::wstring SqlServerService(SC_HANDLE manager) {
  std::optional<std::string> server;
  try {
    const auto registry = settings::MachineRegistry();
    if (const auto key = registry->open(settings::ControlStateKey("FrmMain", "mEdt2"), settings::Access::ReadExisting))
      server = key->readString("TEXT");
  } catch (const settings::RegistryError&) {
    // A value of another type is no server name.
  }
  if (!server) return {};
  const size_t separator = server->find('\\');
  const std::string instance = separator == std::string::npos ? std::string() : TrimControl(server->substr(separator + 1));
  const std::wstring name = instance.empty() || EqualsIgnoringAsciiCase(instance, settings::kDefaultInstance)
                                ? ToWide(settings::kDefaultInstance)
                                : L"MSSQL$" + ToWide(instance);
  // A name no service can have ("A\B", control characters) opens nothing.
  const UniqueServiceHandle sql(OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS));
  return sql ? name : std::wstring();
}

// The service's dependencies as the service manager takes them: a list of
// names, each ended by a NUL, and the list by one more; only that NUL for none.
std::wstring Dependencies(SC_HANDLE manager) {
  std::wstring list = SqlServerService(manager);
  if (!list.empty()) list.push_back(L'\0');
  list.push_back(L'\0');
  return list;
}

// The running service brings its own dependency up to date: a save may have
// chosen another instance. The system account may change its own service.
void UpdateDependencies() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
  if (!service) return;
  const std::wstring dependencies = Dependencies(manager.get());
  ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                       nullptr, dependencies.c_str(), nullptr, nullptr, nullptr);
}

// The folder of a file; a drive's root keeps its separator ("C:" alone
// would mean the drive's current folder).
std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return {};
  const std::string folder = path.substr(0, separator);
  return folder.size() == 2 && folder[1] == ':' ? folder + "\\" : folder;
}

// The restores the restore window of a program in a user's session asks of
// the service (see RestoreRequest.h): each request taken, checked, run on the
// worker, and answered under the status key, started and then ended.
class AskedRestores final : public RuntimeObserver {
 public:
  AskedRestores(Runtime& runtime, settings::Registry& registry, BackupSettings& settings, ServerSession& session,
                const Clock& clock)
      : runtime_(runtime), registry_(registry), settings_(settings), session_(session), clock_(clock) {
    runtime_.addObserver(this);
  }

  // kRestoreDatabaseControl came: the stored request, if any.
  void asked() {
    const TakenRestoreRequest taken = TakeRestoreRequest(registry_);
    if (!taken.present) return;
    if (!taken.request) {
      runtime_.log("数据库恢复未开始: 恢复请求无法读取");
      return;
    }
    const RestoreRequest& request = *taken.request;
    const std::int64_t age = CalendarMilliseconds(clock_.now()) - request.atMs;
    std::string refusal;
    if (age > kRestoreRequestMaxAgeMs || age < -kRestoreRequestMaxAgeMs) {
      refusal = "恢复请求已过期";
    } else if (!runtime_.scheduling()) {
      refusal = "另一个Bakwyn正在定时备份: 请在定时备份的程序中恢复";
    } else if (runtime_.restoreDatabase([this, request] {
                 return PlanRequestedRestore(settings_, session_, runtime_.files(), ComputerName(), request,
                                             runtime_.now());
               })) {
      pending_ = request.id;
      runtime_.log("备份服务开始恢复数据库 (" + (request.user.empty() ? std::string("用户") : request.user) +
                   " 在恢复窗口中请求): " + request.backupPath);
      StoreRestoreAnswer(registry_, {request.id, RestoreAnswer::State::started, 0, {}, {}});
      return;
    } else {
      refusal = "正在备份或测试恢复,现在不能恢复。请在结束后再试。";
    }
    runtime_.log("数据库恢复未开始: " + refusal);
    StoreRestoreAnswer(registry_, {request.id, RestoreAnswer::State::refused, 0, {}, refusal});
  }

  void logged(const LocalDateTime&, const std::string&, bool) override {}
  void restoreEnded(const RestoreResult& result) override {
    if (pending_.empty()) return;
    StoreRestoreAnswer(registry_, AnswerOf(pending_, result));
    pending_.clear();
  }

 private:
  Runtime& runtime_;
  settings::Registry& registry_;
  BackupSettings& settings_;
  ServerSession& session_;
  const Clock& clock_;
  std::string pending_;  // the request whose restore runs
};

}  // namespace

void Serve(ServiceControls& controls, EventSink& events, HttpTransport& http) {
  {
    // The same runtime as the program's, without a window: the stored
    // settings are read as a record, the backups run on a worker, and this
    // thread ticks, answers the controls and waits for the scheduler's lock.
    SystemClock clock;
    OdbcServerSession session;
    WindowsFileSystem files;
    const auto registry = settings::MachineRegistry();
    settings::DpapiProtector protector;
    // The shared history's folder is written as the system: one a user made
    // first, or a link, is not used, and the service keeps its history in the
    // system account's own folder instead, saying why in its first line there.
    const std::string shared = HistoryPath();
    const HistoryFolderUse folder = PrepareHistoryFolder(FolderOf(shared));
    OdbcServerSession checks(kHealthCheckTimeoutSeconds);
    ThreadWorker worker;
    Backups backups(clock, session, files, *registry, nullptr, folder.usable ? shared : OwnHistoryPath(), {}, worker,
                    nullptr, [] { return ComputerName(); }, &events, &http);
    backups.checkHealthOn(checks);
    if (!folder.usable)
      backups.history.append(clock.now(), "不能使用共享的备份历史文件夹,服务的记录写在这里: " + folder.why);
    else if (!folder.why.empty())
      backups.history.append(clock.now(), "备份历史文件夹: " + folder.why);
    Runtime* const runtime = &backups.runtime;
    const auto stored = [&] {
      return ReadStoredSchedule(*registry, protector, ComputerName(), InstalledSqlInstances());
    };
    StartFromStore(*runtime, stored());
    // A request left from before this start was not meant for it.
    TakeRestoreRequest(*registry);
    AskedRestores restores(*runtime, *registry, backups.settings, session, clock);
    UpdateDependencies();
    runtime->log("备份服务已启动: 不需要用户登录也会定时备份");
    events.report({EventId::ServiceStarted, {}});

    // One scheduler on the computer: a program in a user's session may hold
    // the lock; the service then schedules once it lets go (the lock's thread
    // waits, the control handler never does). A lock someone else made is not
    // waited for: nobody could then stop the backups by making it first.
    const UniqueKernelHandle acquired(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const SchedulerLock lock([&acquired] { SetEvent(acquired.get()); });
    if (lock.squatted()) {
      runtime->log("警告: 定时备份的锁 Global\\Bakwyn.Scheduler 不是系统或管理员建立的 (" + lock.squatter() +
                   "),服务不等它,照常定时备份");
    } else if (!lock.held()) {
      runtime->setScheduling(false);
      runtime->log("另一个Bakwyn正在定时备份: 服务在它退出后接替");
    }
    controls.report(SERVICE_RUNNING);

    // The tick every 100 ms, as the program's timer; the backups themselves
    // run on the worker, so a stop, a reload or the lock is answered at once.
    const HANDLE waits[] = {controls.stopEvent(),        controls.resumeEvent(), controls.reloadEvent(),
                            acquired.get(),              controls.restoreTestEvent(), controls.restoreEvent(),
                            controls.cancelRestoreEvent()};
    for (;;) {
      const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(std::size(waits)), waits, FALSE, kTickMs);
      if (woke == WAIT_OBJECT_0) break;
      if (woke == WAIT_OBJECT_0 + 1) runtime->powerResume();
      if (woke == WAIT_OBJECT_0 + 2) {
        ApplyStoredSchedule(*runtime, stored(), "已重新读取设置");
        UpdateDependencies();
      }
      if (woke == WAIT_OBJECT_0 + 3) {
        // Taking over: the slots the other scheduler ran today are not run again.
        if (!runtime->scheduling()) {
          runtime->setScheduling(true);
          runtime->log("备份服务开始定时备份");
        }
        if (lock.abandoned()) runtime->log("上一个定时备份的程序没有正常退出 (可能在备份中途),服务接替定时备份");
      }
      if (woke == WAIT_OBJECT_0 + 4) {
        // Asked from a user's tray menu. Only the scheduler tests, so that two
        // never run at once.
        if (!runtime->scheduling() || !runtime->restoreTestNow())
          runtime->log("恢复测试未运行: 正在备份或测试恢复,或另一个Bakwyn正在定时备份");
      }
      if (woke == WAIT_OBJECT_0 + 5) restores.asked();
      if (woke == WAIT_OBJECT_0 + 6) runtime->cancelRestore();
      runtime->tick();
    }
    // A backup under way finishes first, as it always has (its copies end
    // between two pieces); the system is told the service is still stopping.
    runtime->stopCopies();
    // A restore test is not waited for: it ends now and drops its database.
    if (runtime->restoreTestRunning()) runtime->cancelBackup();
    while (runtime->backupRunning()) {
      controls.report(SERVICE_STOP_PENDING);
      runtime->tick();
      Sleep(kTickMs);
    }
    runtime->tick();
    // The last backup's ping still goes out: a monitoring service that never
    // hears of it would report the backup missing. Not for longer than its
    // tries take.
    for (int waited = 0; backups.pinger && !backups.pinger->idle(std::chrono::milliseconds(kTickMs * 10)) &&
                         waited < 45;
         ++waited)
      controls.report(SERVICE_STOP_PENDING);
    runtime->log("备份服务已停止");
    events.report({EventId::ServiceStopped, {}});
  }
}

namespace {

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceControls& controls = Controls();
  const SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (!status) return;
  controls.begin(status);
  controls.report(SERVICE_START_PENDING);
  // The service's own program file is one only administrators can change
  // (see ProgramToRegister): the event log reads its texts from it, also
  // for a service installed before the program had any.
  InstallEventSource(ToWide(ProgramPath()));
  {
    WindowsEventSink events;
    WinHttpTransport http;
    Serve(controls, events, http);
  }
  controls.report(SERVICE_STOPPED);
}

// Stops the service and waits until it has: a backup in progress is let
// finish, up to ten minutes.
void StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
  for (int waited = 0; waited < 600 * 4 && status.dwCurrentState != SERVICE_STOPPED; ++waited) {
    Sleep(250);
    if (!QueryServiceStatus(service, &status)) break;
  }
}

std::optional<std::string> ReadWhole(const std::string& path) {
  const UniqueFile file(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (256 << 20)) return std::nullopt;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size())
    return std::nullopt;
  return bytes;
}

// Puts a copy of `source` at `target`, unless the same bytes are there: copied
// beside it under another name first (the copy takes the folder's access
// list), then renamed over it. A target the running service executes cannot
// be replaced: then `service` is stopped first, once. 0 or the error.
DWORD PlaceCopy(const std::string& source, const std::string& target, SC_HANDLE service) {
  const std::optional<std::string> wanted = ReadWhole(source);
  if (!wanted) return GetLastError() ? GetLastError() : ERROR_READ_FAULT;
  if (ReadWhole(target) == wanted) return 0;
  const std::wstring next = ToWide(target + ".new");
  if (!CopyFileW(ToWide(source).c_str(), next.c_str(), FALSE)) return GetLastError();
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(next.c_str(), ToWide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    const DWORD error = GetLastError();
    if (attempt > 0 || !service || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      DeleteFileW(next.c_str());
      return error;
    }
    StopAndWait(service);
  }
}

// The program file the service may run: `programPath` when only the system
// and administrators can change it and its folder, else a copy in the
// program's folder under Program Files. `service`, when installed already,
// may be stopped to replace an older copy it runs.
DWORD ProgramToRegister(const std::string& programPath, SC_HANDLE service, std::string& program) {
  if (!WhyNotAdminOnly(FolderOf(programPath)) && !WhyNotAdminOnly(programPath)) {
    program = programPath;
    return 0;
  }
  const PreparedFolder folder = PrepareProgramFolder();
  if (folder.path.empty()) return folder.error;
  program = folder.path + "\\Bakwyn.exe";
  if (CompareStringOrdinal(ToWide(program).c_str(), -1, ToWide(programPath).c_str(), -1, TRUE) == CSTR_EQUAL)
    return ERROR_INVALID_OWNER;  // the copy's own place was refused above
  if (const DWORD error = PlaceCopy(programPath, program, service)) return error;
  // What was put there carries the folder's list; anything else is refused.
  return WhyNotAdminOnly(program) ? ERROR_INVALID_OWNER : 0;
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
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
  std::string program;
  if (const DWORD error = ProgramToRegister(programPath, service.get(), program)) return error;
  // Quoted: a path with blanks would otherwise start C:\Program.exe.
  const std::wstring command = L"\"" + ToWide(program) + L"\" " + kServiceArgument;
  const std::wstring display = ToWide(kServiceDisplayName);
  const std::wstring dependencies = Dependencies(manager.get());
  if (!service) {
    service.reset(CreateServiceW(manager.get(), kServiceName, display.c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                 nullptr, nullptr, dependencies.c_str(), nullptr, nullptr));
    if (!service) return GetLastError();
  } else if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                   command.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr, nullptr,
                                   display.c_str())) {
    return GetLastError();
  }
  // Who may do what with it (kServiceSddl): users may send the reload, not stop it.
  {
    UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>> access;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1, access.put(), nullptr) ||
        !SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, access.get()))
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
  // The event log shows the service's events with their texts from the
  // program file it runs (the service registers it again at each start).
  InstallEventSource(ToWide(program));
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
  StopAndWait(service.get());
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

namespace {

bool SignalService(DWORD control) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_USER_DEFINED_CONTROL));
  SERVICE_STATUS status{};
  return service && ControlService(service.get(), control, &status);
}

}  // namespace

bool SignalServiceReload() { return SignalService(kReloadControl); }

bool SignalServiceRestoreTest() { return SignalService(kRestoreTestControl); }

bool SignalServiceRestore() { return SignalService(kRestoreDatabaseControl); }

bool SignalServiceCancelRestore() { return SignalService(kCancelRestoreControl); }

unsigned long StoreRestoreRequestArgument(const std::wstring& encoded) {
  const std::optional<std::string> text = settings::Base64Decode(FromWide(encoded));
  std::optional<RestoreRequest> request = text ? ParseRestoreRequest(*text) : std::nullopt;
  if (!request) return ERROR_INVALID_DATA;
  // Asked now: the consent the system asked for may have taken a while.
  request->atMs = CalendarMilliseconds(SystemClock().now());
  const auto registry = settings::MachineRegistry();
  return StoreRestoreRequest(*registry, *request) ? 0 : ERROR_ACCESS_DENIED;
}

}  // namespace bakwyn::app
