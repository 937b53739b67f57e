// Bakwyn.exe as a Windows service, driven from a second process against the
// stand-in server: missed slots made up at start and at waking only when asked; the service
// installed from the tray menu; the backup made by the service with no
// program running; the program started beside the running service makes no
// backup of its own and shows the service's lines; a save in the window is
// what the service runs at the next slot; unticking removes the service.
// One scheduler on the computer: the service waits for the lock a program
// holds, and holds it until it stops. A save reaches the service as a control
// of its own through the service manager, which its access list lets
// interactive users send, but not stop the service.
//
// The service runs in the prefix's services.exe, whose environment has no
// TDSPORT: it reaches the stand-in through the SQL Server Browser, by the
// instance named in the server field, as on a computer with SQL Server Express;
// so does the program here.
//
// As the system, the service treats what it runs and writes as a boundary: a
// program in a folder anyone may change is run from a copy in Program Files,
// a history folder anyone may change is not written. Wine shows "anyone may
// change" as mode 777 (its access lists come from the mode bits); the Unix
// chmod is started through Wine, which runs a Unix program by its Z: path.
#include <windows.h>

#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/SchedulerLock.h"
#include "app/Service.h"
#include "app/WinSystem.h"
#include "settings/Base64.h"
#include "tests/support/ExeHarness.h"
#include "tests/support/WineUnix.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

const std::string kUser = "sa", kPassword = "pw";
const wchar_t kServiceName[] = L"Bakwyn";
const std::string kHistoryPath = "C:\\ProgramData\\Bakwyn\\Bakwyn.log";

// The service as the system knows it: -1 none, else its SERVICE_* state.
long ServiceState() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return -2;
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
  long state = -1;
  SERVICE_STATUS status{};
  if (service && QueryServiceStatus(service, &status)) state = static_cast<long>(status.dwCurrentState);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return state;
}

// The process the service manager runs the service in; 0 when none runs.
DWORD ServiceProcessId() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  const bool known = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                     sizeof status, &size);
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return known ? status.dwProcessId : 0;
}

// Whatever a test left: the service stopped and removed, so that the prefix's
// next start does not start it.
void RemoveLeftoverService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return;
  if (SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)) {
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitUntil([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; }, 20000);
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

// "HH:NN" `minutes` before now, today; nothing just after midnight.
std::optional<std::string> MinutesAgo(int minutes) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const int at = now.wHour * 60 + now.wMinute - minutes;
  if (at < 0) return std::nullopt;
  return Two(at / 60) + ":" + Two(at % 60);
}

// ---- The prefix's files as Unix sees them -------------------------------------------

using testing::RunUnix;
using testing::UnixPath;
std::wstring Quoted(const std::wstring& path) { return testing::UnixQuoted(path); }

std::wstring KnownFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

// ---- The service as the service manager keeps it --------------------------------------

// The command the service manager starts; empty when there is none.
std::wstring RegisteredCommand() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
  std::wstring command;
  DWORD size = 0;
  if (service && !QueryServiceConfigW(service, nullptr, 0, &size) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::vector<BYTE> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service, config, size, &size) && config->lpBinaryPathName)
      command = config->lpBinaryPathName;
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return command;
}

// The services the service depends on, as the service manager keeps them in
// the registry. (Wine's QueryServiceConfigW gives no dependencies back, measured;
// its service manager keeps them in DependOnService, as Windows does.)
std::vector<std::wstring> Dependencies() {
  std::vector<std::wstring> names;
  DWORD bytes = 0;
  const wchar_t key[] = L"System\\CurrentControlSet\\Services\\Bakwyn";
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &bytes) !=
      ERROR_SUCCESS)
    return names;
  std::wstring list(bytes / sizeof(wchar_t) + 2, L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, list.data(), &bytes) !=
      ERROR_SUCCESS)
    return names;
  for (const wchar_t* name = list.c_str(); *name; name += wcslen(name) + 1) names.emplace_back(name);
  return names;
}

// The kReloadControl a save sends, as the program's SignalServiceReload sends
// it: through the service manager, with only the right to send it.
bool SendReload() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_USER_DEFINED_CONTROL) : nullptr;
  SERVICE_STATUS status{};
  const bool sent = service && ControlService(service, app::kReloadControl, &status);
  const DWORD error = GetLastError();
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  SetLastError(error);
  return sent;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The service's access list as the service manager keeps it, as SDDL. Wine's
// keeps none: its SetServiceObjectSecurity succeeds and changes nothing, and
// the list read back is empty ("D:", measured); there the list the install
// sets is judged instead, as its source has it.
std::wstring ServiceAccessList() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, READ_CONTROL) : nullptr;
  std::wstring sddl = L"(cannot read)";
  DWORD size = 0;
  if (service && !QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &size) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    std::vector<BYTE> buffer(size);
    wchar_t* text = nullptr;
    if (QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, buffer.data(), size, &size) &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
      sddl = text;
      LocalFree(text);
    }
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  if (sddl == L"D:" && UnderWine()) return app::kServiceSddl;
  return sddl;
}

// Who gets what by an access list: the rights of each allow entry, with its SID ("S-1-5-4").
std::vector<std::pair<std::string, ACCESS_MASK>> Grants(const std::wstring& sddl) {
  std::vector<std::pair<std::string, ACCESS_MASK>> grants;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return grants;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl) {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
      ACE_HEADER* header = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      wchar_t* sid = nullptr;
      if (!ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &sid)) continue;
      grants.emplace_back(Utf8(sid), ace->Mask);
      LocalFree(sid);
    }
  }
  LocalFree(descriptor);
  return grants;
}

// The history's lines written since `from` bytes.
std::string HistorySince(size_t from) {
  const std::string history = ReadWholeFile(std::filesystem::path(Wide(kHistoryPath)));
  return history.size() > from ? history.substr(from) : std::string();
}

// What onAcquired of a lock did, to wait for.
struct Acquired {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Acquired() { CloseHandle(event); }
  std::function<void()> callback() {
    return [this] { SetEvent(event); };
  }
  bool within(DWORD ms) const { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }
};

// A service of this name in the prefix for the life of the object, never
// started: a stand-in for an SQL Server service on this computer.
class InstalledService {
 public:
  explicit InstalledService(const std::wstring& name) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    service_ = OpenServiceW(manager_, name.c_str(), DELETE);
    if (!service_)
      service_ = CreateServiceW(manager_, name.c_str(), name.c_str(), DELETE, SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\windows\\system32\\cmd.exe",
                                nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(service_, nullptr) << Utf8(name) << ": " << GetLastError();
  }
  ~InstalledService() {
    if (service_) {
      DeleteService(service_);
      CloseServiceHandle(service_);
    }
    if (manager_) CloseServiceHandle(manager_);
  }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

// Runs Bakwyn.exe `program` with `argument` to its end; its exit code.
DWORD RunToEnd(const std::wstring& program, const std::wstring& argument) {
  Process process;
  if (!process.start(program, argument)) return ~0u;
  if (!process.ended(60000)) return WAIT_TIMEOUT;
  return process.exitCode();
}

class WinService : public ProgramTest {
 protected:
  // As in the service, FreeTDS asks the Browser only without TDSPORT: this
  // program runs without it (its test runner is told so), and so does the
  // Bakwyn.exe it starts.
  void SetUp() override {
    ASSERT_EQ(std::getenv("TDSPORT"), nullptr) << "the runner must leave TDSPORT out for this test";
    RemoveLeftoverService();
    ForgetStoredState();
    standIn_.reset();
    const std::string lane = LaneDirectory();
    ASSERT_NE(lane, "");
    standIn_.setDrives({{"T", lane + "/testdrive"}});
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop", "shop2"});
    browser_ = standIn_.setInstances({"SQLEXPRESS"});
  }
  void TearDown() override {
    RemoveLeftoverService();
    ProgramTest::TearDown();
    standIn_.setInstances({});
  }

  // The backups of `database` the stand-in was asked for.
  size_t Backups(const std::string& database) {
    size_t count = 0;
    for (const test::StandInStatement& s : standIn_.record().statements)
      count += s.procedure.empty() && s.database == database && !s.disks.empty();
    return count;
  }

  std::string browser_;
};

TEST_F(WinService, RunsTheScheduleWithNobodyLoggedOnAndTheProgramBecomesItsWindow) {
  if (!browser_.empty()) GTEST_SKIP() << "the stand-in cannot answer as the SQL Server Browser: " << browser_;
  const std::optional<std::string> missed = MinutesAgo(3);
  if (!missed) GTEST_SKIP() << "no earlier minute today";
  const std::string server = ComputerName() + "\\SQLEXPRESS";
  const std::string folder = kFolder + "\\bak\\";
  StoreConnection(server, kUser, kPassword, "shop", folder);
  StoreSlot(1, *missed);

  // Missed slots are not made up unless asked: the default. The restore
  // test only when asked, whatever the day.
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "0"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));
  app().start();
  Sleep(3000);  // thirty ticks
  EXPECT_EQ(Backups("shop"), 0u) << "nothing made up with the option off";
  ASSERT_TRUE(app().quit());
  endApp();

  // Asked: one backup at start, logged as made up.
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "1"));
  app().start();
  app().menu("N1");  // the log pane exists once the window was shown
  std::vector<std::string> texts = Texts(app().waitForLogText("补做错过的备份 (" + *missed + ")", 20000));
  ASSERT_NE(std::find(texts.begin(), texts.end(), "补做错过的备份 (" + *missed + ")"), texts.end())
      << ::testing::PrintToString(texts);
  ASSERT_TRUE(WaitUntil([&] { return Backups("shop") == 1; }, 20000));
  // Kept once the backup has ended, after the stand-in saw it begin.
  EXPECT_TRUE(WaitUntil([] { return ReadString(kStatusKey, "Slot1LastRun").value_or("").size() == 8; }, 20000))
      << "the slot's date is kept: " << ReadString(kStatusKey, "Slot1LastRun").value_or("(none)");

  // The computer wakes after a slot passed: made up too. (A save applies a
  // slot without making anything up; the system tells the window it woke.)
  const std::optional<std::string> slept = MinutesAgo(1);
  ASSERT_TRUE(slept);
  app().click("dxCheckEdit3");
  app().typeTime("dxTimeEdit3", *slept);
  app().click("BitBtn1");
  app().waitForLogText("保存成功!", 20000);
  EXPECT_EQ(Backups("shop"), 1u) << "a save makes nothing up";
  PostMessageW(app().main(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
  texts = Texts(app().waitForLogText("补做错过的备份 (" + *slept + ")", 20000));
  ASSERT_NE(std::find(texts.begin(), texts.end(), "补做错过的备份 (" + *slept + ")"), texts.end())
      << ::testing::PrintToString(texts);
  ASSERT_TRUE(WaitUntil([&] { return Backups("shop") == 2; }, 20000));

  // The service, installed from the tray menu. It reads the stored
  // settings when it starts: by then slot two is at a coming minute, which the
  // program, having read them before, does not know of.
  const Minute first = ComingMinute(40);
  ASSERT_TRUE(StoreSlot(2, first.hhnn()));
  EXPECT_TRUE(app().checked("dxCheckEdit6")) << "the window shows the kept choice";
  app().click("BitBtn3");  // back to the tray, whose menu switches the service
  app().menu("N6");
  ASSERT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 30000)) << "state " << ServiceState();
  texts = Texts(app().waitForLogText("备份服务已启动: 不需要用户登录也会定时备份", 20000));
  EXPECT_NE(std::find(texts.begin(), texts.end(), "已安装备份服务: 不需要用户登录也会定时备份"), texts.end())
      << ::testing::PrintToString(texts);

  // Nobody logged on: no program runs, the service backs up at the slot.
  ASSERT_TRUE(app().quit());
  endApp();
  ASSERT_EQ(ServiceState(), SERVICE_RUNNING) << "the service goes on without the program";
  ASSERT_TRUE(WaitForBackupFile(first, Wide(folder + first.fileName())));
  EXPECT_EQ(Backups("shop"), 3u) << "the slots made up by the program were not made up again by the service";
  const test::StandInRecord record = standIn_.record();
  EXPECT_FALSE(record.browserRequests.empty()) << "the service found the instance through the Browser";

  // The program started beside the running service: it shows the service's
  // lines and makes no backup of its own.
  app().start();
  app().menu("N1");
  const std::string success = Succeeded(folder + first.fileName());
  texts = Texts(app().waitForLogText(success, 20000));
  EXPECT_NE(std::find(texts.begin(), texts.end(), success), texts.end()) << ::testing::PrintToString(texts);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "备份服务或另一个用户的备份程序正在定时备份: 这里显示它的记录"), texts.end());

  // The tray menu's restore test is the service's to run: asked through the
  // service manager, its result reaches the pane through the history.
  app().click("BitBtn3");
  app().menu("N8");
  const std::string tested = "恢复测试成功: " + folder + first.fileName() + " ";
  ASSERT_TRUE(WaitUntil(
      [&] {
        texts = Texts(app().log());
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(tested, 0) == 0; });
      },
      30000))
      << ::testing::PrintToString(texts);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "已请备份服务立即测试恢复"), texts.end());
  app().menu("N1");

  // A save through the window: the service reads it at once and runs it.
  const Minute second = ComingMinute(25);
  app().type("mEdt1", "shop2");
  app().click("dxCheckEdit4");
  app().typeTime("dxTimeEdit4", second.hhnn());
  app().click("BitBtn1");
  texts = Texts(app().waitForLogText("已重新读取设置", 30000));
  ASSERT_NE(std::find(texts.begin(), texts.end(), "已重新读取设置"), texts.end())
      << "the service read the saved settings: " << ::testing::PrintToString(texts);
  EXPECT_NE(std::find(texts.begin(), texts.end(), "保存成功!"), texts.end());

  // The service's process ends without stopping (killed, or a crash) before
  // the slot: the program standing by takes over at once and makes the backup.
  const DWORD servicePid = ServiceProcessId();
  ASSERT_NE(servicePid, 0u);
  {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, servicePid);
    ASSERT_TRUE(process) << GetLastError();
    ASSERT_TRUE(TerminateProcess(process, 9));
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    CloseHandle(process);
  }
  texts = Texts(app().waitForLogText("已接管定时备份: 之前定时备份的服务或程序意外结束", 20000));
  ASSERT_NE(std::find(texts.begin(), texts.end(), "已接管定时备份: 之前定时备份的服务或程序意外结束"), texts.end())
      << ::testing::PrintToString(texts);
  ASSERT_TRUE(WaitForBackupFile(second, Wide(folder + second.fileName())));
  texts = Texts(app().waitForLogText(Succeeded(folder + second.fileName()), 20000));
  const auto takenOver = std::find(texts.begin(), texts.end(), "已接管定时备份: 之前定时备份的服务或程序意外结束");
  EXPECT_NE(std::find(takenOver, texts.end(), "开始备份数据库..."), texts.end())
      << "the program made it, after taking over: " << ::testing::PrintToString(texts);
  Sleep(3000);
  EXPECT_EQ(Backups("shop2"), 1u) << "one backup at the minute";
  EXPECT_EQ(Backups("shop"), 3u);

  // Chosen again: the service is removed; the program goes on scheduling.
  app().click("BitBtn3");
  app().menu("N6");
  ASSERT_TRUE(WaitUntil([] { return ServiceState() == -1; }, 30000)) << "state " << ServiceState();
  texts = Texts(app().waitForLogText("已移除备份服务: 由本程序定时备份", 20000));
  EXPECT_NE(std::find(texts.begin(), texts.end(), "已移除备份服务: 由本程序定时备份"), texts.end())
      << ::testing::PrintToString(texts);
}

// Without administrator rights the window starts the program again with them
// (the system asks the user) just to install or remove the service; that
// program's exit code tells the window how it went. The access list it gives
// the service lets users send the reload, not stop the service.
TEST_F(WinService, TheProgramStartedToInstallOrRemoveTheServiceDoesJustThat) {
  Process install;
  ASSERT_TRUE(install.start(remote::ExePath(), L"/install-service"));
  ASSERT_TRUE(install.ended(30000));
  EXPECT_EQ(install.exitCode(), 0u);
  EXPECT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000)) << "started: " << ServiceState();
  EXPECT_EQ(MainWindowCount(), 0) << "no window, no tray icon";

  // Interactive users may send the reload and read the state, not stop,
  // start, pause, change or delete it: nobody but the system and
  // administrators may.
  const ACCESS_MASK kChanging = SERVICE_STOP | SERVICE_START | SERVICE_PAUSE_CONTINUE | SERVICE_CHANGE_CONFIG | DELETE |
                                WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE | GENERIC_EXECUTE;
  const auto checkAccessList = [&] {
    const std::wstring list = ServiceAccessList();
    SCOPED_TRACE(Utf8(list));
    ACCESS_MASK interactive = 0, system = 0, administrators = 0;
    for (const auto& [sid, mask] : Grants(list)) {
      if (sid == "S-1-5-4") interactive |= mask;
      if (sid == "S-1-5-18") system |= mask;
      if (sid == "S-1-5-32-544") administrators |= mask;
      if (sid != "S-1-5-18" && sid != "S-1-5-32-544") {
        EXPECT_EQ(mask & kChanging, 0u) << sid;
      }
    }
    EXPECT_EQ(interactive & (SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS),
              static_cast<ACCESS_MASK>(SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS));
    EXPECT_EQ(interactive & SERVICE_STOP, 0u);
    EXPECT_EQ(administrators & SERVICE_ALL_ACCESS, static_cast<ACCESS_MASK>(SERVICE_ALL_ACCESS));
    // The service manager's defaults for the system.
    EXPECT_EQ(system, static_cast<ACCESS_MASK>(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                               SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START | SERVICE_STOP |
                                               SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                               SERVICE_USER_DEFINED_CONTROL | READ_CONTROL));
  };
  checkAccessList();

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr);
  DWORD size = 0;
  QueryServiceConfigW(service, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service, config, size, &size));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START)) << "it starts with Windows";
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + remote::ExePath() + L"\" /service")
      << "quoted: a path with blanks would otherwise start another program";
  const std::wstring account = config->lpServiceStartName ? config->lpServiceStartName : L"";
  EXPECT_EQ(Utf8(account), "LocalSystem");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  // Installed twice is installed once, with the same access list.
  Process again;
  ASSERT_TRUE(again.start(remote::ExePath(), L"/install-service"));
  ASSERT_TRUE(again.ended(30000));
  EXPECT_EQ(again.exitCode(), 0u);
  checkAccessList();

  Process remove;
  ASSERT_TRUE(remove.start(remote::ExePath(), L"/remove-service"));
  ASSERT_TRUE(remove.ended(60000));
  EXPECT_EQ(remove.exitCode(), 0u);
  EXPECT_EQ(ServiceState(), -1);
  const std::string history = ReadWholeFile(std::filesystem::path(Wide(kHistoryPath)));
  EXPECT_NE(history.find("备份服务已停止"), std::string::npos) << "stopped before it was removed";

  // A service started by hand, not by the system, is refused by the system.
  Process byHand;
  ASSERT_TRUE(byHand.start(remote::ExePath(), L"/service"));
  ASSERT_TRUE(byHand.ended(30000));
  EXPECT_EQ(byHand.exitCode(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

// One scheduler on the computer. A program in a user's session (here this
// test) holds the lock when the service starts: the service starts all the
// same, makes nothing up while the program holds it, takes over once it lets
// go, and holds it until it stops. A lock someone else made first, and holds,
// is not waited for: the service says so and schedules.
TEST_F(WinService, SchedulesOnlyWithTheLockUnlessSomeoneElseMadeIt) {
  if (!browser_.empty()) GTEST_SKIP() << "the stand-in cannot answer as the SQL Server Browser: " << browser_;
  const std::optional<std::string> first = MinutesAgo(3), second = MinutesAgo(2);
  if (!first) GTEST_SKIP() << "no earlier minute today";
  // Missed slots made up at start: the service's first tick runs one at once
  // when it schedules, which shows whether it does.
  ASSERT_TRUE(StoreConnection(ComputerName() + "\\SQLEXPRESS", kUser, kPassword, "shop", kFolder + "\\bak\\"));
  ASSERT_TRUE(StoreSlot(1, *first));
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "1"));
  const size_t from = ReadWholeFile(std::filesystem::path(Wide(kHistoryPath))).size();
  const auto logged = [&](const std::string& line) {
    return WaitUntil([&] { return HistorySince(from).find(line) != std::string::npos; }, 20000);
  };

  auto program = std::make_unique<app::SchedulerLock>(nullptr);
  ASSERT_TRUE(program->held()) << program->squatter();
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  EXPECT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000)) << ServiceState();
  ASSERT_TRUE(logged("另一个Bakwyn正在定时备份: 服务在它退出后接替")) << HistorySince(from);
  Sleep(3000);  // thirty ticks
  EXPECT_EQ(Backups("shop"), 0u) << "nothing made up while the program holds the lock";
  EXPECT_EQ(HistorySince(from).find("备份服务开始定时备份"), std::string::npos);

  program.reset();
  EXPECT_TRUE(logged("备份服务开始定时备份")) << HistorySince(from);
  EXPECT_TRUE(logged("补做错过的备份 (" + *first + ")")) << HistorySince(from);
  EXPECT_TRUE(WaitUntil([&] { return Backups("shop") == 1; }, 20000)) << Backups("shop");
  EXPECT_EQ(HistorySince(from).find("警告"), std::string::npos) << HistorySince(from);
  {
    Acquired got;
    const app::SchedulerLock next(got.callback());
    EXPECT_FALSE(next.held()) << "the service holds it";
    EXPECT_FALSE(next.squatted()) << next.squatter();
    ASSERT_EQ(RunToEnd(remote::ExePath(), L"/remove-service"), 0u);
    ASSERT_TRUE(got.within(20000)) << "the stopped service let go of the lock";
    EXPECT_TRUE(next.held());
    EXPECT_FALSE(next.abandoned()) << "let go, not left";
  }

  // Made first, and held, by an account that is neither the system nor an
  // administrator (Wine lets this test name any owner).
  ASSERT_TRUE(StoreSlot(2, *second));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:S-1-5-21-1-2-3-1001D:(A;;0x1f0001;;;WD)",
                                                                   SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // Let go of, by this thread, whatever becomes of the test.
  struct Squatter {
    HANDLE mutex;
    ~Squatter() {
      if (!mutex) return;
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
  } const squatter{CreateMutexExW(&attributes, app::kSchedulerLockName, CREATE_MUTEX_INITIAL_OWNER, MUTEX_ALL_ACCESS)};
  const DWORD created = GetLastError();
  LocalFree(descriptor);
  ASSERT_NE(squatter.mutex, nullptr);
  EXPECT_NE(created, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "nobody had it any more";
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  EXPECT_TRUE(logged("警告: 定时备份的锁 Global\\Bakwyn.Scheduler 不是系统或管理员建立的 (所有者 S-1-5-21-1-2-3-1001 "
                     "不是系统或管理员),服务不等它,照常定时备份"))
      << HistorySince(from);
  EXPECT_TRUE(WaitUntil([&] { return Backups("shop") == 2; }, 20000)) << "made up all the same: " << Backups("shop");
  EXPECT_TRUE(logged("补做错过的备份 (" + *second + ")")) << HistorySince(from);
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/remove-service"), 0u);
}

// The program file the system would run as itself, installed from a folder
// anyone may change (Downloads, a desktop, a share): a user could replace it.
// Registered is a copy in Program Files, which only administrators can change.
TEST_F(WinService, AProgramInAFolderAnyoneCanChangeIsRunFromACopyInProgramFiles) {
  const std::wstring open = L"T:\\open-folder", program = open + L"\\Bakwyn.exe";
  RunUnix(L"rm -rf " + Quoted(open));
  ASSERT_TRUE(CreateDirectoryW(open.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(remote::ExePath().c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(RunUnix(L"chmod 777 " + Quoted(open)));
  const std::wstring copy = KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Bakwyn\\Bakwyn.exe";
  DeleteFileW(copy.c_str());  // a copy left by an earlier run would hide the copying

  EXPECT_EQ(RunToEnd(program, L"/install-service"), 0u);
  EXPECT_EQ(RegisteredCommand(), L"\"" + copy + L"\" /service");
  EXPECT_EQ(app::RegisteredServiceProgram(), Utf8(copy)) << "what the window shows";
  EXPECT_EQ(ReadWholeFile(std::filesystem::path(copy)), ReadWholeFile(std::filesystem::path(remote::ExePath())))
      << "the same program";
  EXPECT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000)) << "the copy runs: " << ServiceState();

  // Installed again from there, with the copy running: kept, and registered again.
  EXPECT_EQ(RunToEnd(program, L"/install-service"), 0u);
  EXPECT_EQ(RegisteredCommand(), L"\"" + copy + L"\" /service");
  EXPECT_EQ(ServiceState(), SERVICE_RUNNING);

  EXPECT_EQ(RunToEnd(copy, L"/remove-service"), 0u);
  EXPECT_EQ(ServiceState(), -1);
  EXPECT_EQ(app::RegisteredServiceProgram(), std::nullopt);
  WaitUntil([&] { return DeleteFileW(copy.c_str()) != FALSE; }, 10000);
  RunUnix(L"rm -rf " + Quoted(open));
}

// The service depends on the SQL Server service of the stored instance when
// that service is on this computer, so that Windows starts it after the
// server; a save that names another instance moves the dependency (the
// running service changes its own). Wine starts no dependency, so the stand-in
// services are never started.
TEST_F(WinService, DependsOnTheSqlServerServiceOfTheStoredInstanceWhenItIsOnThisComputer) {
  const std::string computer = ComputerName();
  ASSERT_TRUE(Store("mEdt2", "TEXT", computer + "\\SQLEXPRESS"));
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  EXPECT_EQ(Dependencies(), std::vector<std::wstring>{}) << "no such service on this computer";
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/remove-service"), 0u);

  const InstalledService express(L"MSSQL$SQLEXPRESS"), plain(L"MSSQLSERVER");
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  EXPECT_EQ(Dependencies(), std::vector<std::wstring>{L"MSSQL$SQLEXPRESS"});
  ASSERT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000)) << ServiceState();

  // Saves, each followed by the control a save sends; one after the other they
  // change the dependency every time.
  struct Row {
    const char* name;
    std::string server;
    std::vector<std::wstring> dependencies;
  };
  const Row rows[] = {
      {"an_instance_not_on_this_computer", computer + "\\NOSUCH", {}},
      {"the_default_instance", computer, {L"MSSQLSERVER"}},
      {"a_named_instance_typed_with_blanks", computer + "\\ SQLEXPRESS ", {L"MSSQL$SQLEXPRESS"}},
      {"no_service_can_have_this_name", computer + "\\A\\B", {}},
      {"the_default_instance_by_its_name", computer + "\\MSSQLSERVER", {L"MSSQLSERVER"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(Store("mEdt2", "TEXT", row.server));
    ASSERT_TRUE(SendReload()) << GetLastError();
    EXPECT_TRUE(WaitUntil([&] { return Dependencies() == row.dependencies; }, 20000))
        << Utf8(Dependencies().empty() ? L"(none)" : Dependencies().front());
  }
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/remove-service"), 0u);
}

// A history folder that anyone may change (a user made it first, or made it a
// link) would have the system create, rename and delete files wherever that
// user chose. The service leaves it alone, keeps its history in the system
// account's own folder, and says why in the first line there. Under Wine the
// service runs as the same user as this test, so that folder is this user's.
TEST_F(WinService, AHistoryFolderAnyoneCanChangeIsLeftAloneAndTheServiceSaysWhy) {
  const std::wstring shared = KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Bakwyn";
  CreateDirectoryW(shared.c_str(), nullptr);
  ASSERT_TRUE(RunUnix(L"chmod 777 " + Quoted(shared)));
  struct Restore {
    std::wstring folder;
    ~Restore() { RunUnix(L"chmod 755 " + Quoted(folder)); }
  } restore{shared};
  const std::filesystem::path sharedLog(shared + L"\\Bakwyn.log");
  const std::filesystem::path own(KnownFolder(CSIDL_LOCAL_APPDATA) + L"\\Bakwyn\\Bakwyn.log");
  std::filesystem::remove(own);
  const std::string before = ReadWholeFile(sharedLog);

  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  const std::string started = "备份服务已启动: 不需要用户登录也会定时备份";
  ASSERT_TRUE(WaitUntil([&] { return ReadWholeFile(own).find(started) != std::string::npos; }, 20000))
      << ReadWholeFile(own);
  const std::string history = ReadWholeFile(own);
  // "YYYY-MM-DD HH:NN:SS " before every line.
  const std::string first = history.substr(0, history.find("\r\n"));
  ASSERT_GT(first.size(), 20u) << history;
  EXPECT_EQ(first.substr(20), "不能使用共享的备份历史文件夹,服务的记录写在这里: " + Utf8(shared) +
                                  ": Everyone (S-1-1-0) 可以修改 (权限 0x001301FF)");
  EXPECT_EQ(ReadWholeFile(sharedLog), before) << "nothing written into the shared folder";
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/remove-service"), 0u);
  EXPECT_NE(ReadWholeFile(own).find("备份服务已停止"), std::string::npos);
}

// The system may deliver a control after the service reported that it
// stopped. The controls outlive every run, and a stopped run answers without
// reporting or signalling anything.
TEST(ServiceControls, AControlAfterTheServiceStoppedIsAnsweredAndChangesNothing) {
  app::ServiceControls controls;
  EXPECT_EQ(controls.control(SERVICE_CONTROL_STOP, 0), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << "before any run";
  EXPECT_EQ(WaitForSingleObject(controls.stopEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // No service manager here: the reports go to no service.
  controls.begin(nullptr);
  controls.report(SERVICE_RUNNING);
  EXPECT_EQ(controls.control(SERVICE_CONTROL_INTERROGATE, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(controls.control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(controls.resumeEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(controls.control(SERVICE_CONTROL_PAUSE, 0), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  // The reload a save sends; the other codes of the service's own range are none of its.
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(controls.control(app::kReloadControl, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "taken by one wait";
  // The restore test the tray menu asks for.
  EXPECT_EQ(WaitForSingleObject(controls.restoreTestEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(controls.control(app::kRestoreTestControl, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(controls.restoreTestEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "no reload";
  // The restore window's: a stored request to run, the restore under way to end.
  EXPECT_EQ(controls.control(app::kRestoreDatabaseControl, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(controls.restoreEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(controls.cancelRestoreEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(controls.control(app::kCancelRestoreControl, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(controls.cancelRestoreEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(controls.restoreEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (const DWORD code : {132ul, 255ul}) {
    EXPECT_EQ(controls.control(code, 0), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << code;
    for (const HANDLE event : {controls.reloadEvent(), controls.restoreTestEvent(), controls.restoreEvent(),
                               controls.cancelRestoreEvent()})
      EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << code;
  }
  EXPECT_EQ(controls.control(SERVICE_CONTROL_STOP, 0), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(controls.state(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(WaitForSingleObject(controls.stopEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  controls.report(SERVICE_STOPPED);

  for (const DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN},
                              DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_POWEREVENT},
                              app::kReloadControl, app::kRestoreDatabaseControl, app::kCancelRestoreControl}) {
    SCOPED_TRACE(control);
    EXPECT_EQ(controls.control(control, PBT_APMRESUMEAUTOMATIC), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  }
  EXPECT_EQ(controls.state(), static_cast<DWORD>(SERVICE_STOPPED)) << "no stop pending after the stop";
  EXPECT_EQ(WaitForSingleObject(controls.resumeEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "a late wake reaches nothing";
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nor a late reload";
  EXPECT_EQ(WaitForSingleObject(controls.restoreEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nor a late restore";

  // Another run in the same process starts with its events clear.
  SetEvent(controls.reloadEvent());
  controls.begin(nullptr);
  EXPECT_EQ(WaitForSingleObject(controls.reloadEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(controls.stopEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(controls.control(SERVICE_CONTROL_INTERROGATE, 0), static_cast<DWORD>(NO_ERROR));
}

// The restore window of a program that stands by while the service
// schedules: the restore is asked of the service (the request stored, its
// control sent), which plans it again from its own list and runs it; the
// window shows the service's lines from the history and its answer. As a new
// database; then over the current one, cancelled from the window through the
// service, which leaves the database open to every user.
TEST_F(WinService, TheRestoreWindowOfAProgramStandingByHasTheServiceRestore) {
  if (!browser_.empty()) GTEST_SKIP() << "the stand-in cannot answer as the SQL Server Browser: " << browser_;
  const std::optional<std::string> missed = MinutesAgo(3);
  if (!missed) GTEST_SKIP() << "no earlier minute today";
  const std::string folder = kFolder + "\\bak\\";
  const std::string data = kFolder + "\\data\\";
  CreateDirectoryW(Wide(kFolder).c_str(), nullptr);
  ASSERT_TRUE(CreateDirectoryW(Wide(data).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  standIn_.setDefaultDataPath(data);
  StoreConnection(ComputerName() + "\\SQLEXPRESS", kUser, kPassword, "shop", folder);
  StoreSlot(1, *missed);
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "1"));
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));
  // The service makes the missed slot up at its start: the backup to restore.
  ASSERT_EQ(RunToEnd(remote::ExePath(), L"/install-service"), 0u);
  ASSERT_TRUE(WaitUntil([&] { return Backups("shop") == 1; }, 60000)) << "state " << ServiceState();
  ASSERT_TRUE(WaitUntil([&] { return standIn_.record().statements.back().answered; }, 20000));

  app().start();
  app().menu("N1");
  app().waitForLogText("备份服务或另一个用户的备份程序正在定时备份: 这里显示它的记录", 20000);
  app().click("BitBtn3");
  app().menu("N9");
  DWORD code = 1;
  RunDriver(L"restore wait 20000", &code);
  ASSERT_EQ(code, 0u);
  std::string rows;
  ASSERT_TRUE(WaitUntil([&] { return !(rows = RunDriver(L"restore rows")).empty(); }, 20000));
  RunDriver(L"restore select 0", &code);
  EXPECT_EQ(code, 0u);
  const std::string name = RunDriver(L"restore text mEdt1");
  ASSERT_EQ(name.rfind("shop_恢复_", 0), 0u) << name;
  const std::string newName = name.substr(0, name.find_last_not_of("\r\n") + 1);

  // As a new database.
  size_t from = standIn_.record().statements.size();
  RunDriver(L"restore click BitBtn2", &code);
  std::string progress;
  ASSERT_TRUE(WaitUntil(
      [&] {
        progress = RunDriver(L"restore text mavMemo2");
        return progress.find("恢复成功: 数据库 " + newName) != std::string::npos;
      },
      60000))
      << progress;
  EXPECT_NE(progress.find("已请求备份服务恢复数据库"), std::string::npos) << progress;
  EXPECT_NE(progress.find("备份服务开始恢复数据库 ("), std::string::npos) << "the service's own line: " << progress;
  EXPECT_NE(progress.find("数据库恢复成功: "), std::string::npos) << "the service's lines, from the history: " << progress;
  std::vector<std::string> sent;
  for (size_t i = from; i < standIn_.record().statements.size(); ++i) sent.push_back(standIn_.record().statements[i].text);
  const auto restore = std::find_if(sent.begin(), sent.end(), [&](const std::string& s) {
    return s.rfind("RESTORE DATABASE [" + newName + "] FROM DISK = N'" + folder, 0) == 0;
  });
  ASSERT_NE(restore, sent.end()) << ::testing::PrintToString(sent);
  const auto files = std::find_if(sent.begin(), sent.end(), [&](const std::string& s) {
    return s.rfind("RESTORE FILELISTONLY FROM DISK = N'" + folder, 0) == 0;
  });
  EXPECT_LT(files - sent.begin(), restore - sent.begin()) << ::testing::PrintToString(sent);
  EXPECT_NE(restore->find("TO N'" + data + newName + ".mdf'"), std::string::npos) << *restore;
  EXPECT_EQ(ReadString(kStatusKey, "RestoreRequest").value_or("?"), "") << "taken, never run again";
  const std::string answer = ReadString(kStatusKey, "RestoreRequestAnswer").value_or("");
  EXPECT_NE(answer.find("|succeeded|"), std::string::npos) << answer;

  // Over the current database, slow on the server, cancelled from the window.
  test::StandInFault slow;
  slow.kind = "slow";
  slow.on = "restore";
  slow.seconds = 20;
  standIn_.arm(slow);
  from = standIn_.record().statements.size();
  RunDriver(L"restore click RadioButton2", &code);
  RunDriver(L"restore click BitBtn2", &code);
  ASSERT_TRUE(app().answer(IDYES)) << RunDriver(L"restore text mavMemo2");
  ASSERT_TRUE(WaitUntil(
      [&] {
        const test::StandInRecord record = standIn_.record();
        return std::any_of(record.statements.begin() + static_cast<std::ptrdiff_t>(from), record.statements.end(),
                           [](const test::StandInStatement& s) { return s.text.rfind("RESTORE DATABASE [shop]", 0) == 0; });
      },
      60000))
      << RunDriver(L"restore text mavMemo2");
  RunDriver(L"restore click BitBtn3", &code);
  ASSERT_TRUE(WaitUntil(
      [&] {
        progress = RunDriver(L"restore text mavMemo2");
        return progress.find("恢复已取消: 数据库 shop") != std::string::npos;
      },
      60000))
      << progress;
  EXPECT_NE(progress.find("恢复前的安全备份: " + folder), std::string::npos) << progress;
  bool open = false;
  for (const test::StandInDatabase& d : standIn_.catalog())
    open |= d.name == "shop" && d.state == "ONLINE" && d.userAccess == "MULTI_USER";
  EXPECT_TRUE(open) << "the database is usable again: " << progress;
  const test::StandInRecord record = standIn_.record();
  EXPECT_TRUE(std::any_of(record.statements.begin() + static_cast<std::ptrdiff_t>(from), record.statements.end(),
                          [](const test::StandInStatement& s) { return s.cancelled; }))
      << "the service cancelled the statement on the server";
  ASSERT_TRUE(app().quit());
}

// Without administrator rights the restore window starts the program with
// them just to store its request; the program takes a well-formed one only.
TEST_F(WinService, TheProgramStartedToStoreARestoreRequestStoresOnlyAWellFormedOne) {
  const std::string request = "1|77-5|1000|new|2|前台|T:\\bak\\2026年12月10日02时00分.bak|shop 副本";
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreRequest", ""));
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/request-restore " + Wide(settings::Base64Encode("1|77-5|x"))),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/request-restore %%%"), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(ReadString(kStatusKey, "RestoreRequest").value_or("?"), "");
  EXPECT_EQ(RunToEnd(remote::ExePath(), L"/request-restore " + Wide(settings::Base64Encode(request))), 0u);
  // Stamped when stored, not when the window asked: the consent may take a while.
  const std::string stored = ReadString(kStatusKey, "RestoreRequest").value_or("");
  const size_t stamp = std::string("1|77-5|").size();
  ASSERT_GT(stored.size(), stamp + 13) << stored;
  EXPECT_EQ(stored.substr(0, stamp), "1|77-5|");
  EXPECT_EQ(stored.substr(stored.find('|', stamp)), request.substr(request.find('|', stamp))) << stored;
  const long long at = std::stoll(stored.substr(stamp, stored.find('|', stamp) - stamp));
  EXPECT_GT(at, 1000LL * 1000 * 1000 * 1000) << "now, not the window's stamp of 1970: " << stored;
  EXPECT_EQ(MainWindowCount(), 0) << "no window, no tray icon";
}

}  // namespace
}  // namespace bakwyn
