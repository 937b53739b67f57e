// Restoring a backup as a new database or over the current one, against a
// scripted server and the in-memory file system: what is offered, what is
// planned and sent, in order and to the letter, and what is logged, above all
// that the current database is open to every user again however a restore
// over it ends.
#include "engine/DatabaseRestore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "engine/VerifiedBackups.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::FakeSession;
using testing::LogLines;
using testing::MemoryFiles;
using Outcome = RestoreResult::Outcome;
using Target = RestorePlan::Target;

const std::string kBackupDir = "D:\\备份\\";
const std::string kBackup = kBackupDir + "2026年12月10日02时00分.bak";
const std::string kSafety = kBackupDir + "2026年12月10日09时00分恢复前.bak";
const std::string kCopies = "\\\\nas\\b\\OFFICE1\\shop\\";
const std::string kNewName = "shop_恢复_20261210_0900";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// FILELISTONLY's first columns, as the server names them.
QueryResult FileList(const std::vector<std::vector<std::string>>& rows) {
  return {{"LogicalName", "PhysicalName", "Type", "FileGroupName", "Size"}, rows};
}

// Two data files and a log.
QueryResult ShopFiles() {
  return FileList({{"shop", "C:\\Data\\shop.mdf", "D", "PRIMARY", "8388608"},
                   {"shop_archive", "C:\\Data\\shop_archive.ndf", "D", "ARCHIVE", "8388608"},
                   {"shop_log", "C:\\Data\\shop_log.ldf", "L", "", "8388608"}});
}

QueryResult Header(const std::vector<std::vector<std::string>>& rows) {
  return {{"BackupName", "BackupType", "Position", "DatabaseName", "BackupFinishDate"}, rows};
}

ServerError Failure(std::int32_t number, const std::string& message) {
  return ServerError("statement failed", {{"42000", number, message}});
}

// shop on OFFICE1, its backups in D:\备份\ and copies under \\nas\b\, on a
// server that answers as scripted. A statement that starts with a key of
// `failures` fails with it; every statement moves the clock to 2 minutes 15
// seconds after 09:00.
struct Fixture {
  BackupSettings settings;
  FakeClock clock{At(2026, 12, 10, 9, 0, 0)};
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  std::vector<std::string> databases{"master", "shop"};
  std::map<int, QueryResult> fileLists{{1, ShopFiles()}, {2, ShopFiles()}};
  // shop's files as the server has them now: elsewhere than the backup said.
  QueryResult currentFiles{{"name", "physical_name", "type"},
                           {{"shop", "E:\\SQL\\shop.mdf", "0"},
                            {"shop_archive", "E:\\SQL\\shop_archive.ndf", "0"},
                            {"shop_log", "F:\\Logs\\shop_log.ldf", "1"}}};
  std::string defaultDataPath = "E:\\SQLData\\";
  std::map<std::string, QueryResult> headers;
  std::map<std::string, ServerError> failures;
  std::function<void(const std::string&)> during;  // runs inside every statement, before its failure
  DatabaseRestore restore{clock, session, log.sink()};

  Fixture() {
    settings.server = "OFFICE1";
    settings.user = "sa";
    settings.password = "pw";
    settings.database = "shop";
    settings.backupDir = kBackupDir;
    settings.replicaDir = "\\\\nas\\b\\";
    restore.cancelInterval = std::chrono::milliseconds(1);
    session.onQuery = [this](const std::string& statement) { return answer(statement); };
    session.onExecute = [this](const std::string& statement) { sent(statement); };
  }
  void sent(const std::string& statement) {
    clock.set(At(2026, 12, 10, 9, 2, 15));
    if (during) during(statement);
    for (const auto& [prefix, error] : failures) {
      if (StartsWith(statement, prefix)) throw error;
    }
  }
  QueryResult answer(const std::string& statement) {
    sent(statement);
    const std::string nameQuery = "SELECT name FROM sys.databases WHERE name = N'";
    if (StartsWith(statement, nameQuery)) {
      QueryResult result{{"name"}, {}};
      for (const std::string& name : databases) {
        if (statement == nameQuery + DoubledQuotesOf(name) + "'") result.rows.push_back({name});
      }
      return result;
    }
    if (StartsWith(statement, "RESTORE FILELISTONLY")) {
      const int position = std::stoi(statement.substr(statement.rfind(' ') + 1));
      return fileLists.count(position) ? fileLists[position] : QueryResult{};
    }
    if (StartsWith(statement, "SELECT name, physical_name, type FROM sys.master_files")) return currentFiles;
    if (StartsWith(statement, "SELECT CAST(SERVERPROPERTY")) return {{"path"}, {{defaultDataPath}}};
    if (StartsWith(statement, "RESTORE HEADERONLY FROM DISK = N'")) {
      const std::string path = statement.substr(33, statement.size() - 34);
      if (headers.count(path)) return headers[path];
    }
    return {};
  }
  static std::string DoubledQuotesOf(const std::string& text) {
    std::string out;
    for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out;
  }
  RestoreChoice choice(int position = 2) const {
    return RestoreChoice{kBackup, false, position, At(2026, 12, 10, 2, 1, 30), 300, true, false, "shop"};
  }
  RestorePlan plan(Target target, const std::string& name = kNewName, int position = 2) {
    const PlannedRestore planned = PlanRestore(settings, session, choice(position), target, name, clock.now());
    EXPECT_EQ(planned.refusal, "");
    clock.set(At(2026, 12, 10, 9, 0, 0));  // Run's time starts here
    return planned.plan.value_or(RestorePlan{});
  }
  // What Run sends, after what the plan asked.
  std::vector<std::string> sentSince(std::size_t from) const {
    return {session.statements.begin() + static_cast<std::ptrdiff_t>(from), session.statements.end()};
  }
};

const std::string kFrom = " FROM DISK = N'D:\\备份\\2026年12月10日02时00分.bak' WITH FILE = 2";
const std::string kRestoreNew = "RESTORE DATABASE [shop_恢复_20261210_0900]" + kFrom +
                                ", MOVE N'shop' TO N'E:\\SQLData\\shop_恢复_20261210_0900.mdf'"
                                ", MOVE N'shop_archive' TO N'E:\\SQLData\\shop_恢复_20261210_0900_2.ndf'"
                                ", MOVE N'shop_log' TO N'E:\\SQLData\\shop_恢复_20261210_0900_log.ldf'"
                                ", STATS = 10";
const std::string kSafetyBackup =
    "BACKUP DATABASE [shop] TO  DISK = N'D:\\备份\\2026年12月10日09时00分恢复前.bak' WITH  NOINIT ,  NOUNLOAD ,"
    "NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT, COPY_ONLY";
const std::string kSingleUser = "ALTER DATABASE [shop] SET SINGLE_USER WITH ROLLBACK IMMEDIATE";
const std::string kRestoreOver = "RESTORE DATABASE [shop]" + kFrom +
                                 ", REPLACE"
                                 ", MOVE N'shop' TO N'E:\\SQL\\shop.mdf'"
                                 ", MOVE N'shop_archive' TO N'E:\\SQL\\shop_archive.ndf'"
                                 ", MOVE N'shop_log' TO N'F:\\Logs\\shop_log.ldf'"
                                 ", STATS = 10";
const std::string kMultiUser = "ALTER DATABASE [shop] SET MULTI_USER";
const std::string kRestoreSafety =
    "RESTORE DATABASE [shop] FROM DISK = N'" + kSafety + "' WITH FILE = 1, REPLACE, STATS = 10";

const std::string kStartNew = "开始恢复数据库: " + kBackup + " 备份集 2 -> 新数据库 [shop_恢复_20261210_0900]";
const std::string kStartOver = "开始恢复数据库: " + kBackup + " 备份集 2 -> 覆盖当前数据库 [shop]";
const std::string kUsableAgain =
    "数据库 [shop] 已恢复多用户模式,可以使用;其中的数据可能不完整,恢复前的数据在安全备份中: " + kSafety;

TEST(DatabaseRestoreTest, AsNewDatabaseMovesEveryFileUnderTheNewName) {
  Fixture f;
  f.session.onExecute = [&](const std::string& statement) {
    f.sent(statement);
    if (StartsWith(statement, "RESTORE DATABASE"))
      for (const char* percent : {"10 percent processed.", "100 percent processed."})
        f.session.say({"01000", 3211, std::string("[FreeTDS][SQL Server]") + percent});
  };
  const RestorePlan plan = f.plan(Target::newDatabase);
  EXPECT_EQ(f.session.statements,
            (std::vector<std::string>{"SELECT name FROM sys.databases WHERE name = N'shop_恢复_20261210_0900'",
                                      "RESTORE FILELISTONLY" + kFrom,
                                      "SELECT name, physical_name, type FROM sys.master_files WHERE database_id = "
                                      "DB_ID(N'shop') ORDER BY file_id",
                                      "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS path"}));
  EXPECT_EQ(plan.database, kNewName);
  EXPECT_EQ(plan.safetyBackup, "");
  EXPECT_EQ(plan.statements, std::vector<std::string>{kRestoreNew});

  const std::size_t planned = f.session.statements.size();
  const RestoreResult result = f.restore.Run(f.settings, plan);
  EXPECT_EQ(f.sentSince(planned), plan.statements);
  EXPECT_EQ(f.session.opens(), (std::vector<std::string>{"sa|pw|OFFICE1", "sa|pw|OFFICE1"}));
  EXPECT_EQ(result.outcome, Outcome::succeeded);
  EXPECT_EQ(result.cause, "");
  EXPECT_EQ(result.milliseconds, 135000);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStartNew, "正在恢复数据库...", "恢复进度: 10 percent processed.",
                                                   "恢复进度: 100 percent processed.",
                                                   "数据库恢复成功: [shop_恢复_20261210_0900] 2分15秒"}));
}

TEST(DatabaseRestoreTest, WithoutADefaultDataFolderTheNewFilesGoBesideTheCurrentDataFile) {
  for (const bool unknown : {false, true}) {
    Fixture f;
    f.defaultDataPath = "";  // a server older than 2012 returns NULL
    if (unknown) f.failures.emplace("SELECT CAST", Failure(195, "'SERVERPROPERTY' is not a recognized function"));
    const RestorePlan plan = f.plan(Target::newDatabase, "copy");
    EXPECT_EQ(plan.statements,
              std::vector<std::string>{"RESTORE DATABASE [copy]" + kFrom +
                                       ", MOVE N'shop' TO N'E:\\SQL\\copy.mdf'"
                                       ", MOVE N'shop_archive' TO N'E:\\SQL\\copy_2.ndf'"
                                       ", MOVE N'shop_log' TO N'E:\\SQL\\copy_log.ldf', STATS = 10"})
        << unknown;
  }
}

struct RefusalCase {
  const char* name;
  Target target;
  std::string newName;
  std::function<void(Fixture&)> arrange;
  std::string refusal;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RestorePlanRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RestorePlanRefused, PlansNothingAndSendsNoChange) {
  const RefusalCase& c = GetParam();
  Fixture f;
  if (c.arrange) c.arrange(f);
  const PlannedRestore planned = PlanRestore(f.settings, f.session, f.choice(), c.target, c.newName, f.clock.now());
  EXPECT_FALSE(planned.plan.has_value());
  EXPECT_EQ(planned.refusal, c.refusal);
  for (const std::string& statement : f.session.statements)
    EXPECT_TRUE(StartsWith(statement, "SELECT") || StartsWith(statement, "RESTORE FILELISTONLY")) << statement;
}

INSTANTIATE_TEST_SUITE_P(
    Plans, RestorePlanRefused,
    ::testing::Values(
        RefusalCase{"NameTaken", Target::newDatabase, "shop", {}, "数据库名称已被占用: shop"},
        RefusalCase{"NameEmpty", Target::newDatabase, "", {}, "请输入新数据库的名称"},
        RefusalCase{"NameBlank", Target::newDatabase, " \t ", {}, "请输入新数据库的名称"},
        RefusalCase{"NameEndsWithBlank", Target::newDatabase, "shop2 ", {}, "数据库名称的开头和结尾不能是空格"},
        RefusalCase{"NameWithLineBreak", Target::newDatabase, "a\nb", {}, "数据库名称不能包含控制字符"},
        RefusalCase{"NameTooLong", Target::newDatabase, std::string(129, 'x'), {}, "数据库名称太长: 最多128个字符"},
        RefusalCase{"ServerUnreachable", Target::newDatabase, "copy", [](Fixture& f) { f.session.failOpen = true; },
                    "无法连接SQL服务器: 18456 Login failed for user."},
        RefusalCase{"SetUnreadable", Target::current, "",
                    [](Fixture& f) {
                      f.failures.emplace("RESTORE FILELISTONLY",
                                         Failure(3241, "The media family on device is incorrectly formed."));
                    },
                    "无法读取备份集: " + kBackup + " (2): 3241 The media family on device is incorrectly formed."},
        RefusalCase{"SetWithoutFiles", Target::newDatabase, "copy", [](Fixture& f) { f.fileLists.clear(); },
                    "RESTORE FILELISTONLY 返回的文件列表无法读取"},
        RefusalCase{"CurrentDatabaseGone", Target::current, "", [](Fixture& f) { f.currentFiles.rows.clear(); },
                    "数据库在服务器上不存在,请恢复为新数据库: shop"},
        RefusalCase{"NoFolderKnown", Target::newDatabase, "copy",
                    [](Fixture& f) {
                      f.defaultDataPath = "";
                      f.currentFiles.rows.clear();
                    },
                    "无法确定新数据库文件的目录"},
        // Where the backup says its files were may be where the current
        // database's are now.
        RefusalCase{"NewFileWhereTheBackupsWas", Target::newDatabase, "copy",
                    [](Fixture& f) {
                      f.defaultDataPath = "C:\\Data";
                      f.fileLists[2] = FileList({{"copy", "C:\\Data\\copy.mdf", "D"}, {"log", "L:\\copy.ldf", "L"}});
                    },
                    "新数据库的文件与已有的文件同名: C:\\Data\\copy.mdf"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(DatabaseRestoreTest, ANewFileOnACurrentDatabaseFileIsRefused) {
  Fixture f;
  f.defaultDataPath = "E:\\SQL";
  f.currentFiles.rows.push_back({"x", "E:\\SQL\\copy_log.ldf", "1"});
  const PlannedRestore planned = PlanRestore(f.settings, f.session, f.choice(), Target::newDatabase, "copy", f.clock.now());
  EXPECT_EQ(planned.refusal, "新数据库的文件与已有的文件同名: E:\\SQL\\copy_log.ldf");
}

TEST(DatabaseRestoreTest, OverTheCurrentDatabaseSafetyBackupSingleUserReplaceMultiUser) {
  Fixture f;
  const RestorePlan plan = f.plan(Target::current);
  EXPECT_EQ(plan.database, "shop");
  EXPECT_EQ(plan.safetyBackup, kSafety);
  EXPECT_EQ(plan.statements, (std::vector<std::string>{kSafetyBackup, kSingleUser, kRestoreOver, kMultiUser}));

  const std::size_t planned = f.session.statements.size();
  const RestoreResult result = f.restore.Run(f.settings, plan);
  EXPECT_EQ(f.sentSince(planned), plan.statements);
  // Everything but MULTI_USER without the statement time-out.
  EXPECT_EQ(std::vector<std::string>(f.session.calls.end() - 4, f.session.calls.end()),
            (std::vector<std::string>{"executeLong", "executeLong", "executeLong", "execute"}));
  EXPECT_EQ(result.outcome, Outcome::succeeded);
  EXPECT_EQ(result.safetyBackup, kSafety);
  EXPECT_EQ(f.log.lines,
            (std::vector<std::string>{kStartOver, "正在制作安全备份: " + kSafety, "安全备份: " + kSafety,
                                      "正在断开其他用户的连接 (单用户模式)", "正在恢复数据库...", "已恢复多用户模式",
                                      "数据库恢复成功: [shop] 2分15秒"}));
}

TEST(DatabaseRestoreTest, SafetyBackupIsABackupThatTheCleanupLetsGoAfterTheKeptDays) {
  MemoryFiles files;
  files.add(kSafety, "x", At(2026, 12, 10, 9, 0));
  files.add(kBackupDir + "2026年12月20日02时00分.bak", "x", At(2026, 12, 20, 2, 0));
  EXPECT_EQ(ExpiredBackups(files, kBackupDir, 7, At(2026, 12, 17, 8, 0)), std::vector<std::string>{});
  EXPECT_EQ(ExpiredBackups(files, kBackupDir, 7, At(2026, 12, 20, 9, 0)), std::vector<std::string>{kSafety});
}

struct StepCase {
  const char* name;
  std::string failing;  // the statement that fails, by its start
  std::vector<std::string> sent;
  std::vector<std::string> lines;  // after the start line
  std::string safetyBackup;        // RestoreResult's
};
void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class RestoreStepFails : public ::testing::TestWithParam<StepCase> {};

TEST_P(RestoreStepFails, OverTheCurrentDatabaseEndsMultiUserUnlessNothingChanged) {
  const StepCase& c = GetParam();
  Fixture f;
  const RestorePlan plan = f.plan(Target::current);
  const std::size_t planned = f.session.statements.size();
  f.failures.emplace(c.failing, Failure(3201, "Cannot open backup device. Operating system error 5(Access is denied.)."));
  const RestoreResult result = f.restore.Run(f.settings, plan);
  EXPECT_EQ(result.outcome, Outcome::failed);
  EXPECT_EQ(result.cause, "原因: 3201 Cannot open backup device. Operating system error 5(Access is denied.).");
  EXPECT_EQ(result.safetyBackup, c.safetyBackup);
  EXPECT_EQ(f.sentSince(planned), c.sent);
  std::vector<std::string> lines{kStartOver};
  lines.insert(lines.end(), c.lines.begin(), c.lines.end());
  EXPECT_EQ(f.log.lines, lines);
}

const std::string kFailedLine = "数据库恢复失败: [shop] 2分15秒";
const std::string kCauseLine = "原因: 3201 Cannot open backup device. Operating system error 5(Access is denied.).";

INSTANTIATE_TEST_SUITE_P(
    Statements, RestoreStepFails,
    ::testing::Values(
        StepCase{"SafetyBackup",
                 "BACKUP DATABASE",
                 {kSafetyBackup},
                 {"正在制作安全备份: " + kSafety, "安全备份失败,数据库没有改动", kFailedLine, kCauseLine},
                 ""},
        StepCase{"SingleUser",
                 "ALTER DATABASE [shop] SET SINGLE_USER",
                 {kSafetyBackup, kSingleUser, kMultiUser},
                 {"正在制作安全备份: " + kSafety, "安全备份: " + kSafety, "正在断开其他用户的连接 (单用户模式)",
                  "已恢复多用户模式", kFailedLine, kCauseLine, kUsableAgain},
                 kSafety},
        StepCase{"Restore",
                 "RESTORE DATABASE",
                 {kSafetyBackup, kSingleUser, kRestoreOver, kMultiUser},
                 {"正在制作安全备份: " + kSafety, "安全备份: " + kSafety, "正在断开其他用户的连接 (单用户模式)",
                  "正在恢复数据库...", "已恢复多用户模式", kFailedLine, kCauseLine, kUsableAgain},
                 kSafety}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

// Another connection that came in while the database was single-user holds
// it: a plain MULTI_USER fails (5064) until that connection is ended.
TEST(DatabaseRestoreTest, MultiUserThatFailsIsTriedOnANewConnectionThenToldAsTheUsersToDo) {
  for (const bool secondWorks : {true, false}) {
    Fixture f;
    const RestorePlan plan = f.plan(Target::current);
    const std::size_t planned = f.session.statements.size();
    f.failures.emplace("RESTORE DATABASE", Failure(3159, "The tail of the log has not been backed up."));
    int multiUserTries = 0;
    f.during = [&](const std::string& statement) {
      if (StartsWith(statement, kMultiUser) && (++multiUserTries == 1 || !secondWorks))
        throw Failure(5064, "Changes to the state or options of database 'shop' cannot be made at this time.");
    };
    const RestoreResult result = f.restore.Run(f.settings, plan);
    EXPECT_EQ(result.outcome, Outcome::failed);
    std::vector<std::string> sent = {kSafetyBackup, kSingleUser, kRestoreOver, kMultiUser,
                                     kMultiUser + " WITH ROLLBACK IMMEDIATE"};
    // Still not open to all: the safety backup is tried (and fails as the restore did).
    if (!secondWorks) sent.push_back(kRestoreSafety);
    EXPECT_EQ(f.sentSince(planned), sent);
    // The plan's, the restore's, MULTI_USER's own, and the safety backup's restore.
    EXPECT_EQ(f.session.opens().size(), secondWorks ? 3u : 4u);
    const std::vector<std::string> tail(f.log.lines.end() - 3, f.log.lines.end());
    if (secondWorks) {
      EXPECT_EQ(tail, (std::vector<std::string>{kFailedLine, "原因: 3159 The tail of the log has not been backed up.",
                                                kUsableAgain}));
    } else {
      EXPECT_EQ(f.log.lines.end()[-4], "原因: 3159 The tail of the log has not been backed up.");
      EXPECT_EQ(tail,
                (std::vector<std::string>{"无法恢复多用户模式: 5064 Changes to the state or options of database "
                                          "'shop' cannot be made at this time.",
                                          "其他用户可能无法连接,请在SQL服务器上执行: " + kMultiUser,
                                          "恢复前的数据在安全备份中: " + kSafety}));
    }
  }
}

// A restore that failed part-way leaves the database restoring, which no
// ALTER DATABASE changes (5052): the safety backup is restored over it, and the
// database is open to every user again, with what it held before.
TEST(DatabaseRestoreTest, ADatabaseLeftRestoringGetsItsSafetyBackupBackAndIsOpenAgain) {
  Fixture f;
  const RestorePlan plan = f.plan(Target::current);
  const std::size_t planned = f.session.statements.size();
  bool restoring = false;
  f.during = [&](const std::string& statement) {
    if (statement == kRestoreOver) {
      restoring = true;
      throw Failure(3257, "There is insufficient free space on disk volume 'E:\\' to create the database.");
    }
    if (statement == kRestoreSafety) restoring = false;
    if (StartsWith(statement, kMultiUser) && restoring)
      throw Failure(5052, "ALTER DATABASE is not permitted while a database is in the Restoring state.");
  };
  const RestoreResult result = f.restore.Run(f.settings, plan);
  EXPECT_EQ(result.outcome, Outcome::failed);
  EXPECT_EQ(result.safetyBackup, kSafety);
  EXPECT_EQ(f.sentSince(planned),
            (std::vector<std::string>{kSafetyBackup, kSingleUser, kRestoreOver, kMultiUser,
                                      kMultiUser + " WITH ROLLBACK IMMEDIATE", kRestoreSafety, kMultiUser}));
  const auto at = [&](const std::string& line) {
    return std::find(f.log.lines.begin(), f.log.lines.end(), line) - f.log.lines.begin();
  };
  EXPECT_LT(at("数据库停在恢复中,正在用安全备份恢复原来的数据: " + kSafety), at("已用安全备份恢复原来的数据: " + kSafety));
  EXPECT_LT(at("已用安全备份恢复原来的数据: " + kSafety), at("已恢复多用户模式"));
  EXPECT_LT(at("已恢复多用户模式"), static_cast<std::ptrdiff_t>(f.log.lines.size()));
  EXPECT_EQ(f.log.lines.back(), kUsableAgain);
}

TEST(DatabaseRestoreTest, FailedRestoreAsNewDatabaseLeavesWhatItMadeToTheUser) {
  struct Case {
    const char* name;
    Diagnostic error;
    bool leftBehind;
  };
  for (const Case& c : {Case{"HalfWay", {"42000", 3203, "Read on device failed: 23(Data error (CRC))."}, true},
                        Case{"NameTakenMeanwhile", {"42000", 1801, "Database 'x' already exists."}, false}}) {
    Fixture f;
    const RestorePlan plan = f.plan(Target::newDatabase);
    const std::size_t planned = f.session.statements.size();
    f.failures.emplace("RESTORE DATABASE", ServerError("failed", {c.error}));
    const RestoreResult result = f.restore.Run(f.settings, plan);
    EXPECT_EQ(result.outcome, Outcome::failed) << c.name;
    EXPECT_EQ(f.sentSince(planned), plan.statements) << c.name;  // nothing dropped
    std::vector<std::string> lines{kStartNew, "正在恢复数据库...", "数据库恢复失败: [shop_恢复_20261210_0900] 2分15秒",
                                   "原因: " + std::to_string(c.error.nativeError) + " " + c.error.message};
    if (c.leftBehind)
      lines.push_back("恢复未完成的数据库 [shop_恢复_20261210_0900] 如仍在服务器上,不会被自动删除: "
                      "它现在是您的,确认不需要后可以自行删除");
    EXPECT_EQ(f.log.lines, lines) << c.name;
  }
}

struct CancelCase {
  const char* name;
  Target target;
  std::string statement;  // cancelled while it runs
  std::vector<std::string> sent;
  std::string safetyBackup;
};
void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class RestoreCancelDuring : public ::testing::TestWithParam<CancelCase> {};

TEST_P(RestoreCancelDuring, ReachesTheSessionAndLeavesTheDatabaseMultiUser) {
  const CancelCase& c = GetParam();
  Fixture f;
  const RestorePlan plan = f.plan(c.target);
  const std::size_t planned = f.session.statements.size();
  std::thread canceller;
  f.during = [&](const std::string& statement) {
    if (statement != c.statement) return;
    f.session.runUntilCancelled = true;
    canceller = std::thread([&] { f.restore.cancel(); });
  };
  const RestoreResult result = f.restore.Run(f.settings, plan);
  if (canceller.joinable()) canceller.join();
  EXPECT_GE(f.session.cancels(), 1);
  EXPECT_EQ(result.outcome, Outcome::cancelled);
  EXPECT_EQ(result.cause, "已取消");
  EXPECT_EQ(result.safetyBackup, c.safetyBackup);
  EXPECT_EQ(f.sentSince(planned), c.sent);
  const std::string name = c.target == Target::current ? "[shop]" : "[shop_恢复_20261210_0900]";
  EXPECT_NE(std::find(f.log.lines.begin(), f.log.lines.end(), "数据库恢复已取消: " + name + " 2分15秒"),
            f.log.lines.end());
  EXPECT_EQ(std::count_if(f.log.lines.begin(), f.log.lines.end(),
                          [](const std::string& line) { return StartsWith(line, "数据库恢复失败"); }),
            0);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, RestoreCancelDuring,
    ::testing::Values(CancelCase{"SafetyBackup", Target::current, kSafetyBackup, {kSafetyBackup}, ""},
                      CancelCase{"RestoreOverCurrent",
                                 Target::current,
                                 kRestoreOver,
                                 {kSafetyBackup, kSingleUser, kRestoreOver, kMultiUser},
                                 kSafety},
                      CancelCase{"RestoreAsNew", Target::newDatabase, kRestoreNew, {kRestoreNew}, ""}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

TEST(DatabaseRestoreTest, CancelWhenNoRestoreRunsChangesNothing) {
  Fixture f;
  f.restore.cancel();
  const RestorePlan plan = f.plan(Target::current);
  EXPECT_EQ(f.restore.Run(f.settings, plan).outcome, Outcome::succeeded);
}

TEST(DatabaseRestoreTest, ThreeSetsInOneFileAreThreeChoicesAndTheSecondRestoresFileTwo) {
  Fixture f;
  f.files.add(kBackup, std::string(300, 'b'), At(2026, 12, 10, 22, 0));
  f.headers[kBackup] = Header({{"Vorda软件Bakwyn", "1", "1", "shop", "2026-12-10 02:01:30.000"},
                               {"Vorda软件Bakwyn", "1", "2", "shop", "2026-12-10 14:01:30.000"},
                               {"Vorda软件Bakwyn", "1", "3", "shop", "2026-12-10 22:00:05.500"}});
  const std::vector<RestoreChoice> choices = ListRestoreChoices(f.settings, f.session, f.files);
  ASSERT_EQ(choices.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(choices[i].path, kBackup);
    EXPECT_EQ(choices[i].position, 3 - static_cast<int>(i));
    EXPECT_EQ(choices[i].bytes, 300u);
    EXPECT_EQ(choices[i].database, "shop");
  }
  EXPECT_EQ(choices[0].finished, At(2026, 12, 10, 22, 0, 5, 500));
  const PlannedRestore planned =
      PlanRestore(f.settings, f.session, choices[1], Target::current, "", f.clock.now());
  ASSERT_TRUE(planned.plan);
  EXPECT_EQ(f.session.statements.end()[-2], "RESTORE FILELISTONLY" + kFrom);
  EXPECT_EQ(planned.plan->statements[2], kRestoreOver);
}

TEST(DatabaseRestoreTest, ListIsNewestFirstOverBothFoldersWithTheirMarks) {
  Fixture f;
  const std::string older = kBackupDir + "2026年12月08日02时00分.bak";
  const std::string damaged = kBackupDir + "2026年12月09日02时00分.bak";
  const std::string copy = kCopies + "2026年12月10日02时00分.bak";
  const std::string copyOnly = kCopies + "2026年12月07日02时00分.bak";
  f.files.add(kBackup, std::string(300, 'b'), At(2026, 12, 10, 2, 2));
  f.files.add(older, std::string(200, 'b'), At(2026, 12, 8, 2, 2));
  f.files.add(damaged, std::string(100, 'b'), At(2026, 12, 9, 2, 2));
  f.files.add(copy, std::string(300, 'b'), At(2026, 12, 10, 3, 0));
  f.files.add(copyOnly, std::string(50, 'b'), At(2026, 12, 7, 3, 0));
  f.files.add(kBackupDir + "notes.txt", "x", At(2026, 12, 11, 0, 0));
  f.files.add("\\\\nas\\b\\OFFICE2\\shop\\2026年12月11日02时00分.bak", "x", At(2026, 12, 11, 2, 0));
  const auto header = [](std::vector<std::vector<std::string>> rows) { return Header(std::move(rows)); };
  f.headers[kBackup] = header({{"Vorda软件Bakwyn", "1", "1", "shop", "2026-12-10 02:01:30.000"},
                               {"other", "1", "2", "crm", "2026-12-10 02:05:00.000"},
                               {"Vorda软件Bakwyn", "5", "3", "shop", "2026-12-10 02:06:00.000"}});
  f.headers[copy] = f.headers[kBackup];
  f.headers[older] = header({{"Vorda软件Bakwyn", "1", "1", "SHOP", "2026-12-08 02:01:00"}});
  f.headers[copyOnly] = header({{"Vorda软件Bakwyn", "1", "1", "shop", "2026-12-07 02:01:00"}});
  f.failures.emplace("RESTORE HEADERONLY FROM DISK = N'" + damaged, Failure(3241, "incorrectly formed"));
  ASSERT_TRUE(RecordVerified(f.files, kBackupDir, "2026年12月10日02时00分.bak", 1, At(2026, 12, 10, 2, 3)));
  ASSERT_TRUE(RecordVerified(f.files, kBackupDir, "2026年12月08日02时00分.bak", 2, At(2026, 12, 8, 2, 3)));

  const std::vector<RestoreChoice> choices = ListRestoreChoices(
      f.settings, f.session, f.files, "OFFICE1", TestedSet{older, 1});
  const std::vector<RestoreChoice> expected{
      {kBackup, false, 1, At(2026, 12, 10, 2, 1, 30), 300, true, false, "shop"},
      {copy, true, 1, At(2026, 12, 10, 2, 1, 30), 300, true, false, "shop"},
      {damaged, false, 1, At(2026, 12, 9, 2, 2), 100, false, false, ""},
      {older, false, 1, At(2026, 12, 8, 2, 1), 200, false, true, "SHOP"},
      {copyOnly, true, 1, At(2026, 12, 7, 2, 1), 50, false, false, "shop"}};
  ASSERT_EQ(choices.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const RestoreChoice& got = choices[i];
    const RestoreChoice& want = expected[i];
    EXPECT_EQ(std::tie(got.path, got.secondFolder, got.position, got.bytes, got.verified, got.restoreTested, got.database),
              std::tie(want.path, want.secondFolder, want.position, want.bytes, want.verified, want.restoreTested,
                       want.database))
        << i;
    EXPECT_EQ(got.finished, want.finished) << i;
  }
}

TEST(DatabaseRestoreTest, ServerUnreachableStillListsTheFilesAsUnread) {
  Fixture f;
  f.session.failOpen = true;
  f.files.add(kBackup, "b", At(2026, 12, 10, 2, 2));
  const std::vector<RestoreChoice> choices = ListRestoreChoices(f.settings, f.session, f.files);
  ASSERT_EQ(choices.size(), 1u);
  EXPECT_EQ(choices[0].database, "");
  EXPECT_EQ(choices[0].position, 1);
  EXPECT_EQ(choices[0].finished, At(2026, 12, 10, 2, 2));
  EXPECT_TRUE(f.session.statements.empty());
}

// Reads a RESTORE statement back as the server parses it: the bracketed name
// ("]]" is "]"), the N'...' literals ("''" is "'").
struct ParsedRestore {
  std::string database, disk;
  std::vector<std::pair<std::string, std::string>> moves;
};
std::optional<ParsedRestore> ParseRestore(const std::string& sql) {
  size_t i = 0;
  const auto expect = [&](const std::string& word) {
    if (sql.compare(i, word.size(), word) != 0) return false;
    i += word.size();
    return true;
  };
  const auto quoted = [&](char open, char close, std::string& out) {
    if (i >= sql.size() || sql[i] != open) return false;
    for (++i; i < sql.size(); ++i) {
      if (sql[i] == close) {
        if (i + 1 < sql.size() && sql[i + 1] == close) {
          out += close;
          ++i;
          continue;
        }
        ++i;
        return true;
      }
      out += sql[i];
    }
    return false;
  };
  ParsedRestore p;
  if (!expect("RESTORE DATABASE ") || !quoted('[', ']', p.database) || !expect(" FROM DISK = N") ||
      !quoted('\'', '\'', p.disk) || !expect(" WITH FILE = 2"))
    return std::nullopt;
  expect(", REPLACE");
  while (expect(", MOVE N")) {
    std::string logical, physical;
    if (!quoted('\'', '\'', logical) || !expect(" TO N") || !quoted('\'', '\'', physical)) return std::nullopt;
    p.moves.emplace_back(logical, physical);
  }
  if (!expect(", STATS = 10") || i != sql.size()) return std::nullopt;
  return p;
}

TEST(DatabaseRestoreTest, HostileNamesAreQuotedAndMadeFileNames) {
  struct Case {
    const char* name;
    std::string database;  // the current one, and the new one with "2" after it
    std::string fileStem;  // of the new one's files
  };
  for (const Case& c : {Case{"BracketAndQuote", "a]b'c", "a]b'c2"}, Case{"Separators", "x/y:z*", "x_y_z_2"},
                        Case{"Semicolon", "d'; DROP DATABASE [master]; --", "d'; DROP DATABASE [master]; --2"},
                        Case{"OutsideTheBmp", "账本😀", "账本😀2"}}) {
    Fixture f;
    f.settings.database = c.database;
    f.fileLists[2] = FileList({{"da]ta'1", "C:\\x.mdf", "D"}, {"lo'g", "C:\\y.ldf", "L"}});
    f.currentFiles = {{"name", "physical_name", "type"},
                      {{"da]ta'1", "E:\\O'Brien\\a.mdf", "0"}, {"lo'g", "E:\\O'Brien\\a.ldf", "1"}}};
    f.defaultDataPath = "E:\\O'Brien";
    const RestoreChoice from{"D:\\it's [here]\\b.bak", false, 2, {}, 0, false, false, c.database};
    const std::string newName = c.database + "2";
    for (const Target target : {Target::newDatabase, Target::current}) {
      const PlannedRestore planned = PlanRestore(f.settings, f.session, from, target, newName, f.clock.now());
      ASSERT_TRUE(planned.plan) << c.name << planned.refusal;
      const std::string& restore = planned.plan->statements[target == Target::current ? 2 : 0];
      const std::optional<ParsedRestore> parsed = ParseRestore(restore);
      ASSERT_TRUE(parsed) << c.name << ": " << restore;
      EXPECT_EQ(parsed->database, target == Target::current ? c.database : newName) << c.name;
      EXPECT_EQ(parsed->disk, from.path) << c.name;
      const std::vector<std::pair<std::string, std::string>> moves =
          target == Target::current
              ? std::vector<std::pair<std::string, std::string>>{{"da]ta'1", "E:\\O'Brien\\a.mdf"},
                                                                 {"lo'g", "E:\\O'Brien\\a.ldf"}}
              : std::vector<std::pair<std::string, std::string>>{
                    {"da]ta'1", "E:\\O'Brien\\" + c.fileStem + ".mdf"},
                    {"lo'g", "E:\\O'Brien\\" + c.fileStem + "_log.ldf"}};
      EXPECT_EQ(parsed->moves, moves) << c.name;
    }
  }
}

TEST(DatabaseRestoreTest, ProposedNameFitsTheServersLongestName) {
  struct Case {
    const char* name;
    std::string database;
    std::string proposed;
  };
  const std::string suffix = "_恢复_20261210_0905";  // 17 UTF-16 units
  for (const Case& c :
       {Case{"Short", "shop", "shop" + suffix}, Case{"Fits", std::string(111, 'a'), std::string(111, 'a') + suffix},
        Case{"Cut", std::string(200, 'a'), std::string(111, 'a') + suffix},
        // A character outside the BMP takes two units and is never halved.
        Case{"NoHalfCharacter", std::string(110, 'a') + "😀b", std::string(110, 'a') + suffix}}) {
    const std::string proposed = ProposedRestoreName(c.database, At(2026, 12, 10, 9, 5, 59));
    EXPECT_EQ(proposed, c.proposed) << c.name;
    EXPECT_LE(Utf8ToUtf16(proposed).size(), 128u) << c.name;
  }
}

}  // namespace
}  // namespace bakwyn
