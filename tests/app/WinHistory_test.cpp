// Bakwyn.exe telling why a backup failed and keeping its history over a crash,
// handing over to a start with administrator rights, and reaching a named
// instance through the SQL Server Browser, driven from a second process against
// the stand-in server.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using namespace bakwyn::exe;

const std::string kUser = "sa", kPassword = "备份'pw";
const fs::path kHistory = L"C:\\ProgramData\\Bakwyn\\Bakwyn.log";

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The texts after "数据库备份失败!": the cause line that follows each failure.
std::vector<std::string> CausesAfterFailures(const std::vector<std::string>& texts) {
  std::vector<std::string> causes;
  for (size_t i = 0; i + 1 < texts.size(); ++i) {
    if (texts[i] == kFailed) causes.push_back(texts[i + 1]);
  }
  return causes;
}

class WinHistory : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop"});
    std::error_code ignored;
    fs::remove_all(kHistory.parent_path(), ignored);
  }
  void TearDown() override {
    ProgramTest::TearDown();
    std::error_code ignored;
    fs::remove_all(kHistory.parent_path(), ignored);
  }

  // Settings as a save leaves them, slot 1 at `minute`, backing up into `folder`.
  void storeArmed(const std::string& server, const std::string& folder, const Minute& minute) {
    Store("mEdt2", "TEXT", server);
    Store("mEdt3", "TEXT", kUser);
    Store("mEdt4", "TEXT", kPassword);
    Store("mEdt1", "TEXT", "shop");
    Store("mavBEdit2", "TEXT", folder);
    Store("dxCheckEdit1", "CHECKED", "-1");
    Store("dxTimeEdit1", "TEXT", minute.hhnn());
  }
};

TEST_F(WinHistory, AFailureSaysWhyAndTheHistoryKeepsBothRunsOverAKill) {
  const Minute minute = ComingMinute(25);
  storeArmed(ComputerName(), kFolder + "\\refused\\", minute);
  // The server's service account may not write the folder.
  test::StandInFault denied;
  denied.kind = "denied";
  standIn_.arm(denied);
  app().start();
  app().menu("N1");  // the log pane is built with the window
  Sleep(static_cast<DWORD>(minute.msFromNow()));
  std::vector<std::string> first = Texts(app().waitForLogText(kFailed, 60000));
  first = Texts(app().waitForLog(first.size() + 1));
  const std::vector<std::string> refused = CausesAfterFailures(first);
  ASSERT_EQ(refused.size(), 1u) << ::testing::PrintToString(first);
  EXPECT_EQ(refused[0].rfind("原因: 3201 ", 0), 0u) << refused[0];
  EXPECT_NE(refused[0].find("Operating system error 5"), std::string::npos) << refused[0];

  // Killed, as by a crash or a power cut; the server is then stopped, and the
  // program started again runs the slot of this minute once more.
  app().process().close();
  endApp();
  standIn_.listen(false);
  app().start();
  app().menu("N1");
  std::vector<std::string> second = Texts(app().waitForLogText(kFailed, 60000));
  second = Texts(app().waitForLog(second.size() + 1));
  const std::vector<std::string> stopped = CausesAfterFailures(second);
  ASSERT_EQ(stopped.size(), 1u) << ::testing::PrintToString(second);
  EXPECT_EQ(stopped[0].rfind("原因: ", 0), 0u) << stopped[0];
  EXPECT_EQ(stopped[0].find("3201"), std::string::npos) << "the cause of this failure, not of the first";

  // The history holds the lines of both runs, each with its full date.
  const std::string history = ReadAll(kHistory);
  size_t starts = 0;
  for (size_t at = history.find(" 备份记录:\r\n"); at != std::string::npos; at = history.find(" 备份记录:\r\n", at + 1))
    ++starts;
  EXPECT_EQ(starts, 2u) << history;
  EXPECT_NE(history.find(" " + refused[0] + "\r\n"), std::string::npos) << history;
  EXPECT_NE(history.find(" " + stopped[0] + "\r\n"), std::string::npos) << history;
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::string date = std::to_string(now.wYear) + "-" + Two(now.wMonth) + "-" + Two(now.wDay) + " ";
  EXPECT_EQ(history.rfind(date, 0), 0u) << "every line starts with its full date: " << history.substr(0, 40);
}

TEST_F(WinHistory, AStartWithAdministratorRightsWaitsForTheRunningOneAndOpensItsSettings) {
  Store("mEdt1", "TEXT", "shop");
  Store("dxCheckEdit1", "CHECKED", "-1");
  Store("dxTimeEdit1", "TEXT", FarFromNow());
  app().start();
  // As the restart with administrator rights starts it: with "/settings".
  Process restarted;
  ASSERT_TRUE(restarted.start(remote::ExePath(), L"/settings"));
  // Never two schedulers: while the first runs, the second waits without a window.
  Sleep(2000);
  EXPECT_FALSE(restarted.ended(0)) << "it waits for the running one to end";
  EXPECT_EQ(remote::FindMain(restarted.pi.dwProcessId), nullptr);
  EXPECT_EQ(MainWindowCount(), 1);
  ASSERT_TRUE(app().quit());
  HWND window = remote::WaitFor(&remote::FindMain, restarted.pi.dwProcessId, 30000);
  ASSERT_NE(window, nullptr) << "the restarted program took over";
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 20000)) << "with its settings window open";
  EXPECT_EQ(MainWindowCount(), 1);
  restarted.close();
}

// Writes the instance list as SQL Server does, in the 64-bit registry.
class InstanceKeys {
 public:
  explicit InstanceKeys(const std::wstring& folder) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNames, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    const wchar_t data[] = L"MSSQL16.SQLEXPRESS";
    ok_ = key && RegSetValueExW(key, L"SQLEXPRESS", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data) ==
                     ERROR_SUCCESS;
    if (key) RegCloseKey(key);
    key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettings, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    ok_ = ok_ && key &&
          RegSetValueExW(key, L"BackupDirectory", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                         static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
  }
  ~InstanceKeys() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettings, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\MSSQL16.SQLEXPRESS",
                    KEY_WOW64_64KEY, 0);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNames, 0, KEY_WRITE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"SQLEXPRESS");
      RegCloseKey(key);
    }
  }
  bool ok() const { return ok_; }

 private:
  static constexpr const wchar_t* kNames = L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\Instance Names\\SQL";
  static constexpr const wchar_t* kSettings =
      L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\MSSQL16.SQLEXPRESS\\MSSQLServer";
  bool ok_ = false;
};

// FreeTDS asks the SQL Server Browser only without TDSPORT, which points it
// straight at the stand-in's port: the program is started without it.
class WithoutTdsPort {
 public:
  WithoutTdsPort() {
    wchar_t value[64] = {};
    if (GetEnvironmentVariableW(L"TDSPORT", value, 64)) saved_ = value;
    SetEnvironmentVariableW(L"TDSPORT", nullptr);
  }
  ~WithoutTdsPort() {
    if (!saved_.empty()) SetEnvironmentVariableW(L"TDSPORT", saved_.c_str());
  }

 private:
  std::wstring saved_;
};

TEST_F(WinHistory, ANewUsersSaveReachesTheExpressInstanceFoundInTheRegistry) {
  const std::string refusal = standIn_.setInstances({"SQLEXPRESS"});
  if (!refusal.empty()) GTEST_SKIP() << "the stand-in cannot answer as the SQL Server Browser: " << refusal;
  const InstanceKeys keys(L"T:\\e2e\\express");
  ASSERT_TRUE(keys.ok());
  const WithoutTdsPort direct;
  app().start();
  app().menu("N1");
  // The only instance installed is a named one: it is chosen.
  const std::string server = ComputerName() + "\\SQLEXPRESS";
  EXPECT_EQ(app().text("mEdt2"), server);

  // A folder the server cannot create is refused at saving, with its reason.
  app().type("mEdt4", kPassword);
  app().type("mEdt1", "shop");
  app().type("mavBEdit2", "Q:\\nowhere");
  app().click("BitBtn1");
  const auto refused = app().answer(IDOK);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->text.find("22048 xp_create_subdir() returned error 3"), std::string::npos) << refused->text;
  EXPECT_NE(refused->text.find("NT Service"), std::string::npos) << "a hint about the service account";
  EXPECT_EQ(StoredValueCount(), 0) << "nothing stored";

  // A folder it can write: saved with the instance, and backed up through it.
  const Minute minute = ComingMinute(20);
  app().type("mavBEdit2", kFolder + "\\express");
  app().click("dxCheckEdit1");
  app().typeTime("dxTimeEdit1", minute.hhnn());
  app().click("BitBtn1");
  const std::vector<std::string> saved = Texts(app().waitForLogText("保存成功!"));
  EXPECT_EQ(saved, (std::vector<std::string>{"数据库连接成功!", "保存成功!"}));
  EXPECT_EQ(Stored("mEdt2", "TEXT"), server);
  const std::wstring file = Wide(kFolder + "\\express\\" + minute.fileName());
  ASSERT_TRUE(WaitForBackupFile(minute, file));
  const test::StandInRecord record = standIn_.record();
  const auto backup = std::find_if(record.statements.begin(), record.statements.end(), [](const test::StandInStatement& s) {
    return s.database == "shop";
  });
  ASSERT_NE(backup, record.statements.end());
  bool throughTheInstance = false;
  for (const test::StandInLogin& login : record.logins) throughTheInstance |= login.instance == "SQLEXPRESS";
  EXPECT_TRUE(throughTheInstance) << "the logins named the instance";
  EXPECT_FALSE(record.browserRequests.empty()) << "the driver asked the Browser for the port";
}

}  // namespace
}  // namespace bakwyn
