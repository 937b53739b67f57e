// Bakwyn.exe on a computer where SQL Server Express is installed: the instance
// found in the registry, chosen for a new user, saved, checked for its backup
// folder and reached through the SQL Server Browser, driven from a second
// process against the stand-in server answering as the Browser on UDP 1434.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

const std::string kUser = "sa", kPassword = "备份'pw";

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

// FreeTDS asks the SQL Server Browser only without TDSPORT, which would point
// it straight at the stand-in's port: this program runs without it (its test
// runner is told so), and so does the Bakwyn.exe it starts.
class WinInstance : public ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::getenv("TDSPORT"), nullptr) << "the runner must leave TDSPORT out for this test";
    ASSERT_TRUE(ForgetStoredStateRestoreTestOff());
    standIn_.reset();
    const std::string lane = LaneDirectory();
    ASSERT_NE(lane, "");
    standIn_.setDrives({{"T", lane + "/testdrive"}});
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop"});
  }
  void TearDown() override {
    ProgramTest::TearDown();
    standIn_.setInstances({});
  }
};

TEST_F(WinInstance, ANewUsersSaveReachesTheExpressInstanceFoundInTheRegistry) {
  const std::string refusal = standIn_.setInstances({"SQLEXPRESS"});
  if (!refusal.empty()) GTEST_SKIP() << "the stand-in cannot answer as the SQL Server Browser: " << refusal;
  const InstanceKeys keys(L"T:\\e2e\\express");
  ASSERT_TRUE(keys.ok());
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
  {
    const test::StandInRecord seen = standIn_.record();
    std::string logins;
    for (const test::StandInLogin& l : seen.logins)
      logins += "[" + l.instance + (l.refusedInstance ? " refused" : "") + (l.accepted ? " accepted" : "") + "]";
    ASSERT_NE(refused->text.rfind("无法联接", 0), 0u)
        << "the save did not connect; logins " << logins << ", Browser requests " << seen.browserRequests.size();
  }
  EXPECT_NE(refused->text.find("22048 xp_create_subdir() returned error 3"), std::string::npos) << refused->text;
  EXPECT_NE(refused->text.find("NT Service"), std::string::npos) << "a hint about the service account";
  EXPECT_EQ(StoredValueCount(), 0) << "nothing stored";

  // A folder it can write: saved with the instance, and backed up through it.
  const Minute minute = ComingMinute(15);
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
