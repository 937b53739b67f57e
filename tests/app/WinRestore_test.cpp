// Bakwyn.exe proves its backups against the stand-in server, driven as a user
// would: each backup is written with checksums and verified (the set just
// written), a verification that fails is a failed backup and is not copied,
// and the tray menu's restore test restores the newest verified backup into a
// scratch database, checks it and drops it, or says why it did not run.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

using WinRestore = ProgramTest;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The first line of the window's log that starts with `prefix`, waited for; "" when none came.
std::string WaitForLineStarting(App& app, const std::string& prefix, DWORD timeoutMs = 30000) {
  std::string found;
  WaitUntil(
      [&] {
        for (const std::string& text : Texts(app.log())) {
          if (StartsWith(text, prefix)) {
            found = text;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::vector<std::string> StatementTexts(const test::StandInRecord& record, size_t from = 0) {
  std::vector<std::string> texts;
  for (size_t i = from; i < record.statements.size(); ++i) texts.push_back(record.statements[i].text);
  return texts;
}

bool Exists(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST_F(WinRestore, BackupsAreVerifiedAndTheTrayMenuRestoresTheNewestChecksAndDropsIt) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const std::string folder = "T:\\e2e\\校验\\";
  const std::string copies = "T:\\e2e\\副本\\";
  const Minute first = ComingMinute(10);
  StoreConnection(ComputerName(), "sa", "pw", "shop", folder);
  StoreSlot(1, first.hhnn());
  ASSERT_TRUE(WriteString(kStatusKey, "CopyFolder", copies));
  // Only from the menu here: the schedule's own test would follow the first slot on a Sunday.
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));

  App& a = app();
  a.start();
  a.menu("N1");
  const std::string backup = folder + first.fileName();
  ASSERT_TRUE(WaitForBackupFile(first, Wide(backup))) << backup;
  std::vector<std::string> texts = Texts(a.waitForLogText(Succeeded(backup), 30000));
  ASSERT_NE(std::find(texts.begin(), texts.end(), Succeeded(backup)), texts.end()) << ::testing::PrintToString(texts);

  // The backup with checksums, then the set just written read back.
  test::StandInRecord record = standIn_.record();
  std::vector<std::string> sent = StatementTexts(record);
  ASSERT_EQ(sent.size(), 3u) << ::testing::PrintToString(sent);
  EXPECT_TRUE(StartsWith(sent[0], "BACKUP DATABASE [shop] TO  DISK = N'" + backup + "'")) << sent[0];
  EXPECT_NE(sent[0].find("CHECKSUM"), std::string::npos) << sent[0];
  EXPECT_EQ(sent[1], "RESTORE HEADERONLY FROM DISK = N'" + backup + "'");
  EXPECT_EQ(sent[2], "RESTORE VERIFYONLY FROM DISK = N'" + backup + "' WITH FILE = 1, CHECKSUM");
  EXPECT_TRUE(Exists(folder + "Bakwyn校验记录.txt")) << "the verified backup is recorded beside it";
  const std::string copy = copies + ComputerName() + "\\shop\\" + first.fileName();
  EXPECT_TRUE(WaitUntil([&] { return Exists(copy); }, 20000)) << copy;

  // The restore test from the tray menu.
  a.click("BitBtn3");
  a.menu("N8");
  const std::string passed = WaitForLineStarting(a, "恢复测试成功: " + backup + " ");
  ASSERT_FALSE(passed.empty()) << ::testing::PrintToString(Texts(a.log()));
  texts = Texts(a.log());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "开始恢复测试: " + backup), texts.end());
  record = standIn_.record();
  sent = StatementTexts(record, 3);
  const std::string scratch = "T:\\e2e\\校验\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_shop_";
  // The catalogue first: no database has the scratch name yet.
  ASSERT_EQ(sent.size(), 5u) << ::testing::PrintToString(sent);
  EXPECT_EQ(sent[0], "select name from master..sysdatabases order by name");
  sent.erase(sent.begin());
  EXPECT_EQ(sent[0], "RESTORE FILELISTONLY FROM DISK = N'" + backup + "' WITH FILE = 1");
  EXPECT_TRUE(StartsWith(sent[1], "RESTORE DATABASE [Bakwyn_RestoreTest_shop] FROM DISK = N'" + backup +
                                      "' WITH FILE = 1, MOVE N'")) << sent[1];
  EXPECT_NE(sent[1].find("TO N'" + scratch + "1.mdf'"), std::string::npos) << sent[1];
  EXPECT_NE(sent[1].find("TO N'" + scratch + "2.ldf'"), std::string::npos) << sent[1];
  EXPECT_EQ(sent[2], "DBCC CHECKDB ([Bakwyn_RestoreTest_shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
  EXPECT_EQ(sent[3], "DROP DATABASE [Bakwyn_RestoreTest_shop]");
  EXPECT_FALSE(Exists(scratch + "1.mdf")) << "the scratch database's files went with it";

  // A test that cannot reach the server did not run, and says so.
  standIn_.listen(false);
  a.menu("N8");
  const std::string notRun = WaitForLineStarting(a, "恢复测试未运行: 无法连接SQL服务器");
  EXPECT_FALSE(notRun.empty()) << ::testing::PrintToString(Texts(a.log()));
  standIn_.listen(true);

  // A verification that fails is a failed backup, and is not copied.
  test::StandInFault cut;
  cut.kind = "drop";
  cut.on = "verify";
  standIn_.arm(cut);
  const Minute second = ComingMinute(10);
  a.menu("N1");
  a.click("dxCheckEdit2");
  a.typeTime("dxTimeEdit2", second.hhnn());
  a.click("BitBtn1");
  a.waitForLogText("保存成功!", 30000);
  const std::string failedBackup = folder + second.fileName();
  ASSERT_TRUE(WaitForBackupFile(second, Wide(failedBackup))) << failedBackup;
  const std::string cause = WaitForLineStarting(a, "原因: 备份校验未通过: ");
  ASSERT_FALSE(cause.empty()) << ::testing::PrintToString(Texts(a.log()));
  texts = Texts(a.log());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), Succeeded(failedBackup)), texts.end()) << "never a success";
  EXPECT_NE(std::find(texts.begin(), texts.end(), "数据库备份失败!"), texts.end());
  Sleep(3000);
  EXPECT_FALSE(Exists(copies + ComputerName() + "\\shop\\" + second.fileName())) << "an unproven backup is not copied";
}

}  // namespace
}  // namespace bakwyn
