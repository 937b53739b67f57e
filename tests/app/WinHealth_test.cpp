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
  ASSERT_TRUE(WaitUntil([&] { return CountStarting(Texts(a.log()), "警告: 备份目录 " + folder) > 0; }, 20000))
      << ::testing::PrintToString(Texts(a.log()));
  std::vector<std::string> texts = Texts(a.log());
  EXPECT_EQ(CountStarting(texts, "警告: 备份目录 " + folder), 1u) << ::testing::PrintToString(texts);
  EXPECT_FALSE(a.boxShown()) << "a save's warnings stand in the log, not in a box";
  // With the log backups asked for, the log waiting for one is no problem any more.
  EXPECT_EQ(CountStarting(texts, "警告: 数据库 shop 为完整恢复模式"), 0u) << ::testing::PrintToString(texts);

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

// Without the log backups, the save names the growing log and its figures,
// and a disk that holds less than the last backup.
TEST_F(WinHealth, ASaveOfADatabaseWhoseLogIsNeverBackedUpSaysSo) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  test::StandInDatabaseHealth health;
  health.recovery = "FULL";
  health.fullBackup = true;
  health.logSizeMb = 2048;
  health.logUsedPercent = 91.5;
  standIn_.configureDatabase("shop", health);
  const std::string folder = "T:\\e2e\\健康2\\";
  StoreConnection(ComputerName(), "sa", "pw", "shop", folder);
  StoreSlot(1, FarFromNow());
  // The last backup is larger than the room left on its disk (a sparse file of 8 TB).
  CreateDirectoryW(L"T:\\e2e", nullptr);
  CreateDirectoryW(Wide(folder).c_str(), nullptr);
  {
    const HANDLE last = CreateFileW(Wide(folder + "2026年12月01日02时00分.bak").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(last, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 8LL << 40;
    const bool grown = SetFilePointerEx(last, size, nullptr, FILE_BEGIN) && SetEndOfFile(last);
    CloseHandle(last);
    ASSERT_TRUE(grown) << GetLastError();
  }

  App& a = app();
  a.start();
  a.menu("N1");
  a.click("BitBtn1");
  a.waitForLogText("保存成功!", 30000);
  WaitUntil([&] { return CountStarting(Texts(a.log()), "警告: 备份目录 " + folder + " 所在磁盘只剩 ") > 0; }, 20000);
  const std::vector<std::string> texts = Texts(a.log());
  ASSERT_EQ(CountStarting(texts, "警告: 数据库 shop 为完整恢复模式"), 1u) << ::testing::PrintToString(texts);
  const std::string line = *std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
    return StartsWith(t, "警告: 数据库 shop 为完整恢复模式");
  });
  EXPECT_NE(line.find(": 日志 2.0 GB,已使用 92%"), std::string::npos) << line;
  EXPECT_EQ(CountStarting(texts, "警告: 备份目录 " + folder + " 所在磁盘只剩 "), 1u) << ::testing::PrintToString(texts);
  DeleteFileW(Wide(folder + "2026年12月01日02时00分.bak").c_str());
}

// A server that never answers one of the checks' questions holds the save for
// the checks' time-out, not for good: that check is said to be skipped, the
// others still warn, and the window answers again.
TEST_F(WinHealth, ACheckTheServerNeverAnswersIsSkippedAndTheSaveEnds) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  test::StandInDatabaseHealth health;
  health.recovery = "FULL";
  health.fullBackup = true;
  standIn_.configureDatabase("shop", health);
  test::StandInFault silent;
  silent.kind = "hang";
  silent.on = "edition";
  silent.seconds = 300;
  standIn_.arm(silent);
  StoreConnection(ComputerName(), "sa", "pw", "shop", "T:\\e2e\\健康3\\");
  StoreSlot(1, FarFromNow());

  App& a = app();
  a.start();
  a.menu("N1");
  a.click("BitBtn1");
  a.waitForLogText("保存成功!", 30000);
  WaitUntil([&] { return CountStarting(Texts(a.log()), "无法检查数据库大小: ") > 0; }, 60000);
  const std::vector<std::string> texts = Texts(a.log());
  EXPECT_EQ(CountStarting(texts, "无法检查数据库大小: "), 1u) << ::testing::PrintToString(texts);
  EXPECT_EQ(CountStarting(texts, "警告: 数据库 shop 为完整恢复模式"), 1u) << ::testing::PrintToString(texts);
  // The window's thread is free again: it takes a click and answers it.
  a.type("mEdt1", "");
  a.click("BitBtn1");
  const auto refused = a.answer(IDOK);
  ASSERT_TRUE(refused) << "no answer to the next save";
  EXPECT_NE(refused->text.find("不存在"), std::string::npos) << refused->text;
}

}  // namespace
}  // namespace bakwyn
