#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/BackupEngine.h"
#include "tests/support/BackupStatementParser.h"
#include "tests/support/EngineFakes.h"
#include "tests/engine/TestDirectory.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::MemoryFiles;
using testing::FakeSession;
using testing::FromMs;
using testing::LogLines;
using testing::TestDirectory;

const std::string kStart = "开始备份数据库...";
const std::string kFailed = "数据库备份失败!";
std::string Succeeded(const std::string& path) { return "数据库备份成功!  [文件名:" + path + "]"; }
// What the fake session's failures are described as.
const std::string kLoginRefusedCause = "原因: 18456 Login failed for user.";
const std::string kStatementFailedCause = "原因: 3013 BACKUP DATABASE is terminating abnormally.";
const std::string kCancelled = "数据库备份已取消";

TEST(BackupStatementTest, NormalInputIsExactlyTheDocumentedStatement) {
  EXPECT_EQ(BuildBackupStatement("shop", "D:\\数据库自动备份目录\\2004年11月17日10时30分.bak"),
            "BACKUP DATABASE [shop] TO  DISK = N'D:\\数据库自动备份目录\\2004年11月17日10时30分.bak' WITH  NOINIT ,  "
            "NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT");
}

// With verification on, the same statement and CHECKSUM among its options:
// the server checks the database's pages as it reads them and writes a
// checksum that the verification checks again.
TEST(BackupStatementTest, WithChecksumOnlyAddsTheOption) {
  EXPECT_EQ(BuildBackupStatement("shop", "D:\\数据库自动备份目录\\2004年11月17日10时30分.bak", true),
            "BACKUP DATABASE [shop] TO  DISK = N'D:\\数据库自动备份目录\\2004年11月17日10时30分.bak' WITH  NOINIT ,  "
            "NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM");
}

using test::ParseBackupStatement;

struct StatementCase {
  const char* name;
  std::string database;
  std::string dir;
};
void PrintTo(const StatementCase& c, std::ostream* os) { *os << c.name; }


class BackupStatementRoundTrip : public ::testing::TestWithParam<StatementCase> {};

TEST_P(BackupStatementRoundTrip, ServerReadsBackExactlyTheNameAndPath) {
  const StatementCase& c = GetParam();
  const std::string path = c.dir + "2004年11月17日10时30分.bak";
  const auto parsed = ParseBackupStatement(BuildBackupStatement(c.database, path));
  ASSERT_TRUE(parsed.has_value()) << BuildBackupStatement(c.database, path);
  EXPECT_EQ(parsed->database, c.database);
  EXPECT_EQ(parsed->path, path);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, BackupStatementRoundTrip,
    ::testing::Values(StatementCase{"Plain", "shop", "D:\\数据库自动备份目录\\"},
                      StatementCase{"ClosingBracket", "a]b", "D:\\x\\"},
                      StatementCase{"OnlyBrackets", "]][[", "D:\\x\\"},
                      StatementCase{"QuoteInFolder", "shop", "D:\\O'Neil's backups\\"},
                      StatementCase{"QuoteInName", "O'Neil", "D:\\''\\"},
                      StatementCase{"InjectionAttempt", "x]; DROP DATABASE [y", "D:\\a'; SHUTDOWN --\\"},
                      StatementCase{"DoubleQuotesBraces", "\"{db}\"", "D:\\\"{dir}\"\\"},
                      StatementCase{"Chinese", "销售数据库", "D:\\数据库自动备份目录\\子目录\\"},
                      StatementCase{"OutsideTheBmp", "库😀𠀀]", "D:\\备份😀\\𠀀'\\"},
                      StatementCase{"ControlChars", "a\tb", "D:\\a\x01" "b\\"},
                      StatementCase{"Long", std::string(120, ']'), "D:\\" + std::string(200, '\'') + "\\"}),
    [](const ::testing::TestParamInfo<StatementCase>& info) { return std::string(info.param.name); });

struct FileNameCase {
  const char* name;
  LocalDateTime at;
  std::string file;
};
void PrintTo(const FileNameCase& c, std::ostream* os) { *os << c.name; }


class BackupFileNameTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(BackupFileNameTest, DatedTwentyFourHourZeroPadded) {
  EXPECT_EQ(BackupFileName(GetParam().at), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, BackupFileNameTest,
    ::testing::Values(FileNameCase{"Documented", At(2004, 11, 17, 10, 30), "2004年11月17日10时30分.bak"},
                      FileNameCase{"Evening", At(2026, 3, 7, 21, 5, 59, 999), "2026年03月07日21时05分.bak"},
                      FileNameCase{"Midnight", At(2000, 1, 1, 0, 0), "2000年01月01日00时00分.bak"},
                      FileNameCase{"LastMinute", At(2024, 12, 31, 23, 59, 59, 999), "2024年12月31日23时59分.bak"}),
    [](const ::testing::TestParamInfo<FileNameCase>& info) { return std::string(info.param.name); });

// The backup itself, as it runs with verification off: the statement and the
// steps of every version before verification came. The verification's tests
// turn it on.
struct JobFixture {
  JobFixture() { settings.verifyBackups = false; }
  BackupSettings settings;
  FakeClock clock{At(2004, 11, 17, 21, 5, 30)};
  FakeSession session;
  LogLines log;
};

TEST(BakExecuteTest, WritesDatedFileAndLogsStartAndSuccess) {
  TestDirectory dir;
  JobFixture f;
  f.settings = {"OFFICE1", "sa", "pw;x", "shop", dir.windowsRoot() + "备份\\深\\层\\", {}, false, 3};
  f.settings.verifyBackups = false;
  const std::string path = f.settings.backupDir + "2004年11月17日21时05分.bak";
  bool dirExistedAtExecute = false;
  f.session.onExecute = [&](const std::string&) {
    dirExistedAtExecute = std::filesystem::is_directory(dir.local(f.settings.backupDir));
    dir.write(path);  // the server writes the file
  };
  BackupEngine engine(f.settings, f.clock, f.session, dir.files(), f.log.sink());

  engine.BakExecute();

  EXPECT_TRUE(dirExistedAtExecute) << "every missing parent is created before the backup";
  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open sa|pw;x|OFFICE1", "closeQuery", "executeLong"}));
  ASSERT_EQ(f.session.statements.size(), 1u);
  EXPECT_EQ(f.session.statements[0], BuildBackupStatement("shop", path));
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  EXPECT_TRUE(std::filesystem::exists(dir.local(path)));
}

TEST(BakExecuteTest, SecondRunInTheSameMinuteAppendsToTheFirstFile) {
  TestDirectory dir;
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = dir.windowsRoot();
  const std::string path = dir.windowsRoot() + "2004年11月17日21时05分.bak";
  std::vector<bool> existedBeforeWrite;
  int run = 0;
  f.session.onExecute = [&](const std::string&) {
    existedBeforeWrite.push_back(std::filesystem::exists(dir.local(path)));
    // NOINIT: the server appends the new backup set to the file.
    std::ofstream(dir.local(path), std::ios::binary | std::ios::app) << "set " << ++run << ";";
  };
  BackupEngine engine(f.settings, f.clock, f.session, dir.files(), f.log.sink());

  engine.BakExecute();
  f.clock.set(At(2004, 11, 17, 21, 5, 58));
  engine.BakExecute();

  EXPECT_EQ(existedBeforeWrite, (std::vector<bool>{false, true})) << "the first file was still there for the second run";
  EXPECT_EQ(f.session.statements.at(0), f.session.statements.at(1));
  std::ifstream in(dir.local(path), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "set 1;set 2;");
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded(path), kStart, Succeeded(path)}));
}

// A file of the backup's own name already exists (a restart within the slot's
// minute). Whatever happens to the new backup, that file is never deleted.
struct SameNameCase {
  const char* name;
  bool failOpen;
  bool failExecute;
  std::vector<std::string> log;
};
void PrintTo(const SameNameCase& c, std::ostream* os) { *os << c.name; }

class SameNameFile : public ::testing::TestWithParam<SameNameCase> {};

TEST_P(SameNameFile, IsKeptWhateverTheOutcome) {
  const SameNameCase& c = GetParam();
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.session.failOpen = c.failOpen;
  f.session.failExecute = c.failExecute;
  const std::string name = "2004年11月17日21时05分.bak";
  MemoryFiles files;
  files.add(f.settings.backupDir + name, "", At(2004, 11, 17, 21, 5, 2));
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(files.files.count(f.settings.backupDir + name), 1u);
  EXPECT_EQ(files.done("remove"), std::vector<std::string>{}) << "no file is deleted for a backup";
  EXPECT_EQ(f.log.lines, c.log);
  if (!c.failOpen) {
    ASSERT_EQ(f.session.statements.size(), 1u);
    const auto parsed = ParseBackupStatement(f.session.statements[0]);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->path, "D:\\bak\\" + name) << "the new set goes to the same file";
    EXPECT_NE(f.session.statements[0].find("NOINIT"), std::string::npos) << "appended, never overwritten";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SameNameFile,
    ::testing::Values(SameNameCase{"ServerDown", true, false, {kStart, kFailed, kLoginRefusedCause}},
                      SameNameCase{"StatementFails", false, true, {kStart, kFailed, kStatementFailedCause}},
                      SameNameCase{"Success", false, false, {kStart, Succeeded("D:\\bak\\2004年11月17日21时05分.bak")}}),
    [](const ::testing::TestParamInfo<SameNameCase>& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  bool failOpen;
  bool failExecute;
  std::vector<std::string> calls;
  std::string cause;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }


class BakExecuteFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BakExecuteFailure, LogsFailureAndNeverSuccess) {
  const FailureCase& c = GetParam();
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.session.failOpen = c.failOpen;
  f.session.failExecute = c.failExecute;
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, c.cause}));
  EXPECT_EQ(f.session.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BakExecuteFailure,
    ::testing::Values(FailureCase{"LoginRefused", true, false, {"open ||"}, kLoginRefusedCause},
                      FailureCase{"StatementFails", false, true, {"open ||", "closeQuery", "executeLong"},
                                  kStatementFailedCause}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(BakExecuteTest, DirectoryThatCannotBeCreatedIsLeftToTheServerToReport) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "Q:\\nowhere\\";
  f.session.failExecute = true;  // as the server does for a missing folder
  MemoryFiles files;
  files.unreachable[f.settings.backupDir] = "The system cannot find the path specified.";
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(files.done("mkdir"), (std::vector<std::string>{"Q:\\nowhere\\"}));
  EXPECT_EQ(f.session.calls.back(), "executeLong") << "the backup is still attempted";
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, kStatementFailedCause}));
}

TEST(BakExecuteTest, AFailureOutsideTheServerIsDescribedToo) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.session.onExecute = [](const std::string&) { throw std::length_error("statement too long"); };
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, "原因: statement too long"}));
}

// The cause line, from the records FreeTDS gives for each failure (read from
// the stand-in) and the shapes of Microsoft's drivers.
struct CauseCase {
  const char* name;
  std::vector<Diagnostic> records;
  std::string what;
  std::string line;
};
void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }

class DescribeFailureTest : public ::testing::TestWithParam<CauseCase> {};

TEST_P(DescribeFailureTest, GivesTheCauseInTheUsersTerms) {
  const CauseCase& c = GetParam();
  EXPECT_EQ(DescribeFailure(ServerError(c.what, c.records)), c.line);
}

const Diagnostic kTerminating{"42000", 3013, "[FreeTDS][SQL Server]BACKUP DATABASE is terminating abnormally."};
Diagnostic Progress(int percent) {
  return {"01000", 3211, "[FreeTDS][SQL Server]" + std::to_string(percent) + " percent processed."};
}

INSTANTIATE_TEST_SUITE_P(
    Records, DescribeFailureTest,
    ::testing::Values(
        CauseCase{"FolderNotWritable",
                  {{"42000", 3201,
                    "[FreeTDS][SQL Server]Cannot open backup device 'T:\\x.bak'. Operating system error 5(Access is "
                    "denied.)."},
                   kTerminating},
                  "The statement failed",
                  "原因: 3201 Cannot open backup device 'T:\\x.bak'. Operating system error 5(Access is denied.)."},
        CauseCase{"TerminatingFirst",
                  {kTerminating,
                   {"42000", 3201,
                    "[FreeTDS][SQL Server]Cannot open backup device 'D:\\备份\\x.bak'. Operating system error "
                    "3(The system cannot find the path specified.)."}},
                  "The statement failed",
                  "原因: 3201 Cannot open backup device 'D:\\备份\\x.bak'. Operating system error 3(The system "
                  "cannot find the path specified.)."},
        CauseCase{"MissingDatabase",
                  {{"08004", 911,
                    "[FreeTDS][SQL Server]Database 'nosuch' does not exist. Make sure that the name is entered "
                    "correctly."},
                   kTerminating},
                  "The statement failed",
                  "原因: 911 Database 'nosuch' does not exist. Make sure that the name is entered correctly."},
        CauseCase{"DiskFullAfterProgress",
                  {Progress(10), Progress(20), Progress(30),
                   {"42000", 3202,
                    "[FreeTDS][SQL Server]Write on \"T:\\x.bak\" failed: 112(There is not enough space on the disk.)"},
                   kTerminating},
                  "The statement failed",
                  "原因: 3202 Write on \"T:\\x.bak\" failed: 112(There is not enough space on the disk.)"},
        CauseCase{"OnlyTheGenericEnd", {Progress(10), kTerminating}, "The statement failed",
                  "原因: 3013 BACKUP DATABASE is terminating abnormally."},
        CauseCase{"LoginRefused",
                  {{"42000", 18456, "[FreeTDS][SQL Server]Login failed for user 'sa'."},
                   {"08001", 0, "[FreeTDS][SQL Server]Unable to connect to data source"}},
                  "Cannot connect to server OFFICE1",
                  "原因: 18456 Login failed for user 'sa'."},
        CauseCase{"NothingListens",
                  {{"08S01", 20009,
                    "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable or does not exist"},
                   {"08S01", 20009,
                    "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable or does not exist"},
                   {"08001", 0, "[FreeTDS][SQL Server]Unable to connect to data source"}},
                  "Cannot connect to server OFFICE1",
                  "原因: Unable to connect: Adaptive Server is unavailable or does not exist"},
        CauseCase{"NothingListensMicrosoftDriver",
                  {{"08001", 10061,
                    "[Microsoft][ODBC Driver 17 for SQL Server]TCP Provider: No connection could be made because the "
                    "target machine actively refused it."},
                   {"HYT00", 0, "[Microsoft][ODBC Driver 17 for SQL Server]Login timeout expired"}},
                  "Cannot connect to server OFFICE1",
                  "原因: 10061 TCP Provider: No connection could be made because the target machine actively refused "
                  "it."},
        CauseCase{"ConnectionCutMidBackup",
                  {Progress(10), Progress(20), {"01000", 20017, "[FreeTDS][SQL Server]Unexpected EOF from the server"},
                   {"HY000", 0, "[FreeTDS][SQL Server]Unknown error"},
                   {"HY000", 0, "[FreeTDS][SQL Server]Unknown error"}},
                  "The statement failed",
                  "原因: Unexpected EOF from the server"},
        CauseCase{"TimeOut",
                  {{"HYT00", 0, "[FreeTDS][SQL Server]Timeout expired"},
                   {"HY008", 0, "[FreeTDS][SQL Server]Operation was cancelled"}},
                  "The statement failed",
                  "原因: Timeout expired; Operation was cancelled"},
        CauseCase{"OnlyInformation", {Progress(10)}, "The statement failed", "原因: 3211 10 percent processed."},
        CauseCase{"NoRecords", {}, "No ODBC driver for SQL Server is installed",
                  "原因: No ODBC driver for SQL Server is installed"},
        CauseCase{"UntaggedAndUnclosedTag",
                  {{"42000", 50000, "[half a tag"}, {"42000", 50001, "plain 中文 😀"}},
                  "The statement failed",
                  "原因: 50000 [half a tag; 50001 plain 中文 😀"}),
    [](const ::testing::TestParamInfo<CauseCase>& info) { return std::string(info.param.name); });

TEST(BakExecuteTest, FileNameComesFromOneReadingOfTheClock) {
  // Each reading is one millisecond later: the first is 10:59:59.999, the next
  // 11:00:00.000. Mixing readings would give 10时00分 or 11时59分.
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  std::vector<LocalDateTime> readings{At(2004, 11, 17, 10, 59, 59, 999), At(2004, 11, 17, 11, 0, 0, 0)};
  size_t next = 0;
  f.clock.script([&] { return readings[std::min(next++, readings.size() - 1)]; });
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(f.log.lines.back(), Succeeded("D:\\bak\\2004年11月17日10时59分.bak"));
}

TEST(BakExecuteTest, ReadsTheLatestAppliedSettings) {
  JobFixture f;
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  f.settings.user = "backup";
  f.settings.database = "新库";
  f.settings.backupDir = "D:\\bak\\";

  engine.BakExecute();

  EXPECT_EQ(f.session.calls.front(), "open backup||");
  EXPECT_EQ(f.session.statements.at(0), BuildBackupStatement("新库", "D:\\bak\\2004年11月17日21时05分.bak"));
}

// The percentages of the progress messages, as FreeTDS and Microsoft's drivers
// tag them and as a server in another language words them; nothing for the
// backup's other messages or for a text with no percentage in it.
TEST(BakExecuteTest, EachProgressMessageGivesItsPercentageAsItArrives) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  const std::vector<Diagnostic> said = {
      {"01000", 3211, "[FreeTDS][SQL Server]10 percent processed."},
      {"01000", 3211, "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]20 percent processed."},
      {"01000", 3211, "[Microsoft][SQL Server Native Client 11.0][SQL Server]已处理百分之 30。"},
      {"01000", 5701, "[FreeTDS][SQL Server]Changed database context to 'master'."},
      {"01000", 3211, "percent processed."},
      {"01000", 3211, "1000 percent processed."},
      {"01000", 4035, "[FreeTDS][SQL Server]Processed 328 pages for database 'shop', file 'shop' on file 1."},
      {"01000", 3211, "[FreeTDS][SQL Server]100 percent processed."},
      {"01000", 3014, "[FreeTDS][SQL Server]BACKUP DATABASE successfully processed 330 pages in 0.012 seconds."},
  };
  std::vector<int> percents;
  std::vector<std::size_t> saidBefore;  // how many messages the session had handed over at each
  size_t handedOver = 0;
  f.session.onExecute = [&](const std::string&) {
    for (const Diagnostic& d : said) {
      ++handedOver;
      f.session.say(d);
    }
  };
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  engine.onProgress = [&](int percent) {
    percents.push_back(percent);
    saidBefore.push_back(handedOver);
  };

  engine.BakExecute();

  EXPECT_EQ(percents, (std::vector<int>{10, 20, 30, 100}));
  EXPECT_EQ(saidBefore, (std::vector<std::size_t>{1, 2, 3, 8})) << "each as its message arrives";
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded("D:\\bak\\2004年11月17日21时05分.bak")}));
}

// A request to stop the backup, wherever it finds it: the backup is logged as
// cancelled, never as a success or a failure, and counts as run (a made-up
// backup is not tried again: its slot is stamped).
struct CancelCase {
  const char* name;
  bool whileConnecting;       // the request comes while the session connects, else while the server writes
  bool serverDown;            // the connection then fails
  bool throughTheSession;     // the session is cancelled directly, not through the engine
  std::vector<std::string> calls;
};
void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }

class BakExecuteCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(BakExecuteCancel, LogsTheCancellationAndStampsTheSlot) {
  const CancelCase& c = GetParam();
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.settings.slots[1] = {true, "08:30", ""};
  f.session.failOpen = c.serverDown;
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  if (c.whileConnecting) {
    f.session.onOpen = [&] { engine.cancelBackup(); };
  } else if (c.throughTheSession) {
    f.session.onExecute = [&](const std::string&) { f.session.cancel(); };
  } else {
    // The statement runs until the session is cancelled: by the engine's
    // watchdog, on the engine's request.
    f.session.runUntilCancelled = true;
    f.session.onExecute = [&](const std::string&) { engine.cancelBackup(); };
  }

  EXPECT_TRUE(engine.RunMadeUpBackup({2}, At(2004, 11, 17, 21, 5, 30)));

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{"补做错过的备份 (08:30)", kStart, kCancelled}));
  EXPECT_EQ(f.session.calls, c.calls);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_EQ(outcomes[0].cause, "已取消");
  EXPECT_EQ(outcomes[0].path, "D:\\bak\\2004年11月17日21时05分.bak");
  EXPECT_EQ(f.settings.slots[1].lastRunDate, "20041117");

  // The request went with that backup: the next one runs to its end.
  f.session.onOpen = {};
  f.session.onExecute = {};
  f.session.failOpen = false;
  f.session.runUntilCancelled = false;
  EXPECT_TRUE(engine.BakExecute());
  EXPECT_EQ(f.log.lines.back(), Succeeded("D:\\bak\\2004年11月17日21时05分.bak"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, BakExecuteCancel,
    ::testing::Values(
        CancelCase{"WhileTheServerWrites", false, false, false, {"open ||", "closeQuery", "executeLong"}},
        CancelCase{"SessionCancelledDirectly", false, false, true, {"open ||", "closeQuery", "executeLong"}},
        CancelCase{"WhileConnecting", true, false, false, {"open ||", "closeQuery"}},
        CancelCase{"WhileConnectingToAServerThatIsDown", true, true, false, {"open ||"}}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

TEST(BakExecuteTest, ACancelWithNoBackupUnderWayChangesNothing) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());

  engine.cancelBackup();
  EXPECT_TRUE(engine.BakExecute());
  engine.cancelBackup();

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded("D:\\bak\\2004年11月17日21时05分.bak")}));
  EXPECT_EQ(f.session.cancels(), 0);
}

// The watchdog against the clock. The statement runs until it is cancelled;
// the clock shows `minutes` after the backup's start at its readings (the
// first is the backup's own, the rest the watchdog's looks), then moves on by
// `thenEvery` minutes a reading. Only steps of the clock of up to five minutes
// count as silence: a larger one, or one back, is the clock set or the
// computer asleep. The watchdog reads the clock no more once it has given up,
// so the readings tell when it did.
struct SilenceCase {
  const char* name;
  std::int32_t stallMinutes;
  std::vector<int> minutes;
  int thenEvery;
  std::size_t readings;  // the clock's readings up to the one that found the limit reached
};
void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class BakExecuteSilence : public ::testing::TestWithParam<SilenceCase> {};

TEST_P(BakExecuteSilence, CancelsOnceTheSilenceReachesTheLimit) {
  const SilenceCase& c = GetParam();
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.settings.stallMinutes = c.stallMinutes;
  f.session.runUntilCancelled = true;
  const std::int64_t start = testing::ToMs(At(2004, 11, 17, 21, 5, 30));
  std::atomic<std::size_t> readings{0};
  f.clock.script([&] {
    const std::size_t n = readings++;
    const std::int64_t minute = n < c.minutes.size()
                                    ? c.minutes[n]
                                    : c.minutes.back() + static_cast<std::int64_t>(n - c.minutes.size() + 1) * c.thenEvery;
    return FromMs(start + minute * 60'000);
  });
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  engine.watchInterval = std::chrono::milliseconds(1);
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };

  EXPECT_TRUE(engine.BakExecute());

  const std::string cause = "超过" + std::to_string(c.stallMinutes) + "分钟没有收到SQL服务器的备份进度,备份已取消";
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, cause}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_EQ(outcomes[0].cause, cause);
  EXPECT_EQ(readings.load(), c.readings);
  EXPECT_GE(f.session.cancels(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, BakExecuteSilence,
    ::testing::Values(SilenceCase{"DefaultHour", BackupSettings{}.stallMinutes, {0}, 5, 13},
                      SilenceCase{"MinuteByMinute", 3, {0}, 1, 4},
                      SilenceCase{"FiveMinuteStepCounts", 3, {0, 5}, 1, 2},
                      SilenceCase{"ClocksGoForward", 3, {0, 1, 61}, 1, 5},
                      SilenceCase{"ClockSetBack", 3, {0, 1, -119}, 1, 5}),
    [](const ::testing::TestParamInfo<SilenceCase>& info) { return std::string(info.param.name); });

// Progress resets the silence: five messages two minutes apart outlast a limit
// of three minutes, and the limit then counts from the last of them.
TEST(BakExecuteTest, SilenceCountsFromTheLastProgress) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.settings.stallMinutes = 3;
  f.session.runUntilCancelled = true;
  const std::int64_t start = testing::ToMs(At(2004, 11, 17, 21, 5, 30));
  std::mutex mutex;
  std::condition_variable looked;
  std::int64_t minutes = 0;  // the clock, as the "server" moves it
  bool drifting = false;     // afterwards: a minute more at every reading
  std::size_t readings = 0;
  f.clock.script([&] {
    std::lock_guard lock(mutex);
    ++readings;
    if (drifting) ++minutes;
    looked.notify_all();
    return FromMs(start + minutes * 60'000);
  });
  const auto waitForLooks = [&](std::size_t more) {
    std::unique_lock lock(mutex);
    const std::size_t until = readings + more;
    looked.wait(lock, [&] { return readings >= until; });
  };
  int cancelsDuringProgress = -1;
  f.session.onExecute = [&](const std::string&) {
    for (int percent = 10; percent <= 50; percent += 10) {
      {
        std::lock_guard lock(mutex);
        minutes += 2;
      }
      f.session.say({"01000", 3211, std::to_string(percent) + " percent processed."});
      waitForLooks(2);
    }
    cancelsDuringProgress = f.session.cancels();
    std::lock_guard lock(mutex);
    drifting = true;
  };
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  engine.watchInterval = std::chrono::milliseconds(1);
  std::vector<int> percents;
  engine.onProgress = [&](int percent) { percents.push_back(percent); };

  engine.BakExecute();

  EXPECT_EQ(cancelsDuringProgress, 0) << "given up on while the progress came";
  EXPECT_EQ(percents, (std::vector<int>{10, 20, 30, 40, 50}));
  EXPECT_EQ(f.log.lines,
            (std::vector<std::string>{kStart, kFailed, "超过3分钟没有收到SQL服务器的备份进度,备份已取消"}));
}

// With no limit the watchdog never gives up: a backup that stays silent for a
// day still ends as a success.
TEST(BakExecuteTest, NoSilenceLimitWhenItIsZero) {
  JobFixture f;
  f.settings.database = "shop";
  f.settings.backupDir = "D:\\bak\\";
  f.settings.stallMinutes = 0;
  const std::int64_t start = testing::ToMs(At(2004, 11, 17, 21, 5, 30));
  std::mutex mutex;
  std::condition_variable looked;
  std::size_t readings = 0;
  f.clock.script([&] {
    std::lock_guard lock(mutex);
    const std::size_t n = readings++;
    looked.notify_all();
    return FromMs(start + static_cast<std::int64_t>(n) * 5 * 60'000);
  });
  f.session.onExecute = [&](const std::string&) {
    std::unique_lock lock(mutex);
    looked.wait(lock, [&] { return readings > 24 * 12; });
  };
  MemoryFiles files;
  BackupEngine engine(f.settings, f.clock, f.session, files, f.log.sink());
  engine.watchInterval = std::chrono::milliseconds(1);

  engine.BakExecute();

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded("D:\\bak\\2004年11月17日21时05分.bak")}));
  EXPECT_EQ(f.session.cancels(), 0);
}

// ---- Verification: the backup read back by the server before it counts.

// RESTORE HEADERONLY's answer: a row for each set, among the server's other
// columns, in the file's order.
QueryResult Header(const std::vector<std::pair<std::string, std::string>>& sets) {
  QueryResult header;
  header.columns = {"BackupName", "BackupDescription", "BackupType", "ExpirationDate", "Compressed", "Position",
                    "DeviceType", "UserName", "ServerName", "DatabaseName"};
  for (const auto& [name, position] : sets) {
    header.rows.push_back({name, "", "1", "", "0", position, "2", "sa", "OFFICE1", "shop"});
  }
  return header;
}
const std::string kOurs = "Vorda软件Bakwyn";
const std::string kDay = "2004年11月17日21时05分.bak";

// The backup folder in memory: the "server" appends a set to the file at each
// backup statement, and answers HEADERONLY as `header` says.
struct VerifyFixture : JobFixture {
  VerifyFixture() {
    settings.verifyBackups = true;
    settings.database = "shop";
    settings.backupDir = "D:\\bak\\";
    session.onExecute = [this](const std::string& statement) {
      if (statement.rfind("BACKUP DATABASE", 0) == 0) files.text(path()) += "set;";
      if (statement.rfind("RESTORE VERIFYONLY", 0) == 0 && onVerify) onVerify();
    };
    session.onQuery = [this](const std::string&) {
      if (onHeader) onHeader();
      return header;
    };
  }
  std::string path() const { return settings.backupDir + kDay; }
  std::string record() const { return settings.backupDir + "Bakwyn校验记录.txt"; }
  MemoryFiles files;
  QueryResult header = Header({{kOurs, "1"}});
  std::function<void()> onHeader;
  std::function<void()> onVerify;
};

struct VerifiedCase {
  const char* name;
  std::string dir;
  std::vector<std::pair<std::string, std::string>> sets;
  std::vector<std::string> statements;
  int position;
};
void PrintTo(const VerifiedCase& c, std::ostream* os) { *os << c.name; }

class VerifiedBackup : public ::testing::TestWithParam<VerifiedCase> {};

TEST_P(VerifiedBackup, VerifiesTheSetJustWrittenAndRecordsIt) {
  const VerifiedCase& c = GetParam();
  VerifyFixture f;
  f.settings.backupDir = c.dir;
  f.header = Header(c.sets);
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };

  EXPECT_TRUE(engine.BakExecute());

  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open ||", "closeQuery", "executeLong", "query", "executeLong"}));
  EXPECT_EQ(f.session.statements, c.statements);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded(f.path())}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_TRUE(outcomes[0].verified);
  EXPECT_EQ(outcomes[0].position, c.position);
  EXPECT_EQ(f.files.text(f.record()), kDay + "\t" + std::to_string(c.position) + "\t4\t2004-11-17 21:05:30\n");
}

const std::string kHeaderOnly = "RESTORE HEADERONLY FROM DISK = N'D:\\bak\\2004年11月17日21时05分.bak'";
std::string VerifyOnly(int position) {
  return "RESTORE VERIFYONLY FROM DISK = N'D:\\bak\\2004年11月17日21时05分.bak' WITH FILE = " +
         std::to_string(position) + ", CHECKSUM";
}
const std::string kChecksumBackup =
    "BACKUP DATABASE [shop] TO  DISK = N'D:\\bak\\2004年11月17日21时05分.bak' WITH  NOINIT ,  NOUNLOAD ,NAME = "
    "N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM";

INSTANTIATE_TEST_SUITE_P(
    Files, VerifiedBackup,
    ::testing::Values(
        VerifiedCase{"OneSet", "D:\\bak\\", {{kOurs, "1"}}, {kChecksumBackup, kHeaderOnly, VerifyOnly(1)}, 1},
        // A second backup of the same minute appended its set to the file.
        VerifiedCase{"SecondSetOfTheMinute", "D:\\bak\\", {{kOurs, "1"}, {kOurs, "2"}},
                     {kChecksumBackup, kHeaderOnly, VerifyOnly(2)}, 2},
        VerifiedCase{"AnotherProgramsSetsAround", "D:\\bak\\", {{"夜间备份", "1"}, {kOurs, "2"}, {"shop-full", "3"}},
                     {kChecksumBackup, kHeaderOnly, VerifyOnly(2)}, 2},
        VerifiedCase{"HighestPositionNotLastRow", "D:\\bak\\", {{kOurs, "10"}, {kOurs, "9"}},
                     {kChecksumBackup, kHeaderOnly, VerifyOnly(10)}, 10},
        // A server that gives the sets no names: the last one written is the highest.
        VerifiedCase{"NoSetNamedByTheServer", "D:\\bak\\", {{"", "1"}, {"", "2"}},
                     {kChecksumBackup, kHeaderOnly, VerifyOnly(2)}, 2},
        VerifiedCase{"QuoteInTheFolder", "D:\\O'Neil's\\", {{kOurs, "1"}},
                     {"BACKUP DATABASE [shop] TO  DISK = N'D:\\O''Neil''s\\2004年11月17日21时05分.bak' WITH  NOINIT ,  "
                      "NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM",
                      "RESTORE HEADERONLY FROM DISK = N'D:\\O''Neil''s\\2004年11月17日21时05分.bak'",
                      "RESTORE VERIFYONLY FROM DISK = N'D:\\O''Neil''s\\2004年11月17日21时05分.bak' WITH FILE = 1, "
                      "CHECKSUM"},
                     1}),
    [](const ::testing::TestParamInfo<VerifiedCase>& info) { return std::string(info.param.name); });

TEST(BakExecuteTest, VerificationOffIsTheBackupOfEarlierVersions) {
  VerifyFixture f;
  f.settings.verifyBackups = false;
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };

  engine.BakExecute();

  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open ||", "closeQuery", "executeLong"}));
  EXPECT_EQ(f.session.statements,
            std::vector<std::string>{"BACKUP DATABASE [shop] TO  DISK = N'D:\\bak\\2004年11月17日21时05分.bak' WITH  "
                                     "NOINIT ,  NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT"});
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded(f.path())}));
  EXPECT_TRUE(f.files.done("append").empty()) << "nothing is recorded as verified";
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_FALSE(outcomes[0].verified);
}

// A backup that the server wrote but that did not pass its verification is a
// failed backup: the cause names the verification and the server's words,
// there is no success line and nothing is recorded.
struct VerifyFailureCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> sets;
  std::vector<Diagnostic> headerFails;  // RESTORE HEADERONLY fails with these
  std::vector<Diagnostic> verifyFails;  // RESTORE VERIFYONLY fails with these
  std::vector<std::string> calls;
  std::string cause;
};
void PrintTo(const VerifyFailureCase& c, std::ostream* os) { *os << c.name; }

class VerificationFailure : public ::testing::TestWithParam<VerifyFailureCase> {};

TEST_P(VerificationFailure, IsAFailedBackup) {
  const VerifyFailureCase& c = GetParam();
  VerifyFixture f;
  f.header = Header(c.sets);
  if (!c.headerFails.empty()) f.onHeader = [&] { throw ServerError("The statement failed", c.headerFails); };
  if (!c.verifyFails.empty()) f.onVerify = [&] { throw ServerError("The statement failed", c.verifyFails); };
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };

  EXPECT_TRUE(engine.BakExecute());

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, c.cause}));
  EXPECT_EQ(f.session.calls, c.calls);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_FALSE(outcomes[0].verified);
  EXPECT_EQ(outcomes[0].cause, c.cause);
  EXPECT_EQ(outcomes[0].path, f.path());
  EXPECT_TRUE(f.files.done("append").empty()) << "a failed verification is never recorded";
}

const std::vector<std::string> kUpToHeader{"open ||", "closeQuery", "executeLong", "query"};
const std::vector<std::string> kUpToVerify{"open ||", "closeQuery", "executeLong", "query", "executeLong"};

INSTANTIATE_TEST_SUITE_P(
    Causes, VerificationFailure,
    ::testing::Values(
        VerifyFailureCase{"DamagedAfterItWasWritten",
                          {{kOurs, "1"}},
                          {},
                          {{"42000", 3189, "[FreeTDS][SQL Server]Damage to the backup set was detected."},
                           {"42000", 3013, "[FreeTDS][SQL Server]VERIFY DATABASE is terminating abnormally."}},
                          kUpToVerify,
                          "原因: 备份校验未通过: 3189 Damage to the backup set was detected."},
        VerifyFailureCase{"ChecksumOfAPageWrong",
                          {{kOurs, "1"}},
                          {},
                          {{"42000", 3013, "[FreeTDS][SQL Server]VERIFY DATABASE is terminating abnormally."},
                           {"42000", 3183,
                            "[FreeTDS][SQL Server]RESTORE detected an error on page (1:153) in database \"shop\" as "
                            "read from the backup set."}},
                          kUpToVerify,
                          "原因: 备份校验未通过: 3183 RESTORE detected an error on page (1:153) in database \"shop\" "
                          "as read from the backup set."},
        VerifyFailureCase{"FileCutShort",
                          {},
                          {{"42000", 3241,
                            "[FreeTDS][SQL Server]The media family on device 'D:\\bak\\2004年11月17日21时05分.bak' is "
                            "incorrectly formed. SQL Server cannot process this media family."},
                           {"42000", 3013, "[FreeTDS][SQL Server]RESTORE HEADERONLY is terminating abnormally."}},
                          {},
                          kUpToHeader,
                          "原因: 备份校验未通过: 3241 The media family on device 'D:\\bak\\2004年11月17日21时05分.bak' is "
                          "incorrectly formed. SQL Server cannot process this media family."},
        VerifyFailureCase{"ConnectionCutDuringVerification",
                          {{kOurs, "1"}},
                          {},
                          {{"01000", 20017, "[FreeTDS][SQL Server]Unexpected EOF from the server"},
                           {"HY000", 0, "[FreeTDS][SQL Server]Unknown error"}},
                          kUpToVerify,
                          "原因: 备份校验未通过: Unexpected EOF from the server"},
        VerifyFailureCase{"NoSetOfOursInTheFile", {{"夜间备份", "1"}}, {}, {}, kUpToHeader,
                          "原因: 备份校验未通过: 备份文件中没有找到刚写入的备份集"},
        VerifyFailureCase{"NoSetAtAll", {}, {}, {}, kUpToHeader,
                          "原因: 备份校验未通过: 备份文件中没有找到刚写入的备份集"},
        // The last set of ours may be the one just written: it is not guessed.
        VerifyFailureCase{"APositionThatIsNoNumber", {{kOurs, "1"}, {kOurs, "2x"}}, {}, {}, kUpToHeader,
                          "原因: 备份校验未通过: 备份文件中没有找到刚写入的备份集"},
        VerifyFailureCase{"APositionOutOfRange", {{kOurs, "1"}, {kOurs, "99999999999"}}, {}, {}, kUpToHeader,
                          "原因: 备份校验未通过: 备份文件中没有找到刚写入的备份集"}),
    [](const ::testing::TestParamInfo<VerifyFailureCase>& info) { return std::string(info.param.name); });

TEST(BakExecuteTest, ABackupThatFailsIsNotVerified) {
  VerifyFixture f;
  f.session.failExecute = true;
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());

  engine.BakExecute();

  EXPECT_EQ(f.session.calls, (std::vector<std::string>{"open ||", "closeQuery", "executeLong"}));
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kFailed, kStatementFailedCause}))
      << "the cause of a failed backup names no verification";
}

// A request to stop while the backup is being verified: the backup is
// cancelled, not proven and not recorded; the next one runs as usual.
struct VerifyCancelCase {
  const char* name;
  bool duringHeader;        // else during VERIFYONLY
  bool throughTheSession;   // the session is cancelled directly
  std::vector<std::string> calls;
};
void PrintTo(const VerifyCancelCase& c, std::ostream* os) { *os << c.name; }

class VerificationCancel : public ::testing::TestWithParam<VerifyCancelCase> {};

TEST_P(VerificationCancel, IsACancelledBackup) {
  const VerifyCancelCase& c = GetParam();
  VerifyFixture f;
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  engine.watchInterval = std::chrono::milliseconds(1);
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  if (c.duringHeader) {
    f.onHeader = [&] { engine.cancelBackup(); };
  } else if (c.throughTheSession) {
    f.onVerify = [&] { f.session.cancel(); };
  } else {
    // VERIFYONLY runs until the session is cancelled: by the engine's
    // watchdog, on the engine's request.
    f.onVerify = [&] {
      f.session.runUntilCancelled = true;
      engine.cancelBackup();
    };
  }

  EXPECT_TRUE(engine.BakExecute());

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, kCancelled}));
  EXPECT_EQ(f.session.calls, c.calls);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_FALSE(outcomes[0].verified);
  EXPECT_EQ(outcomes[0].cause, "已取消");
  EXPECT_TRUE(f.files.done("append").empty());

  f.onHeader = {};
  f.onVerify = {};
  f.session.runUntilCancelled = false;
  EXPECT_TRUE(engine.BakExecute());
  EXPECT_EQ(f.log.lines.back(), Succeeded(f.path()));
  EXPECT_EQ(f.files.done("append"), std::vector<std::string>{f.record()});
}

INSTANTIATE_TEST_SUITE_P(
    Moments, VerificationCancel,
    ::testing::Values(VerifyCancelCase{"WhileReadingTheHeader", true, false, kUpToHeader},
                      VerifyCancelCase{"WhileVerifying", false, false, kUpToVerify},
                      VerifyCancelCase{"SessionCancelledWhileVerifying", false, true, kUpToVerify}),
    [](const ::testing::TestParamInfo<VerifyCancelCase>& info) { return std::string(info.param.name); });

// Reading back a large backup takes long and the server says nothing
// meanwhile: the silence limit, which is for the backup's progress, does not
// apply. Here the clock jumps five minutes at every reading once the
// verification runs, against a limit of one minute.
TEST(BakExecuteTest, VerificationIsNeverGivenUpOnForSilence) {
  VerifyFixture f;
  f.settings.stallMinutes = 1;
  std::atomic<bool> verifying{false};
  std::atomic<std::int64_t> minutes{0};
  const std::int64_t start = testing::ToMs(At(2004, 11, 17, 21, 5, 30));
  f.clock.script([&] { return FromMs(start + (verifying ? minutes += 5 : 0) * 60'000); });
  f.onVerify = [&] {
    verifying = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a hundred looks of the watchdog
  };
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  engine.watchInterval = std::chrono::milliseconds(1);

  engine.BakExecute();

  EXPECT_EQ(f.log.lines, (std::vector<std::string>{kStart, Succeeded(f.path())}));
  EXPECT_EQ(f.session.cancels(), 0);
}

// The server proved the backup, but the record cannot be written: still a
// success, with a warning that names the record and the system's reason.
TEST(BakExecuteTest, ARecordThatCannotBeWrittenIsWarnedOf) {
  VerifyFixture f;
  f.files.failAppend = true;
  BackupEngine engine(f.settings, f.clock, f.session, f.files, f.log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };

  engine.BakExecute();

  EXPECT_EQ(f.log.lines,
            (std::vector<std::string>{kStart, Succeeded(f.path()),
                                      "警告: 无法写入校验记录: D:\\bak\\Bakwyn校验记录.txt (There is not enough space on "
                                      "the disk.)"}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_TRUE(outcomes[0].verified);
}

}  // namespace
}  // namespace bakwyn
