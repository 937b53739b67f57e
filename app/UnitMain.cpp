#include "app/UnitMain.h"

#include <windows.h>

#include <shellapi.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>

#include "base/SystemMessage.h"
#include "base/Text.h"
#include "base/WinHandles.h"
#include "app/RestoreRequest.h"
#include "app/SecureFolder.h"
#include "app/Service.h"
#include "app/WinSystem.h"
#include "settings/Base64.h"
#include "settings/WindowsRegistry.h"
#include "ui/MessageHelper.h"

namespace bakwyn::app {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class ComApartment {
 public:
  ComApartment() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    // Only a successful initialisation is balanced by an uninitialisation.
    if (ok_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool ok_;
};

}  // namespace

TFrmMain::TFrmMain(const Clock& clock, ServerSession& session, FileSystem& files, settings::Registry& registry,
                   const settings::SecretProtector& protector)
    : own_(settings::UserRegistry()),
      machine_(registry),
      backups_(clock, session, files, registry, own_.get(), HistoryPath(), OwnHistoryPath(), worker_,
               &form_.rmTrayIcon1, [] { return ComputerName(); }, &events_, &http_),
      handlers_(form_, backups_.runtime, windowSession_, registry, protector, *this, own_.get(), &*backups_.pinger),
      window_(form_) {
  // Closing the window ends the program.
  window_.onDestroyed = [] { PostQuitMessage(0); };
  backups_.runtime.addObserver(&restoreProgress_);
  // A save's health checks, and the daily ones, beside a backup that may run on the worker's session.
  handlers_.setHealthCheck([this](const BackupSettings& settings) {
    return RunHealthChecks(settings, saveCheckSession_, backups_.runtime.files());
  });
  backups_.checkHealthOn(dailyCheckSession_);
  handlers_.setOnFollowed([this](const std::vector<std::string>& lines) { followServiceRestore(lines); });
  // With administrator rights, the shared history's folder is made (or brought
  // up to date) with an access list that lets every user's program add its
  // lines and nobody but administrators and the system change or remove them.
  if (elevated()) {
    const std::string path = HistoryPath();
    PrepareHistoryFolder(path.substr(0, path.find_last_of('\\')));
  }
}

HANDLE TFrmMain::schedulerLockWaitable() const { return lock_ ? lock_->waitable() : nullptr; }

void TFrmMain::schedulerLockTaken(bool abandoned) {
  if (!lock_) return;
  // The service stopped: what it answered last is the end of what it ran for
  // the window; with no end there, the history has the rest.
  followServiceRestore({});
  if (askedRestore_) endAskedRestore("备份服务已停止: 恢复的结果见备份历史");
  lock_->taken(abandoned);
  handlers_.SchedulerChanged(true, abandoned);
}

TFrmMain::~TFrmMain() {
  lock_.reset();
  handlers_.runtime().cancelBackup();
}

void TFrmMain::FormCreate() {
  handlers_.FormCreate();
  takeLock();
}

void TFrmMain::takeLock() {
  // Held by this thread, the window's, which waits on it in its message loop
  // while another holds it: no thread of its own.
  lock_.emplace(SchedulerLock::OnCallersThread{});
  if (lock_->squatted()) handlers_.AppendLog("警告: 定时备份的锁由其他用户创建 (" + lock_->squatter() + ")");
  handlers_.SchedulerChanged(lock_->held(), lock_->abandoned());
}

std::string TFrmMain::computerName() { return ComputerName(); }
std::string TFrmMain::programPath() { return ProgramPath(); }

ServiceState TFrmMain::serviceState() { return QueryService(); }
bool TFrmMain::signalService() { return SignalServiceReload(); }
bool TFrmMain::signalServiceRestoreTest() { return SignalServiceRestoreTest(); }

void TFrmMain::openRestoreWindow() {
  if (!restoreWindow_) {
    // A model whose restore still runs is kept, with its lines; else the
    // window starts afresh with the settings as they are now.
    if (!restoreForm_ || !restoreForm_->running()) restoreForm_ = std::make_unique<form::RestoreForm>(restoreActions());
    restoreWindow_ = std::make_unique<ui::RestoreWindow>(*restoreForm_);
    // Freed on the next tick, never inside its own WM_DESTROY.
    restoreWindow_->onDestroyed = [this] { backups_.runtime.post([this] { restoreWindow_.reset(); }); };
  }
  restoreWindow_->show();
}

form::RestoreActions TFrmMain::restoreActions() {
  form::RestoreActions actions;
  // The settings as saved; the window's questions go through the window's
  // session, on this thread, beside a backup that may run on the worker's.
  const auto settings = [this] { return backups_.runtime.latest().settings; };
  actions.database = settings().database;
  actions.list = [this, settings] {
    // The test that passed in this program, or the one the status kept.
    std::optional<TestedSet> tested = lastPassedTest_;
    if (!tested) tested = PassedTestSet(backups_.runtime.status().state());
    return ListRestoreChoices(settings(), windowSession_, backups_.runtime.files(), computerName(), tested);
  };
  actions.proposedName = [this, settings] {
    return ProposedRestoreName(settings().database, backups_.runtime.now());
  };
  actions.plan = [this, settings](const RestoreChoice& from, RestorePlan::Target target, const std::string& name) {
    return PlanRestore(settings(), windowSession_, from, target, name, backups_.runtime.now());
  };
  actions.start = [this](const RestorePlan& plan) -> std::string {
    // Only the scheduler restores, so that no slot of another's starts in
    // the middle of it: the service when it runs, this program when it schedules.
    if (!backups_.runtime.scheduling()) {
      if (QueryService() == ServiceState::Running) return askServiceToRestore(plan);
      return "另一个用户的Bakwyn正在定时备份: 请在定时备份的程序中恢复";
    }
    if (!backups_.runtime.restoreDatabase(plan)) return "正在备份或测试恢复,现在不能恢复。请在结束后再试。";
    return {};
  };
  actions.cancel = [this] {
    if (askedRestore_) {
      if (!SignalServiceCancelRestore() && restoreForm_)
        restoreForm_->progress("无法通知备份服务取消恢复: " + SystemMessage(GetLastError()));
      return;
    }
    backups_.runtime.cancelRestore();
  };
  actions.confirm = [this](const std::string& text) {
    // "No" is the default: the question is whether to overwrite a database.
    const HWND owner = restoreWindow_ ? restoreWindow_->hwnd() : window_.hwnd();
    return ui::ShowMessageCode(ui::SystemMessageBox(), owner, 32, text) == IDYES;
  };
  return actions;
}

std::string TFrmMain::askServiceToRestore(const RestorePlan& plan) {
  if (askedRestore_) return "备份服务正在进行上一个恢复";
  RestoreRequest request;
  request.id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
  request.atMs = CalendarMilliseconds(backups_.runtime.now());
  wchar_t user[257] = {};
  DWORD size = static_cast<DWORD>(std::size(user));
  if (GetUserNameW(user, &size)) request.user = FromWide(user);
  request.target = plan.target;
  request.backupPath = plan.from.path;
  request.position = plan.from.position;
  if (plan.target == RestorePlan::Target::newDatabase) request.newName = plan.database;
  // Stored where the service reads the settings, which only administrators
  // write: without those rights, a start of this program with them stores
  // it (the system asks the user).
  if (!StoreRestoreRequest(machine_, request)) {
    if (elevated()) return "无法保存恢复请求: 注册表拒绝写入";
    const std::wstring arguments =
        std::wstring(kRequestRestoreArgument) + L" " + ToWide(settings::Base64Encode(FormatRestoreRequest(request)));
    HANDLE started = nullptr;
    if (!startElevated(arguments.c_str(), SW_HIDE, &started)) {
      const DWORD error = GetLastError();
      if (error == ERROR_CANCELLED) return "恢复由备份服务进行,需要管理员的同意: 已取消";
      return "无法以管理员权限保存恢复请求: " + SystemMessage(error);
    }
    if (!started) return "无法以管理员权限保存恢复请求: " + SystemMessage(ERROR_INVALID_HANDLE);
    const UniqueKernelHandle process(started);
    DWORD code = 0;
    if (WaitForSingleObject(process.get(), 60 * 1000) != WAIT_OBJECT_0) code = WAIT_TIMEOUT;
    else if (!GetExitCodeProcess(process.get(), &code)) code = GetLastError();
    if (code != 0) return "无法以管理员权限保存恢复请求: " + SystemMessage(code);
  }
  if (!SignalServiceRestore()) return "无法通知备份服务恢复数据库: " + SystemMessage(GetLastError());
  askedRestore_ = AskedRestore{request.id, GetTickCount64(), false, {}};
  restoreForm_->progress("已请求备份服务恢复数据库,等待服务开始...");
  return {};
}

void TFrmMain::followServiceRestore(const std::vector<std::string>& lines) {
  if (!askedRestore_) return;
  for (const std::string& line : lines) {
    // The service's lines, without their date: the restore's own words.
    const std::string text(SplitHistoryLine(line).text);
    if (restoreForm_) restoreForm_->progress(text);
    askedRestore_->shown.push_back(text);
  }
  const std::optional<RestoreAnswer> answer = LoadRestoreAnswer(machine_);
  if (answer && answer->id == askedRestore_->id) {
    if (answer->state == RestoreAnswer::State::started) {
      askedRestore_->started = true;
      return;
    }
    // The cause, unless the service's own lines already said it (its history
    // may be one this program cannot read).
    const std::vector<std::string>& shown = askedRestore_->shown;
    if (!answer->cause.empty() && restoreForm_ &&
        std::none_of(shown.begin(), shown.end(),
                     [&](const std::string& l) { return l.find(answer->cause) != std::string::npos; }))
      restoreForm_->progress(answer->cause);
    askedRestore_.reset();
    if (restoreForm_) restoreForm_->finished(ResultOf(*answer));
    return;
  }
  // Not even started within a minute: the service did not take it.
  if (!askedRestore_->started && GetTickCount64() - askedRestore_->askedAt > 60 * 1000)
    endAskedRestore("备份服务没有回应恢复请求");
}

void TFrmMain::endAskedRestore(const std::string& why) {
  askedRestore_.reset();
  RestoreResult result;
  result.cause = why;
  if (restoreForm_) {
    restoreForm_->progress(why);
    restoreForm_->finished(result);
  }
}

void TFrmMain::RestoreProgress::logged(const LocalDateTime&, const std::string& text, bool) {
  if (owner_.restoreForm_ && owner_.restoreForm_->running() && owner_.backups_.runtime.restoringDatabase())
    owner_.restoreForm_->progress(text);
}

void TFrmMain::RestoreProgress::restoreEnded(const RestoreResult& result) {
  if (owner_.restoreForm_) owner_.restoreForm_->finished(result);
}

void TFrmMain::RestoreProgress::restoreTested(const RestoreOutcome& outcome) {
  if (outcome.result == RestoreOutcome::Result::passed)
    owner_.lastPassedTest_ = TestedSet{outcome.backupPath, outcome.position};
}

std::string TFrmMain::registerEventSource() {
  // With the service installed, the source names the program file the
  // service runs, which only administrators can change; the service sees to
  // that itself.
  if (serviceState() != ServiceState::NotInstalled) return {};
  std::string failure;
  if (!InstallEventSource(ToWide(ProgramPath()), &failure)) return failure;
  return {};
}

ServiceChange TFrmMain::switchService(bool install) {
  // The service must find the scheduler's lock made by the system, not by
  // this user (it would take that for a squatter's and schedule beside this
  // program): the lock is let go of, and this program stands by, while the
  // service is installed and started; then it waits on the lock again.
  if (install && lock_) {
    lock_.reset();
    handlers_.SchedulerChanged(false);
  }
  struct Rewait {
    TFrmMain& self;
    ~Rewait() {
      if (!self.lock_) self.takeLock();
    }
  } rewait{*this};
  unsigned long code = 0;
  if (elevated()) {
    code = install ? InstallService(programPath()) : RemoveService();
  } else {
    // Only an administrator installs a service: the program starts itself
    // with those rights (the system asks the user) to do just that, and the
    // window waits for it.
    HANDLE started = nullptr;
    if (!startElevated(install ? kInstallServiceArgument : kRemoveServiceArgument, SW_HIDE, &started)) {
      const DWORD error = GetLastError();
      if (error == ERROR_CANCELLED) return {};  // the user said no at the prompt
      return {false, SystemMessage(error)};
    }
    if (!started) return {false, SystemMessage(ERROR_INVALID_HANDLE)};
    const UniqueKernelHandle process(started);
    // Removing lets a backup in progress finish first.
    if (WaitForSingleObject(process.get(), 11 * 60 * 1000) != WAIT_OBJECT_0) return {false, SystemMessage(WAIT_TIMEOUT)};
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) return {false, SystemMessage(GetLastError())};
    code = exitCode;
  }
  if (code == ERROR_INVALID_OWNER) {
    // The system's own text for this code speaks of an owner to assign.
    return {false, "Program Files 下的 Bakwyn 文件夹不是只有管理员和系统才能修改,备份服务不会从那里运行。"};
  }
  if (code != 0) return {false, SystemMessage(code)};
  ServiceChange change{true, {}, {}};
  // The system account runs only a program file that no normal user can
  // replace: one started from elsewhere was copied there and registered.
  if (install) {
    const std::optional<std::string> registered = RegisteredServiceProgram();
    if (registered && !EqualsIgnoringAsciiCase(*registered, programPath())) {
      change.note = "备份服务运行的是复制到 " + *registered + " 的程序: 本程序所在的文件夹普通用户也能修改,"
                    "服务以系统帐户运行,不能从那里启动。";
    }
  }
  return change;
}

void TFrmMain::openAddress(const std::string& address) {
  const std::u16string parameter = Utf8ToUtf16(address);
  // The address itself, so that the shell opens it in the user's default browser.
  ShellExecuteW(hwnd(), L"open", Wide(parameter), nullptr, nullptr, SW_SHOWMAXIMIZED);
}

void TFrmMain::openFile(const std::string& path) {
  const std::u16string file = Utf8ToUtf16(path);
  ShellExecuteW(hwnd(), L"open", Wide(file), nullptr, nullptr, SW_SHOWNORMAL);
}

bool TFrmMain::elevated() {
  UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

bool TFrmMain::startElevated(const wchar_t* arguments, int show, HANDLE* process) {
  const std::u16string path = Utf8ToUtf16(programPath());
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = process ? SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC : 0;
  info.hwnd = hwnd();
  info.lpVerb = L"runas";  // the system asks for the rights
  info.lpFile = Wide(path);
  info.lpParameters = arguments;
  info.nShow = show;
  // False when the user declined or the program could not be started.
  if (!ShellExecuteExW(&info)) return false;
  if (process) *process = info.hProcess;
  return true;
}

bool TFrmMain::restartElevated() { return startElevated(ui::kSettingsArgument, SW_SHOWNORMAL, nullptr); }

std::vector<settings::SqlInstance> TFrmMain::sqlInstances() {
  const auto view64 = settings::MakeWindowsRegistry(settings::RegistryView::Wow64_64);
  const auto view32 = settings::MakeWindowsRegistry(settings::RegistryView::Wow64_32);
  return settings::FindSqlInstances(*view64, *view32);
}

std::optional<size_t> TFrmMain::choose(const form::Control& anchor, const std::vector<std::string>& items) {
  UniqueMenu menu(CreatePopupMenu());
  for (size_t i = 0; i < items.size(); ++i) {
    const std::u16string text = Utf8ToUtf16(items[i]);
    AppendMenuW(menu.get(), MF_STRING, static_cast<UINT_PTR>(i + 1), Wide(text));
  }
  RECT below{};
  if (HWND widget = window_.controlWindow(anchor.name())) GetWindowRect(widget, &below);
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN,
                                                       below.left, below.bottom, 0, hwnd(), nullptr));
  if (chosen == 0) return std::nullopt;
  return static_cast<size_t>(chosen - 1);
}

bool TFrmMain::fixedDisk(char drive) {
  const wchar_t root[] = {static_cast<wchar_t>(drive), L':', L'\\', L'\0'};
  return GetDriveTypeW(root) == DRIVE_FIXED;
}

void TFrmMain::quit() {
  // Ends the message loop; the window, its tray icon and the one-instance
  // claim go as the program ends.
  PostQuitMessage(0);
}

std::optional<std::string> TFrmMain::browseForFolder(const std::string& title) {
  // COM for the folder browser, on the program's only thread, from its first use
  // on: the tray program that never browses never loads it.
  static const ComApartment com;
  const std::u16string wideTitle = Utf8ToUtf16(title);
  BROWSEINFOW info{};
  info.hwndOwner = hwnd();
  info.pidlRoot = nullptr;  // the top of the shell namespace
  info.lpszTitle = Wide(wideTitle);
  info.ulFlags = 0;
  // The shell allocates the chosen item; it goes back to the shell's allocator.
  const std::unique_ptr<ITEMIDLIST, decltype(&CoTaskMemFree)> chosen(SHBrowseForFolderW(&info), &CoTaskMemFree);
  if (!chosen) return std::nullopt;
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(chosen.get(), path)) return std::nullopt;
  return FromWide(path);
}

}  // namespace bakwyn::app
