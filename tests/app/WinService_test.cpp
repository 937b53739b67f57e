// Bakwyn.exe as a Windows service, driven from a second process against the
// stand-in server: missed slots made up at start and at waking only when asked; the service
// installed from the tray menu; the backup made by the service with no
// program running; the program started beside the running service makes no
// backup of its own and shows the service's lines; a save in the window is
// what the service runs at the next slot; unticking removes the service.
//
// The service runs in the prefix's services.exe, whose environment has no
// TDSPORT: it reaches the stand-in through the SQL Server Browser, by the
// instance named in the server field, as on a computer with SQL Server Express;
// so does the program here.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

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

  // Missed slots are not made up unless asked: the default.
  ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "0"));
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
  EXPECT_EQ(ReadString(kStatusKey, "Slot1LastRun").value_or("").size(), 8u) << "the slot's date is kept";

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
  EXPECT_NE(std::find(texts.begin(), texts.end(), "备份服务正在运行: 由服务定时备份,这里显示服务的记录"), texts.end());

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
  ASSERT_TRUE(WaitForBackupFile(second, Wide(folder + second.fileName())));
  Sleep(3000);
  EXPECT_EQ(Backups("shop2"), 1u) << "one backup at the minute: the service's, none of the program's";
  EXPECT_EQ(Backups("shop"), 3u);

  // Chosen again: the service is removed and the program schedules again.
  app().click("BitBtn3");
  app().menu("N6");
  ASSERT_TRUE(WaitUntil([] { return ServiceState() == -1; }, 30000)) << "state " << ServiceState();
  texts = Texts(app().waitForLogText("已移除备份服务: 由本程序定时备份", 20000));
  EXPECT_NE(std::find(texts.begin(), texts.end(), "备份服务没有运行: 由本程序定时备份"), texts.end())
      << ::testing::PrintToString(texts);
}

// Without administrator rights the window starts the program again with them
// (the system asks the user) just to install or remove the service; that
// program's exit code tells the window how it went.
TEST_F(WinService, TheProgramStartedToInstallOrRemoveTheServiceDoesJustThat) {
  Process install;
  ASSERT_TRUE(install.start(remote::ExePath(), L"/install-service"));
  ASSERT_TRUE(install.ended(30000));
  EXPECT_EQ(install.exitCode(), 0u);
  EXPECT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000)) << "started: " << ServiceState();
  EXPECT_EQ(MainWindowCount(), 0) << "no window, no tray icon";

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

  // Installed twice is installed once.
  Process again;
  ASSERT_TRUE(again.start(remote::ExePath(), L"/install-service"));
  ASSERT_TRUE(again.ended(30000));
  EXPECT_EQ(again.exitCode(), 0u);

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

}  // namespace
}  // namespace bakwyn
