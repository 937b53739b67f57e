// The save's check of the backup folder, as the server's service account sees
// it: the statements sent, and what each answer of the server means.
#include "engine/FolderCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FakeSession.h"

namespace bakwyn {
namespace {

using ::testing::ElementsAre;

ServerError Refusal(int number, const std::string& text) { return ServerError(text, {{"42000", number, text}}); }

TEST(FolderCheck, CreatesTheFolderWritesAScratchBackupAndDeletesIt) {
  testing::FakeSession session;
  const FolderCheck check = CheckBackupFolder(session, "T:\\备份 O'Neil\\");
  EXPECT_EQ(check.outcome, FolderCheck::Outcome::Writable);
  EXPECT_EQ(check.note, "");
  EXPECT_THAT(session.statements,
              ElementsAre("EXEC master.dbo.xp_create_subdir N'T:\\备份 O''Neil'",
                          "BACKUP DATABASE [model] TO DISK = N'T:\\备份 O''Neil\\Bakwyn写入检查.tmp' WITH COPY_ONLY, INIT",
                          "EXEC master.dbo.xp_delete_file 0, N'T:\\备份 O''Neil\\Bakwyn写入检查.tmp'"));
}

TEST(FolderCheck, ADrivesRootKeepsItsSeparator) {
  testing::FakeSession session;
  CheckBackupFolder(session, "D:\\");
  EXPECT_EQ(session.statements.at(0), "EXEC master.dbo.xp_create_subdir N'D:\\'");
  EXPECT_EQ(session.statements.at(1), "BACKUP DATABASE [model] TO DISK = N'D:\\Bakwyn写入检查.tmp' WITH COPY_ONLY, INIT");
}

TEST(FolderCheck, EachAnswerOfTheServer) {
  struct Case {
    const char* name;
    int failingStatement;  // 0 create, 1 write, 2 delete
    ServerError error;
    FolderCheck::Outcome outcome;
    const char* reason;
    const char* note;
  } cases[] = {
      {"the folder cannot be created", 0,
       Refusal(22048, "xp_create_subdir() returned error 5, 'Access is denied.'"), FolderCheck::Outcome::Refused,
       "22048 xp_create_subdir() returned error 5, 'Access is denied.'", ""},
      {"the folder cannot be written", 1,
       ServerError("x", {{"42000", 3201, "Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 5(Access is denied.)."},
                         {"42000", 3013, "BACKUP DATABASE is terminating abnormally."}}),
       FolderCheck::Outcome::Refused,
       "3201 Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 5(Access is denied.).", ""},
      {"no such path", 1,
       ServerError("x", {{"42000", 3201, "Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 3(The system cannot find the path specified.)."},
                         {"42000", 3013, "BACKUP DATABASE is terminating abnormally."}}),
       FolderCheck::Outcome::Refused,
       "3201 Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 3(The system cannot find the path specified.).", ""},
      {"the scratch file held by another program: saved with a warning", 1,
       ServerError("x", {{"42000", 3201, "Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 32(The process cannot access the file because it is being used by another process.)."},
                         {"42000", 3013, "BACKUP DATABASE is terminating abnormally."}}),
       FolderCheck::Outcome::Doubtful,
       "3201 Cannot open backup device 'T:\\b\\Bakwyn写入检查.tmp'. Operating system error 32(The process cannot access the file because it is being used by another process.).", ""},
      {"the login may not run xp_create_subdir", 0,
       Refusal(229, "The EXECUTE permission was denied on the object 'xp_create_subdir', database 'mssqlsystemresource', schema 'sys'."),
       FolderCheck::Outcome::NotChecked,
       "229 The EXECUTE permission was denied on the object 'xp_create_subdir', database 'mssqlsystemresource', schema 'sys'.",
       ""},
      {"the login may not back up model", 1, Refusal(262, "BACKUP DATABASE permission denied in database 'model'."),
       FolderCheck::Outcome::NotChecked, "262 BACKUP DATABASE permission denied in database 'model'.", ""},
      {"a server without the procedure", 0, Refusal(2812, "Could not find stored procedure 'master.dbo.xp_create_subdir'."),
       FolderCheck::Outcome::NotChecked, "2812 Could not find stored procedure 'master.dbo.xp_create_subdir'.", ""},
      {"the disk is full: saved with a warning", 1,
       ServerError("x", {{"42000", 3202, "Write on 'T:\\b\\Bakwyn写入检查.tmp' failed: 112(There is not enough space on the disk.)"},
                         {"42000", 3013, "BACKUP DATABASE is terminating abnormally."}}),
       FolderCheck::Outcome::Doubtful, "3202 Write on 'T:\\b\\Bakwyn写入检查.tmp' failed: 112(There is not enough space on the disk.)", ""},
      {"the scratch file stays", 2,
       Refusal(229, "The EXECUTE permission was denied on the object 'xp_delete_file', database 'mssqlsystemresource', schema 'sys'."),
       FolderCheck::Outcome::Writable, "",
       "检查文件未能删除: T:\\b\\Bakwyn写入检查.tmp (229 The EXECUTE permission was denied on the object 'xp_delete_file', "
       "database 'mssqlsystemresource', schema 'sys'.)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeSession session;
    int statement = 0;
    session.onExecute = [&](const std::string&) {
      if (statement++ == c.failingStatement) throw c.error;
    };
    const FolderCheck check = CheckBackupFolder(session, "T:\\b");
    EXPECT_EQ(check.outcome, c.outcome);
    EXPECT_EQ(check.reason, c.reason);
    EXPECT_EQ(check.note, c.note);
    EXPECT_EQ(session.statements.size(), c.failingStatement == 2 || c.outcome == FolderCheck::Outcome::Writable
                                             ? 3u
                                             : static_cast<size_t>(c.failingStatement) + 1);
  }
}

}  // namespace
}  // namespace bakwyn
