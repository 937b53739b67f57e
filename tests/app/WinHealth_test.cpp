// Bakwyn.exe sees what would make its backups fail later, against the
// stand-in server, driven as a user would: a save of a database in the FULL
// recovery model whose log waits for a log backup, kept on the volume of the
// backup folder, says both (in the log, with a balloon); the log backups, asked
// for on the options page, follow the slot's full backup into a ".trn" beside
// it, verified as the full backup is.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

using WinHealth = ProgramTest;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

size_t CountStarting(const std::vector<std::string>& texts, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return StartsWith(t, prefix); }));
}

TEST_F(WinHealth, ASaveWarnsOfTheGrowingLogAndTheSameDiskAndTheSlotBacksTheLogUp) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  test::StandInDatabaseHealth health;
  health.recovery = "FULL";
  health.fullBackup = true;  // a full backup made before: the log waits for its backup
  health.logSizeMb = 2048;
  health.logUsedPercent = 91.5;
  health.files = std::vector<test::StandInFileSpec>{{"ROWS", "T:\\数据\\shop.mdf", 1280}, {"LOG", "T:\\数据\\shop_log.ldf", 256}};
  standIn_.configureDatabase("shop", health);
  const std::string folder = "T:\\e2e\\健康\\";
  const Minute first = ComingMinute(25);
  StoreConnection(ComputerName(), "sa", "pw", "shop", folder);
  StoreSlot(1, first.hhnn());

  App& a = app();
  a.start();
  a.menu("N1");
  // The log backups, ticked: explained and asked for first.
  a.click("dxCheckEdit8");
  const std::optional<Box> asked = a.answer(6);
  ASSERT_TRUE(asked.has_value());
  EXPECT_NE(asked->text.find(".trn"), std::string::npos) << asked->text;
  EXPECT_TRUE(a.checked("dxCheckEdit8"));

  a.click("BitBtn1");
  a.waitForLogText("保存成功!", 30000);
  std::vector<std::string> texts;

  // The slot: the full backup, verified, then its log, verified, beside it.
  const std::string backup = folder + first.fileName();
  std::string log = backup;
  log.replace(log.size() - 4, 4, ".trn");
  ASSERT_TRUE(WaitForBackupFile(first, Wide(backup))) << backup;
  texts = Texts(a.waitForLogText("事务日志备份成功!  [文件名:" + log + "]", 60000));
  const auto success = std::find(texts.begin(), texts.end(), Succeeded(backup));
  const auto logged = std::find(texts.begin(), texts.end(), "事务日志备份成功!  [文件名:" + log + "]");
  ASSERT_NE(success, texts.end()) << ::testing::PrintToString(texts);
  ASSERT_NE(logged, texts.end()) << ::testing::PrintToString(texts);
  EXPECT_LT(success, logged);
  EXPECT_NE(GetFileAttributesW(Wide(log).c_str()), INVALID_FILE_ATTRIBUTES);
  std::vector<std::string> sent;
  for (const test::StandInStatement& s : standIn_.record().statements) {
    if (StartsWith(s.text, "BACKUP ") || StartsWith(s.text, "RESTORE ")) sent.push_back(s.text);
  }
  const auto logBackup = std::find_if(sent.begin(), sent.end(), [](const std::string& s) { return StartsWith(s, "BACKUP LOG [shop] "); });
  ASSERT_NE(logBackup, sent.end()) << ::testing::PrintToString(sent);
  EXPECT_EQ(*logBackup, "BACKUP LOG [shop] TO  DISK = N'" + log +
                            "' WITH  NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM");
  ASSERT_GE(sent.end() - logBackup, 3);
  EXPECT_EQ(logBackup[1], "RESTORE HEADERONLY FROM DISK = N'" + log + "'");
  EXPECT_EQ(logBackup[2], "RESTORE VERIFYONLY FROM DISK = N'" + log + "' WITH FILE = 1, CHECKSUM");
  EXPECT_TRUE(StartsWith(logBackup[-1], "RESTORE VERIFYONLY FROM DISK = N'" + backup + "'")) << "after the full backup's";
}

}  // namespace
}  // namespace bakwyn
