// The restore test against a scripted server and the in-memory file system:
// the statements it sends, in order and to the letter, what it logs, and that
// the scratch database is dropped however the test ends.
#include "engine/RestoreTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::FakeSession;
using testing::LogLines;
using testing::MemoryFiles;
using Result = RestoreOutcome::Result;

constexpr std::uint64_t kMiB = 1ULL << 20;
constexpr std::uint64_t kGiB = 1ULL << 30;

const std::string kBackupDir = "D:\\备份\\";
const std::string kBackup = kBackupDir + "2004年11月17日10时30分.bak";
const std::string kFolder = kBackupDir + "Bakwyn_RestoreTest\\";
const std::string kScratch = "Bakwyn_RestoreTest_shop";
const std::string kFrom = " FROM DISK = N'D:\\备份\\2004年11月17日10时30分.bak' WITH FILE = 2";

// What is asked of a database under a scratch name that the catalogue lists.
std::string FilesQueryOf(const std::string& name) {
  return "SELECT physical_name FROM sys.master_files WHERE database_id = DB_ID(N'" + name + "')";
}
const std::string kLeftoverQuery = FilesQueryOf("Bakwyn_RestoreTest_shop");
const std::string kFileListQuery = "RESTORE FILELISTONLY" + kFrom;
const std::string kRestore = "RESTORE DATABASE [Bakwyn_RestoreTest_shop]" + kFrom +
                             ", MOVE N'shop' TO N'D:\\备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_shop_1.mdf'"
                             ", MOVE N'shop_archive' TO N'D:\\备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_shop_2.mdf'"
                             ", MOVE N'shop_log' TO N'D:\\备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_shop_3.ldf'"
                             ", STATS = 10";
const std::string kCheck = "DBCC CHECKDB ([Bakwyn_RestoreTest_shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS";
const std::string kDrop = "DROP DATABASE [Bakwyn_RestoreTest_shop]";

const std::string kStarted = "开始恢复测试: " + kBackup;
const std::string kPassed = "恢复测试成功: " + kBackup + " 2分15秒";
const std::string kFailed = "恢复测试失败: " + kBackup + " 2分15秒";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

QueryResult MasterFiles(const std::vector<std::pair<std::string, std::string>>& rows) {
  QueryResult result{{"name", "physical_name"}, {}};
  for (const auto& [name, file] : rows) result.rows.push_back({name, file});
  return result;
}

// FILELISTONLY's first columns, as the server names them.
QueryResult FileList(const std::vector<std::vector<std::string>>& rows) {
  return {{"LogicalName", "PhysicalName", "Type", "FileGroupName", "Size", "MaxSize", "FileId"}, rows};
}

// A backup set of two data files and a log, 24 MiB in all.
QueryResult ShopFiles() {
  return FileList({{"shop", "C:\\Data\\shop.mdf", "D", "PRIMARY", std::to_string(8 * kMiB), "0", "1"},
                   {"shop_archive", "C:\\Data\\shop_archive.ndf", "D", "ARCHIVE", std::to_string(8 * kMiB), "0", "3"},
                   {"shop_log", "C:\\Data\\shop_log.ldf", "L", "", std::to_string(8 * kMiB), "0", "2"}});
}

ServerError Failure(std::vector<Diagnostic> records) { return ServerError("statement failed", std::move(records)); }

// A test of shop's second backup set in D:\备份\ on a server that answers as
// scripted. Any statement that starts with a key of `failures` fails with it;
// the clock moves 2 minutes 15 seconds on before the drop (or, without one,
// at the last statement sent).
struct Fixture {
  BackupSettings settings;
  FakeClock clock{At(2004, 11, 17, 11, 0, 0)};
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  QueryResult masterFiles = MasterFiles({});
  QueryResult fileList = ShopFiles();
  std::map<std::string, ServerError> failures;
  std::function<void(const std::string&)> during;  // runs inside every statement, before its failure
  std::vector<RestoreOutcome> outcomes;
  RestoreTest test{settings, clock, session, files, log.sink()};

  Fixture() {
    settings.server = "OFFICE1";
    settings.user = "sa";
    settings.password = "pw";
    settings.database = "shop";
    settings.backupDir = kBackupDir;
    files.folders.insert(kBackupDir);
    files.available = 100 * kGiB;
    test.onOutcome = [this](const RestoreOutcome& o) { outcomes.push_back(o); };
    test.cancelInterval = std::chrono::milliseconds(1);
    // The catalogue lists every database of `masterFiles`, after shop's.
    session.onOpen = [this] {
      session.databases = {"master", "shop"};
      for (const std::vector<std::string>& row : masterFiles.rows) {
        if (std::find(session.databases.begin(), session.databases.end(), row[0]) == session.databases.end())
          session.databases.push_back(row[0]);
      }
    };
    session.onQuery = [this](const std::string& statement) {
      statementSent(statement);
      if (!StartsWith(statement, "SELECT")) return fileList;
      QueryResult files{{"physical_name"}, {}};
      for (const std::vector<std::string>& row : masterFiles.rows) {
        if (statement == FilesQueryOf(row[0])) files.rows.push_back({row[1]});
      }
      return files;
    };
    session.onExecute = [this](const std::string& statement) { statementSent(statement); };
  }
  void statementSent(const std::string& statement) {
    clock.set(At(2004, 11, 17, 11, 2, 15));
    if (during) during(statement);
    for (const auto& [prefix, error] : failures) {
      if (StartsWith(statement, prefix)) throw error;
    }
  }
  RestoreOutcome run() { return test.Run(kBackup, 2); }
};

TEST(RestoreTestTest, RestoresEveryFileIntoTheScratchFolderChecksAndDrops) {
  Fixture f;
  const RestoreOutcome outcome = f.run();

  EXPECT_EQ(f.session.opens(), std::vector<std::string>{"sa|pw|OFFICE1"});
  EXPECT_EQ(f.session.statements,
            (std::vector<std::string>{kFileListQuery, kRestore, kCheck, kDrop}));
  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open sa|pw|OFFICE1", "listDatabases", "query", "executeLong",
                                                       "executeLong", "execute"}))
      << "the restore and the check run without the statement time-out; the rows come from queries";
  EXPECT_EQ(f.files.done("mkdir"), std::vector<std::string>{kFolder}) << "through the file system's checked call";
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, kPassed}));
  EXPECT_EQ(outcome.result, Result::passed);
  EXPECT_EQ(outcome.cause, "");
  EXPECT_EQ(outcome.backupPath, kBackup);
  EXPECT_EQ(outcome.position, 2);
  EXPECT_EQ(outcome.started, At(2004, 11, 17, 11, 0, 0));
  EXPECT_EQ(outcome.milliseconds, 135'000);
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_EQ(f.outcomes[0].result, Result::passed);
  EXPECT_EQ(f.session.cancels(), 0);
}

// A step that fails: the test failed, with the server's words on the cause
// line (every error of a corrupt database among them), and the scratch
// database is dropped once the restore was sent.
struct FailureCase {
  const char* name;
  std::string statement;  // the start of the statement that fails
  std::vector<Diagnostic> records;
  std::vector<std::string> sent;  // every statement, in order
  std::string cause;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class StepFails : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StepFails, TestFailedWithTheServersWordsAndTheDropFollows) {
  const FailureCase& c = GetParam();
  Fixture f;
  f.failures.emplace(c.statement, Failure(c.records));

  const RestoreOutcome outcome = f.run();

  EXPECT_EQ(f.session.statements, c.sent);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, kFailed, c.cause}));
  EXPECT_EQ(outcome.result, Result::failed);
  EXPECT_EQ(outcome.cause, c.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StepFails,
    ::testing::Values(
        FailureCase{"DamagedFile",
                    "RESTORE FILELISTONLY",
                    {{"42000", 3241,
                      "[FreeTDS][SQL Server]The media family on device 'D:\\备份\\2004年11月17日10时30分.bak' is "
                      "incorrectly formed. SQL Server cannot process this media family."},
                     {"42000", 3013, "[FreeTDS][SQL Server]RESTORE FILELIST is terminating abnormally."}},
                    {kFileListQuery},
                    "原因: 3241 The media family on device 'D:\\备份\\2004年11月17日10时30分.bak' is incorrectly "
                    "formed. SQL Server cannot process this media family."},
        FailureCase{"DamagedPage",
                    "RESTORE DATABASE",
                    {{"42000", 3183,
                      "RESTORE detected an error on page (1:123) in database \"Bakwyn_RestoreTest_shop\" as read "
                      "from the backup set."},
                     {"42000", 3013, "RESTORE DATABASE is terminating abnormally."}},
                    {kFileListQuery, kRestore, kDrop},
                    "原因: 3183 RESTORE detected an error on page (1:123) in database \"Bakwyn_RestoreTest_shop\" "
                    "as read from the backup set."},
        FailureCase{"VolumeFilledMeanwhile",
                    "RESTORE DATABASE",
                    {{"42000", 3257,
                      "There is insufficient free space on disk volume 'D:\\' to create the database. The database "
                      "requires 25165824 additional free bytes, while only 1048576 bytes are available."},
                     {"42000", 3013, "RESTORE DATABASE is terminating abnormally."}},
                    {kFileListQuery, kRestore, kDrop},
                    "原因: 3257 There is insufficient free space on disk volume 'D:\\' to create the database. The "
                    "database requires 25165824 additional free bytes, while only 1048576 bytes are available."},
        FailureCase{"Corruption",
                    "DBCC CHECKDB",
                    {{"42000", 8928,
                      "Object ID 2073058421, index ID 0, partition ID 72057594038321152, alloc unit ID "
                      "72057594042318848 (type In-row data): Page (1:94299) could not be processed.  See other "
                      "errors for details."},
                     {"42000", 8939,
                      "Table error: Object ID 2073058421, index ID 0, partition ID 72057594038321152, alloc unit ID "
                      "72057594042318848 (type In-row data), page (1:94299). Test (IS_OFF (BUF_IOERR, "
                      "pBUF->bstat)) failed. Values are 12716041 and -4."},
                     {"42000", 8989,
                      "CHECKDB found 0 allocation errors and 2 consistency errors in database "
                      "'Bakwyn_RestoreTest_shop'."}},
                    {kFileListQuery, kRestore, kCheck, kDrop},
                    "原因: 8928 Object ID 2073058421, index ID 0, partition ID 72057594038321152, alloc unit ID "
                    "72057594042318848 (type In-row data): Page (1:94299) could not be processed.  See other "
                    "errors for details.; 8939 Table error: Object ID 2073058421, index ID 0, partition ID "
                    "72057594038321152, alloc unit ID 72057594042318848 (type In-row data), page (1:94299). Test "
                    "(IS_OFF (BUF_IOERR, pBUF->bstat)) failed. Values are 12716041 and -4.; 8989 CHECKDB found 0 "
                    "allocation errors and 2 consistency errors in database 'Bakwyn_RestoreTest_shop'."}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(RestoreTestTest, FileListWithoutUsableRowsFailsBeforeAnythingIsRestored) {
  struct Row {
    const char* name;
    QueryResult list;
  };
  const Row rows[] = {
      {"NoRows", FileList({})},
      {"SizeNotANumber", FileList({{"shop", "C:\\shop.mdf", "D", "PRIMARY", "8 MB", "0", "1"}})},
      {"SizeBeyondAnyFile", FileList({{"shop", "C:\\shop.mdf", "D", "PRIMARY", "18446744073709551616", "0", "1"}})},
      {"NoSizeColumn", QueryResult{{"LogicalName", "Type"}, {{"shop", "D"}}}},
      {"ShortRow", FileList({{"shop", "C:\\shop.mdf", "D"}})},
  };
  for (const Row& row : rows) {
    Fixture f;
    f.fileList = row.list;
    const RestoreOutcome outcome = f.run();
    EXPECT_EQ(outcome.result, Result::failed) << row.name;
    EXPECT_EQ(f.log.lines,
              (std::vector<std::string>{kStarted, kFailed, "原因: RESTORE FILELISTONLY 返回的文件列表无法读取"}))
        << row.name;
    EXPECT_EQ(f.session.statements, (std::vector<std::string>{kFileListQuery})) << row.name;
  }
}

// Whatever keeps the test from running is said, and nothing is restored.
struct NotRunCase {
  const char* name;
  std::function<void(Fixture&)> arrange;
  std::string reason;
  std::vector<std::string> sent;
};
void PrintTo(const NotRunCase& c, std::ostream* os) { *os << c.name; }

class NotRun : public ::testing::TestWithParam<NotRunCase> {};

TEST_P(NotRun, IsLoggedWithItsReasonNeverAsPassed) {
  const NotRunCase& c = GetParam();
  Fixture f;
  c.arrange(f);

  const RestoreOutcome outcome = f.run();

  EXPECT_EQ(outcome.result, Result::notRun);
  EXPECT_EQ(outcome.cause, c.reason);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, "恢复测试未运行: " + c.reason}));
  EXPECT_EQ(f.session.statements, c.sent);
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_EQ(f.outcomes[0].result, Result::notRun);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, NotRun,
    ::testing::Values(
        NotRunCase{"ServerUnreachable",
                   [](Fixture& f) {
                     f.session.onOpen = [] {
                       throw Failure({{"08001", 20009,
                                       "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable or "
                                       "does not exist"}});
                     };
                   },
                   "无法连接SQL服务器: Unable to connect: Adaptive Server is unavailable or does not exist",
                   {}},
        NotRunCase{"LoginRefused", [](Fixture& f) { f.session.failOpen = true; },
                   "无法连接SQL服务器: 18456 Login failed for user.", {}},
        NotRunCase{"NameTakenByTheUser",
                   [](Fixture& f) { f.masterFiles = MasterFiles({{kScratch, "E:\\Data\\Bakwyn_RestoreTest_shop.mdf"}}); },
                   "恢复测试数据库名称已被占用: Bakwyn_RestoreTest_shop",
                   {kLeftoverQuery}},
        // One file where this program puts its own is not enough.
        NotRunCase{"NameTakenOneFileElsewhere",
                   [](Fixture& f) {
                     f.masterFiles = MasterFiles({{kScratch, kFolder + "Bakwyn_RestoreTest_shop_1.mdf"},
                                                  {kScratch, "E:\\Logs\\Bakwyn_RestoreTest_shop_2.ldf"}});
                   },
                   "恢复测试数据库名称已被占用: Bakwyn_RestoreTest_shop",
                   {kLeftoverQuery}},
        // A server that ignores case has one database under both names.
        NotRunCase{"NameTakenInAnotherCase",
                   [](Fixture& f) { f.masterFiles = MasterFiles({{"BAKWYN_RESTORETEST_SHOP", "E:\\Data\\x.mdf"}}); },
                   "恢复测试数据库名称已被占用: Bakwyn_RestoreTest_shop",
                   {FilesQueryOf("BAKWYN_RESTORETEST_SHOP")}},
        NotRunCase{"LeftoverOfOursCannotBeDropped",
                   [](Fixture& f) {
                     f.masterFiles = MasterFiles({{kScratch, kFolder + "Bakwyn_RestoreTest_shop_1.mdf"}});
                     f.failures.emplace("DROP", Failure({{"42000", 3702,
                                                          "Cannot drop database \"Bakwyn_RestoreTest_shop\" because "
                                                          "it is currently in use."}}));
                   },
                   "无法删除上次未完成的恢复测试数据库 Bakwyn_RestoreTest_shop: 3702 Cannot drop database "
                   "\"Bakwyn_RestoreTest_shop\" because it is currently in use.",
                   {kLeftoverQuery, kDrop}},
        NotRunCase{"CatalogueUnreadable",
                   [](Fixture& f) {
                     f.masterFiles = MasterFiles({{kScratch, kFolder + "Bakwyn_RestoreTest_shop_1.mdf"}});
                     f.failures.emplace("SELECT", Failure({{"42000", 229,
                                                            "The SELECT permission was denied on the object "
                                                            "'master_files', database 'mssqlsystemresource', schema "
                                                            "'sys'."}}));
                   },
                   "无法查询已有的数据库: 229 The SELECT permission was denied on the object 'master_files', "
                   "database 'mssqlsystemresource', schema 'sys'.",
                   {kLeftoverQuery}},
        // 24 MiB of files and the gigabyte kept free beside them: 1.0234 GiB.
        NotRunCase{"NoRoom", [](Fixture& f) { f.files.available = kGiB + 24 * kMiB - 1; },
                   "磁盘空间不足: 需要 1.1 GB, 可用 1.0 GB (D:\\备份\\Bakwyn_RestoreTest\\)",
                   {kFileListQuery}},
        // 20 GiB and a byte, and a tenth of it: the need rounded up, the room down.
        NotRunCase{"NoRoomForALargeDatabase",
                   [](Fixture& f) {
                     f.fileList = FileList({{"big", "C:\\big.mdf", "D", "PRIMARY", std::to_string(20 * kGiB + 1), "0", "1"}});
                     f.files.available = 22 * kGiB;
                   },
                   "磁盘空间不足: 需要 22.1 GB, 可用 22.0 GB (D:\\备份\\Bakwyn_RestoreTest\\)",
                   {"RESTORE FILELISTONLY" + kFrom}},
        NotRunCase{"RoomUnknown", [](Fixture& f) { f.files.available.reset(); },
                   "无法读取 D:\\备份\\Bakwyn_RestoreTest\\ 所在磁盘的可用空间",
                   {kFileListQuery}},
        NotRunCase{"ScratchFolderRefused",
                   [](Fixture& f) { f.files.unreachable[kFolder] = testing::kAccessDenied; },
                   "无法创建目录 D:\\备份\\Bakwyn_RestoreTest\\: Access is denied.",
                   {kFileListQuery}}),
    [](const ::testing::TestParamInfo<NotRunCase>& info) { return std::string(info.param.name); });

TEST(RestoreTestTest, NoVerifiedBackupIsNotRunWithoutAskingTheServer) {
  Fixture f;
  const RestoreOutcome outcome = f.test.Run("", 0);
  EXPECT_EQ(outcome.result, Result::notRun);
  EXPECT_EQ(f.log.lines, std::vector<std::string>{"恢复测试未运行: 没有校验过的备份"});
  EXPECT_EQ(f.session.calls, std::vector<std::string>{});
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_EQ(f.outcomes[0].cause, "没有校验过的备份");
}

TEST(RestoreTestTest, RoomExactlyEnoughRuns) {
  Fixture f;
  f.files.available = kGiB + 24 * kMiB;
  EXPECT_EQ(f.run().result, Result::passed);
}

TEST(RestoreTestTest, LeftoverOfAnEarlierTestIsDroppedFirst) {
  Fixture f;
  f.masterFiles = MasterFiles({{kScratch, kFolder + "Bakwyn_RestoreTest_shop_1.mdf"},
                               {kScratch, kFolder + "Bakwyn_RestoreTest_shop_2.ldf"}});
  const RestoreOutcome outcome = f.run();
  EXPECT_EQ(outcome.result, Result::passed);
  EXPECT_EQ(f.session.statements,
            (std::vector<std::string>{kLeftoverQuery, kDrop, kFileListQuery, kRestore, kCheck, kDrop}));
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, "已删除上次未完成的恢复测试数据库 Bakwyn_RestoreTest_shop",
                                                   kPassed}));
}

// The connection is cut while the server restores: the test failed, and the
// drop is sent again on a new connection when the old one fails it.
TEST(RestoreTestTest, ConnectionCutDuringTheRestoreDropsOnANewConnection) {
  Fixture f;
  const Diagnostic dead{"08S01", 20047, "[FreeTDS][SQL Server]DBPROCESS is dead or not enabled"};
  int drops = 0;
  f.during = [&](const std::string& statement) {
    if (StartsWith(statement, "RESTORE DATABASE")) throw Failure({dead});
    if (StartsWith(statement, "DROP") && ++drops == 1) throw Failure({dead});
  };
  const RestoreOutcome outcome = f.run();
  EXPECT_EQ(outcome.result, Result::failed);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, kFailed, "原因: DBPROCESS is dead or not enabled"}));
  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open sa|pw|OFFICE1", "listDatabases", "query", "executeLong", "execute",
                                                       "open sa|pw|OFFICE1", "execute"}));
  EXPECT_EQ(f.session.statements, (std::vector<std::string>{kFileListQuery, kRestore, kDrop, kDrop}));
}

TEST(RestoreTestTest, DropThatFailsIsLoggedAndTheResultStands) {
  Fixture f;
  f.failures.emplace("DROP", Failure({{"42000", 3702,
                                       "Cannot drop database \"Bakwyn_RestoreTest_shop\" because it is currently in "
                                       "use."}}));
  const RestoreOutcome outcome = f.run();
  EXPECT_EQ(outcome.result, Result::passed);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted,
                                                   "无法删除恢复测试数据库 Bakwyn_RestoreTest_shop: 3702 Cannot drop "
                                                   "database \"Bakwyn_RestoreTest_shop\" because it is currently in use.",
                                                   kPassed}));
  EXPECT_EQ(f.session.statements, (std::vector<std::string>{kFileListQuery, kRestore, kCheck, kDrop,
                                                            kDrop}))
      << "tried once more on a new connection";
}

TEST(RestoreTestTest, DatabaseAlreadyGoneCountsAsDropped) {
  Fixture f;
  f.failures.emplace("RESTORE DATABASE", Failure({{"42000", 3013, "RESTORE DATABASE is terminating abnormally."}}));
  f.failures.emplace("DROP", Failure({{"42000", 3701,
                                       "Cannot drop the database 'Bakwyn_RestoreTest_shop', because it does not exist "
                                       "or you do not have permission."}}));
  f.run();
  EXPECT_EQ(f.log.lines,
            (std::vector<std::string>{kStarted, kFailed, "原因: 3013 RESTORE DATABASE is terminating abnormally."}));
  EXPECT_EQ(f.session.opens().size(), 1u) << "nothing to try again";
}

// A cancel while a statement runs ends the test as cancelled, from another
// thread, and the scratch database is dropped once the restore was sent.
struct CancelCase {
  const char* name;
  std::string statement;  // the start of the statement during which the cancel comes
  std::vector<std::string> sent;
};
void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class CancelDuring : public ::testing::TestWithParam<CancelCase> {};

TEST_P(CancelDuring, EndsCancelledAndDropsTheScratchDatabase) {
  const CancelCase& c = GetParam();
  Fixture f;
  std::thread canceller;
  f.during = [&](const std::string& statement) {
    if (!StartsWith(statement, c.statement)) return;
    // A query is not cancelled in the scripted session: the cancel comes
    // while it runs, and is seen once it has returned.
    if (StartsWith(statement, "RESTORE FILELISTONLY")) return f.test.cancel("备份时间到了");
    // The others run until the session is cancelled.
    f.session.runUntilCancelled = true;
    canceller = std::thread([&] { f.test.cancel("备份时间到了"); });
  };
  const RestoreOutcome outcome = f.run();
  if (canceller.joinable()) canceller.join();

  EXPECT_EQ(outcome.result, Result::cancelled);
  EXPECT_EQ(outcome.cause, "备份时间到了");
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, "恢复测试已取消: 备份时间到了"}));
  EXPECT_EQ(f.session.statements, c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, CancelDuring,
    ::testing::Values(CancelCase{"FileList", "RESTORE FILELISTONLY", {kFileListQuery}},
                      CancelCase{"Restore", "RESTORE DATABASE", {kFileListQuery, kRestore, kDrop}},
                      CancelCase{"Check", "DBCC CHECKDB", {kFileListQuery, kRestore, kCheck, kDrop}}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

// A session that ignores the first cancels, as the real one does while the
// statement is still being sent.
class LateCancelSession final : public ServerSession {
 public:
  explicit LateCancelSession(FakeSession& inner) : inner_(inner) {}
  void open(const std::string& u, const std::string& p, const std::string& s) override { inner_.open(u, p, s); }
  std::vector<std::string> listDatabases() override { return inner_.listDatabases(); }
  bool locate(const std::string& name) const override { return inner_.locate(name); }
  void closeQuery() override { inner_.closeQuery(); }
  void execute(const std::string& statement) override { inner_.execute(statement); }
  using ServerSession::executeLong;
  void executeLong(const std::string& statement, const MessageObserver& m) override { inner_.executeLong(statement, m); }
  QueryResult query(const std::string& statement) override { return inner_.query(statement); }
  const std::vector<Diagnostic>& messages() const override { return inner_.messages(); }
  void cancel() override {
    if (++calls <= 3) return;
    inner_.cancel();
  }
  std::atomic<int> calls{0};

 private:
  FakeSession& inner_;
};

TEST(RestoreTestTest, CancelIsRepeatedUntilTheStatementEnds) {
  Fixture f;
  LateCancelSession session(f.session);
  RestoreTest test(f.settings, f.clock, session, f.files, f.log.sink());
  test.cancelInterval = std::chrono::milliseconds(1);
  std::thread canceller;
  f.during = [&](const std::string& statement) {
    if (!StartsWith(statement, "RESTORE DATABASE")) return;
    f.session.runUntilCancelled = true;
    canceller = std::thread([&] { test.cancel("备份时间到了"); });
  };
  const RestoreOutcome outcome = test.Run(kBackup, 2);
  canceller.join();
  EXPECT_EQ(outcome.result, Result::cancelled);
  EXPECT_GE(session.calls.load(), 4);
  EXPECT_EQ(f.session.statements.back(), kDrop);
}

TEST(RestoreTestTest, CancelAfterTheCheckEndedLeavesItPassed) {
  Fixture f;
  f.during = [&](const std::string& statement) {
    if (StartsWith(statement, "DROP")) f.test.cancel("备份时间到了");
  };
  const RestoreOutcome outcome = f.run();
  EXPECT_EQ(outcome.result, Result::passed);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStarted, kPassed}));
  EXPECT_EQ(f.session.cancels(), 0) << "the drop is never cancelled";
}

TEST(RestoreTestTest, CancelWhenNoTestRunsChangesNothing) {
  Fixture f;
  f.test.cancel("备份时间到了");
  EXPECT_EQ(f.run().result, Result::passed);
  EXPECT_EQ(f.session.cancels(), 0);
}

// Which databases under a scratch name are this program's: every file right in
// a scratch folder (of any backup folder, the old one too), under the name the
// restore gives it.
TEST(RestoreTestTest, DropLeftoverDropsOnlyDatabasesWhoseEveryFileIsOurs) {
  struct Row {
    const char* name;  // after the prefix
    std::vector<std::string> files;
    bool ours;
  };
  const std::vector<Row> rows = {
      {"shop", {kFolder + "Bakwyn_RestoreTest_shop_1.mdf", kFolder + "Bakwyn_RestoreTest_shop_2.ldf"}, true},
      {"旧库", {"E:\\旧目录\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_旧库_1.mdf"}, true},
      {"AnyCase", {"d:\\备份\\bakwyn_restoretest\\BAKWYN_RESTORETEST_ANYCASE_12.LDF"}, true},
      {"Filestream", {kFolder + "Bakwyn_RestoreTest_Filestream_3"}, true},
      {"a/b:c", {kFolder + "Bakwyn_RestoreTest_a_b_c_1.mdf"}, true},
      {"User", {"E:\\Data\\Bakwyn_RestoreTest_User.mdf"}, false},
      {"Mixed", {kFolder + "Bakwyn_RestoreTest_Mixed_1.mdf", "E:\\Logs\\Bakwyn_RestoreTest_Mixed_2.ldf"}, false},
      {"SubFolder", {kFolder + "sub\\Bakwyn_RestoreTest_SubFolder_1.mdf"}, false},
      {"Above", {kFolder + "..\\Bakwyn_RestoreTest_Above_1.mdf"}, false},
      {"LookAlikeFolder", {"E:\\NotBakwyn_RestoreTest\\Bakwyn_RestoreTest_LookAlikeFolder_1.mdf"}, false},
      {"OtherName", {kFolder + "OtherName.mdf"}, false},
      {"NoNumber", {kFolder + "Bakwyn_RestoreTest_NoNumber_.mdf"}, false},
      {"OtherExtension", {kFolder + "Bakwyn_RestoreTest_OtherExtension_1.bak"}, false},
      {"AnotherDatabasesFile", {kFolder + "Bakwyn_RestoreTest_shop_1.mdf"}, false},
  };
  Fixture f;
  std::vector<std::pair<std::string, std::string>> listed;
  std::vector<std::string> expected, drops;
  std::vector<std::string> logged;
  for (const Row& row : rows) {
    const std::string name = "Bakwyn_RestoreTest_" + std::string(row.name);
    for (const std::string& file : row.files) listed.emplace_back(name, file);
    expected.push_back(FilesQueryOf(name));
    if (row.ours) {
      drops.push_back("DROP DATABASE [" + name + "]");
      logged.push_back("已删除上次未完成的恢复测试数据库 " + name);
    }
  }
  expected.insert(expected.end(), drops.begin(), drops.end());
  f.masterFiles = MasterFiles(listed);

  EXPECT_TRUE(f.test.DropLeftover());

  EXPECT_EQ(f.session.statements, expected);
  EXPECT_EQ(f.log.lines, logged);
  EXPECT_EQ(f.session.opens(), std::vector<std::string>{"sa|pw|OFFICE1"});
}

TEST(RestoreTestTest, DropLeftoverOnAServerNotStartedYetSaysSo) {
  Fixture f;
  f.session.failOpen = true;
  EXPECT_FALSE(f.test.DropLeftover());
  EXPECT_EQ(f.log.lines, std::vector<std::string>{});
  EXPECT_EQ(f.session.statements, std::vector<std::string>{});
}

TEST(RestoreTestTest, DropLeftoverThatFailsIsLogged) {
  Fixture f;
  f.masterFiles = MasterFiles({{kScratch, kFolder + "Bakwyn_RestoreTest_shop_1.mdf"}});
  f.failures.emplace("DROP", Failure({{"42000", 3702,
                                       "Cannot drop database \"Bakwyn_RestoreTest_shop\" because it is currently in "
                                       "use."}}));
  EXPECT_TRUE(f.test.DropLeftover());
  EXPECT_EQ(f.log.lines, std::vector<std::string>{"无法删除恢复测试数据库 Bakwyn_RestoreTest_shop: 3702 Cannot drop "
                                                  "database \"Bakwyn_RestoreTest_shop\" because it is currently in "
                                                  "use."});
}

// Names the server reads back exactly: a quote in a logical name or a folder,
// "]" in a database's name, characters no file name may hold.
TEST(RestoreTestTest, HostileNamesAreQuotedAndMadeFileNames) {
  struct Row {
    const char* name;
    std::string database;
    std::string backupDir;
    std::string logical;
    std::string fileList;  // the statements expected
    std::string restore;
    std::string check;
    std::string drop;
  };
  const Row rows[] = {
      {"Brackets", "x]; DROP DATABASE [y", "D:\\备份\\", "shop",
       "RESTORE FILELISTONLY FROM DISK = N'D:\\备份\\a.bak' WITH FILE = 1",
       "RESTORE DATABASE [Bakwyn_RestoreTest_x]]; DROP DATABASE [y] FROM DISK = N'D:\\备份\\a.bak' WITH FILE = 1, "
       "MOVE N'shop' TO N'D:\\备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_x]; DROP DATABASE [y_1.mdf', STATS = 10",
       "DBCC CHECKDB ([Bakwyn_RestoreTest_x]]; DROP DATABASE [y]) WITH NO_INFOMSGS, ALL_ERRORMSGS",
       "DROP DATABASE [Bakwyn_RestoreTest_x]]; DROP DATABASE [y]"},
      {"Quotes", "O'Neil", "D:\\O'Neil's 备份\\", "it's data",
       "RESTORE FILELISTONLY FROM DISK = N'D:\\O''Neil''s 备份\\a.bak' WITH FILE = 1",
       "RESTORE DATABASE [Bakwyn_RestoreTest_O'Neil] FROM DISK = N'D:\\O''Neil''s 备份\\a.bak' WITH FILE = 1, "
       "MOVE N'it''s data' TO N'D:\\O''Neil''s 备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_O''Neil_1.mdf', "
       "STATS = 10",
       "DBCC CHECKDB ([Bakwyn_RestoreTest_O'Neil]) WITH NO_INFOMSGS, ALL_ERRORMSGS",
       "DROP DATABASE [Bakwyn_RestoreTest_O'Neil]"},
      {"NotForFileNames", "a/b\\c:d*?\"<>|\t库😀", "D:\\备份\\", "x",
       "RESTORE FILELISTONLY FROM DISK = N'D:\\备份\\a.bak' WITH FILE = 1",
       "RESTORE DATABASE [Bakwyn_RestoreTest_a/b\\c:d*?\"<>|\t库😀] FROM DISK = N'D:\\备份\\a.bak' WITH FILE = 1, "
       "MOVE N'x' TO N'D:\\备份\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_a_b_c_d_______库😀_1.mdf', STATS = 10",
       "DBCC CHECKDB ([Bakwyn_RestoreTest_a/b\\c:d*?\"<>|\t库😀]) WITH NO_INFOMSGS, ALL_ERRORMSGS",
       "DROP DATABASE [Bakwyn_RestoreTest_a/b\\c:d*?\"<>|\t库😀]"},
  };
  for (const Row& row : rows) {
    Fixture f;
    f.settings.database = row.database;
    f.settings.backupDir = row.backupDir;
    f.files.folders.insert(row.backupDir);
    f.fileList = FileList({{row.logical, "C:\\x.mdf", "D", "PRIMARY", "1024", "0", "1"}});
    const RestoreOutcome outcome = f.test.Run(row.backupDir + "a.bak", 1);
    EXPECT_EQ(outcome.result, Result::passed) << row.name;
    ASSERT_EQ(f.session.statements.size(), 4u) << row.name;
    EXPECT_EQ(f.session.statements[0], row.fileList) << row.name;
    EXPECT_EQ(f.session.statements[1], row.restore) << row.name;
    EXPECT_EQ(f.session.statements[2], row.check) << row.name;
    EXPECT_EQ(f.session.statements[3], row.drop) << row.name;
  }
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(RestoreTestTest, ScratchNameStaysWithinTheServersLongestName) {
  const std::string prefix = "Bakwyn_RestoreTest_";  // 19 characters: 109 are left of 128
  struct Row {
    const char* name;
    std::string database;
    std::string scratch;
  };
  const Row rows[] = {
      {"Plain", "shop", prefix + "shop"},
      {"JustFits", Repeat("a", 109), prefix + Repeat("a", 109)},
      {"OneTooMany", Repeat("a", 110), prefix + Repeat("a", 109)},
      {"ChineseCountsOnce", Repeat("库", 110), prefix + Repeat("库", 109)},
      // Two code units each: 19 + 2 * 54 = 127, and the 55th would be cut in half.
      {"NeverHalfACharacter", Repeat("😀", 60), prefix + Repeat("😀", 54)},
  };
  for (const Row& row : rows) EXPECT_EQ(ScratchDatabaseName(row.database), row.scratch) << row.name;
}

TEST(RestoreTestTest, DurationIsWrittenInHoursMinutesAndSeconds) {
  const std::pair<std::int64_t, const char*> rows[] = {
      {0, "0秒"},          {999, "0秒"},           {15'000, "15秒"},           {59'999, "59秒"},
      {60'000, "1分0秒"},  {135'000, "2分15秒"},   {3'600'000, "1小时0分0秒"}, {3'735'000, "1小时2分15秒"},
      {-5'000, "0秒"},     {93'784'000, "26小时3分4秒"},
  };
  for (const auto& [ms, text] : rows) EXPECT_EQ(DurationText(ms), text) << ms;
}

}  // namespace
}  // namespace bakwyn

namespace bakwyn {
namespace {

// A database made under the scratch name after the look for leftovers (by a
// user, at that moment): the server refuses to restore onto it, and nothing
// may drop it.
TEST(RestoreTestTest, ARestoreRefusedOntoAnotherDatabaseDropsNothing) {
  for (const std::int32_t number : {3154, 1801}) {
    Fixture f;
    f.failures.emplace("RESTORE DATABASE",
                       Failure({{"42000", number, "The database 'Bakwyn_RestoreTest_shop' is another database."},
                                {"42000", 3013, "RESTORE DATABASE is terminating abnormally."}}));
    const RestoreOutcome outcome = f.run();
    EXPECT_EQ(outcome.result, Result::failed) << number;
    EXPECT_EQ(f.session.statements, (std::vector<std::string>{kFileListQuery, kRestore})) << number;
  }
}

}  // namespace
}  // namespace bakwyn
