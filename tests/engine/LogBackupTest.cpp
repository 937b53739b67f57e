// The log backup after each full backup: its statement and file name, its
// place after the full backup and its verification, what stops it, and how
// its outcome is told apart from the full backup's. Also the cause line of a
// full backup that failed for lack of room.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "tests/support/BackupStatementParser.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using test::ParseBackupStatement;
using testing::At;
using testing::FakeClock;
using testing::FakeSession;
using testing::FromMs;
using testing::MemoryFiles;

const std::string kDir = "D:\\bak\\";
const std::string kBak = kDir + "2004年11月17日21时05分.bak";
const std::string kTrn = kDir + "2004年11月17日21时05分.trn";
const std::string kRecord = kDir + "Bakwyn校验记录.txt";
const std::string kOurs = "Vorda软件Bakwyn";

const std::string kStart = "开始备份数据库...";
const std::string kFailed = "数据库备份失败!";
const std::string kCancelled = "数据库备份已取消";
const std::string kLogStart = "开始备份事务日志...";
const std::string kLogFailed = "事务日志备份失败!";
const std::string kLogCancelled = "事务日志备份已取消";
std::string Succeeded(const std::string& path) { return "数据库备份成功!  [文件名:" + path + "]"; }
std::string LogSucceeded(const std::string& path) { return "事务日志备份成功!  [文件名:" + path + "]"; }

// ---- The statement and the file name.

TEST(LogBackupStatementTest, TheFullBackupsOptionsForTheLog) {
  EXPECT_EQ(BuildLogBackupStatement("shop", "D:\\数据库自动备份目录\\2004年11月17日10时30分.trn"),
            "BACKUP LOG [shop] TO  DISK = N'D:\\数据库自动备份目录\\2004年11月17日10时30分.trn' WITH  NOINIT ,  "
            "NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT");
  EXPECT_EQ(BuildLogBackupStatement("shop", "D:\\数据库自动备份目录\\2004年11月17日10时30分.trn", true),
            "BACKUP LOG [shop] TO  DISK = N'D:\\数据库自动备份目录\\2004年11月17日10时30分.trn' WITH  NOINIT ,  "
            "NOUNLOAD ,NAME = N'Vorda软件Bakwyn',SKIP ,  STATS = 10,  NOFORMAT,  CHECKSUM");
}

struct StatementCase {
  const char* name;
  std::string database;
  std::string dir;
};
void PrintTo(const StatementCase& c, std::ostream* os) { *os << c.name; }

class LogStatementRoundTrip : public ::testing::TestWithParam<StatementCase> {};

// Read back the way the server parses it: after its verb, the statement is
// the full backup's, so the full backup's reader takes the rest.
TEST_P(LogStatementRoundTrip, ServerReadsBackExactlyTheNameAndPath) {
  const StatementCase& c = GetParam();
  const std::string path = c.dir + "2004年11月17日10时30分.trn";
  const std::string statement = BuildLogBackupStatement(c.database, path);
  const std::string verb = "BACKUP LOG ";
  ASSERT_EQ(statement.compare(0, verb.size(), verb), 0) << statement;
  const auto parsed = ParseBackupStatement("BACKUP DATABASE " + statement.substr(verb.size()));
  ASSERT_TRUE(parsed.has_value()) << statement;
  EXPECT_EQ(parsed->database, c.database);
  EXPECT_EQ(parsed->path, path);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, LogStatementRoundTrip,
    ::testing::Values(StatementCase{"Plain", "shop", "D:\\数据库自动备份目录\\"},
                      StatementCase{"ClosingBracket", "a]b", "D:\\x\\"},
                      StatementCase{"OnlyBrackets", "]][[", "D:\\x\\"},
                      StatementCase{"QuoteInFolder", "shop", "D:\\O'Neil's backups\\"},
                      StatementCase{"InjectionAttempt", "x]; DROP DATABASE [y", "D:\\a'; SHUTDOWN --\\"},
                      StatementCase{"LogInTheName", "LOG] TO DISK = N'x", "D:\\LOG\\"},
                      StatementCase{"DoubleQuotesBraces", "\"{db}\"", "D:\\\"{dir}\"\\"},
                      StatementCase{"OutsideTheBmp", "库😀𠀀]", "D:\\备份😀\\𠀀'\\"},
                      StatementCase{"ControlChars", "a\tb", "D:\\a\x01" "b\\"},
                      StatementCase{"Long", std::string(120, ']'), "D:\\" + std::string(200, '\'') + "\\"}),
    [](const ::testing::TestParamInfo<StatementCase>& info) { return std::string(info.param.name); });

TEST(LogBackupFileNameTest, TheFullBackupsNameWithTheLogsExtension) {
  const LocalDateTime moments[] = {At(2004, 11, 17, 10, 30), At(2026, 3, 7, 21, 5, 59, 999), At(2000, 1, 1, 0, 0),
                                   At(2024, 12, 31, 23, 59, 59, 999)};
  const char* names[] = {"2004年11月17日10时30分.trn", "2026年03月07日21时05分.trn", "2000年01月01日00时00分.trn",
                         "2024年12月31日23时59分.trn"};
  for (size_t i = 0; i < std::size(moments); ++i) {
    EXPECT_EQ(LogBackupFileName(moments[i]), names[i]);
    EXPECT_TRUE(IsLogBackupName(LogBackupFileName(moments[i]))) << names[i];
    EXPECT_FALSE(HasBackupExtension(LogBackupFileName(moments[i]))) << "never taken for a full backup";
  }
}

// Only names of this program's shape are its log backups; another
// program's, however old, are never listed, copied or deleted.
TEST(LogBackupFileNameTest, OnlyNamesOfOurShapeAreOurs) {
  const struct {
    const char* name;
    bool ours;
  } rows[] = {
      {"2026年03月09日02时00分.trn", true},
      {"2026年03月09日02时00分.TRN", true},
      {"2026年03月09日02时00分.Trn", true},
      {"9999年99月99日99时99分.trn", true},  // the shape, not the calendar
      {"2026年03月09日02时00分.bak", false},
      {"2026年03月09日02时00分.trn.old", false},
      {"2026年03月09日02时00分.trnx", false},
      {"2026年03月09日02时00分trn", false},
      {"2026年03月09日02时00分 .trn", false},
      {"x2026年03月09日02时00分.trn", false},
      {"2026年3月09日02时00分.trn", false},
      {"20260年03月09日02时00分.trn", false},
      {"2026年03月09日02时0a分.trn", false},
      {"２０２６年03月09日02时00分.trn", false},  // full-width digits
      {"2026-03-09 02-00.trn", false},
      {"shop_log_202603090200.trn", false},
      {"LOG.TRN", false},
      {".trn", false},
      {"", false},
  };
  for (const auto& row : rows) EXPECT_EQ(IsLogBackupName(row.name), row.ours) << row.name;
}

// ---- The log backup in the backup job.

// RESTORE HEADERONLY's answer for the file `path`: one set of this program's
// for each backup statement, of either kind, sent into it so far.
QueryResult HeaderOf(const std::vector<std::string>& sent, const std::string& path) {
  QueryResult header;
  header.columns = {"BackupName", "BackupType", "Position"};
  const std::string target = "TO  DISK = N'" + path + "' ";
  int position = 0;
  for (const std::string& s : sent) {
    if (s.rfind("BACKUP ", 0) == 0 && s.find(target) != std::string::npos)
      header.rows.push_back({kOurs, s.rfind("BACKUP LOG", 0) == 0 ? "2" : "1", std::to_string(++position)});
  }
  return header;
}

std::string PathIn(const std::string& statement) {
  const size_t open = statement.find("N'") + 2;
  return statement.substr(open, statement.find('\'', open) - open);
}

// A backup folder in memory and a server that appends a set to the file of
// each backup statement, with hooks into each step; log backups on.
struct LogFixture {
  explicit LogFixture(bool verify = true) {
    settings.database = "shop";
    settings.backupDir = kDir;
    settings.verifyBackups = verify;
    settings.logBackups = true;
    session.onExecute = [this](const std::string& statement) {
      const bool log = statement.rfind("BACKUP LOG", 0) == 0;
      if (statement.rfind("BACKUP", 0) == 0) {
        if (log && onLog) onLog();
        if (!log && onFull) onFull();
        files.text(PathIn(statement)) += log ? "log;" : "set;";
      }
      if (statement.rfind("RESTORE VERIFYONLY", 0) == 0 && onVerify) onVerify(PathIn(statement));
    };
    session.onQuery = [this](const std::string& statement) {
      if (onHeader) onHeader(PathIn(statement));
      return header ? header(PathIn(statement)) : HeaderOf(session.statements, PathIn(statement));
    };
    engine.onOutcome = [this](const BackupOutcome& o) { outcomes.push_back(o); };
    engine.watchInterval = std::chrono::milliseconds(1);
  }
  // The statements sent that start with `verb`.
  std::vector<std::string> sent(const std::string& verb) const {
    std::vector<std::string> out;
    for (const std::string& s : session.statements) {
      if (s.rfind(verb, 0) == 0) out.push_back(s);
    }
    return out;
  }

  BackupSettings settings;
  FakeClock clock{At(2004, 11, 17, 21, 5, 30)};
  FakeSession session;
  MemoryFiles files;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> onLine;
  std::function<void()> onFull, onLog;
  std::function<void(const std::string& path)> onHeader, onVerify;
  std::function<QueryResult(const std::string& path)> header;
  std::vector<BackupOutcome> outcomes;
  BackupEngine engine{settings, clock, session, files, [this](const std::string& line) {
                        lines.push_back(line);
                        if (onLine) onLine(line);
                      }};
};

std::string Verified(const std::string& path, int position, int size) {
  return path.substr(kDir.size()) + "\t" + std::to_string(position) + "\t" + std::to_string(size) +
         "\t2004-11-17 21:05:30\n";
}
std::string HeaderOnly(const std::string& path) { return "RESTORE HEADERONLY FROM DISK = N'" + path + "'"; }
std::string VerifyOnly(const std::string& path) {
  return "RESTORE VERIFYONLY FROM DISK = N'" + path + "' WITH FILE = 1, CHECKSUM";
}

struct FlowCase {
  const char* name;
  bool verify;
  bool logBackups;
  std::vector<std::string> statements;
  std::vector<std::string> lines;
  std::string record;
};
void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

class LogBackupFlow : public ::testing::TestWithParam<FlowCase> {};

// The full backup, its verification and its record come first; then the log
// backup into the file of the same name, verified and recorded alike.
TEST_P(LogBackupFlow, FollowsTheFullBackupThatSucceeded) {
  const FlowCase& c = GetParam();
  LogFixture f(c.verify);
  f.settings.logBackups = c.logBackups;
  std::string recordAtTheLog = "(no log backup)";
  f.onLog = [&] { recordAtTheLog = f.files.files.count(kRecord) ? f.files.text(kRecord) : ""; };

  EXPECT_TRUE(f.engine.BakExecute());

  EXPECT_EQ(f.session.statements, c.statements);
  EXPECT_EQ(f.lines, c.lines);
  if (c.logBackups) {
    EXPECT_EQ(recordAtTheLog, c.verify ? Verified(kBak, 1, 4) : "") << "the full backup was recorded before";
  }
  EXPECT_EQ(f.files.files.count(kRecord) ? f.files.text(kRecord) : "", c.record);
  ASSERT_EQ(f.outcomes.size(), 1u);
  const BackupOutcome& o = f.outcomes[0];
  EXPECT_TRUE(o.succeeded);
  EXPECT_EQ(o.verified, c.verify);
  EXPECT_EQ(o.path, kBak);
  EXPECT_EQ(o.logPath, c.logBackups ? kTrn : "");
  EXPECT_EQ(o.logFailure, std::nullopt);
}

const std::string kFullWithChecksum = BuildBackupStatement("shop", kBak, true);
const std::string kLogWithChecksum = BuildLogBackupStatement("shop", kTrn, true);

INSTANTIATE_TEST_SUITE_P(
    Settings, LogBackupFlow,
    ::testing::Values(
        FlowCase{"Verified",
                 true,
                 true,
                 {kFullWithChecksum, HeaderOnly(kBak), VerifyOnly(kBak), kLogWithChecksum, HeaderOnly(kTrn),
                  VerifyOnly(kTrn)},
                 {kStart, Succeeded(kBak), kLogStart, LogSucceeded(kTrn)},
                 Verified(kBak, 1, 4) + Verified(kTrn, 1, 4)},
        FlowCase{"NotVerified",
                 false,
                 true,
                 {BuildBackupStatement("shop", kBak), BuildLogBackupStatement("shop", kTrn)},
                 {kStart, Succeeded(kBak), kLogStart, LogSucceeded(kTrn)},
                 ""},
        FlowCase{"LogBackupsOff",
                 true,
                 false,
                 {kFullWithChecksum, HeaderOnly(kBak), VerifyOnly(kBak)},
                 {kStart, Succeeded(kBak)},
                 Verified(kBak, 1, 4)}),
    [](const ::testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });

// A second run in the same minute appends its log backup to the same file,
// as its full backup; each is verified at its own new set.
TEST(LogBackupTest, ASecondRunInTheMinuteAppendsToTheSameFiles) {
  LogFixture f;
  EXPECT_TRUE(f.engine.BakExecute());
  f.clock.set(At(2004, 11, 17, 21, 5, 58));
  EXPECT_TRUE(f.engine.BakExecute());

  EXPECT_EQ(f.sent("RESTORE VERIFYONLY"),
            (std::vector<std::string>{VerifyOnly(kBak), VerifyOnly(kTrn),
                                      "RESTORE VERIFYONLY FROM DISK = N'" + kBak + "' WITH FILE = 2, CHECKSUM",
                                      "RESTORE VERIFYONLY FROM DISK = N'" + kTrn + "' WITH FILE = 2, CHECKSUM"}));
  EXPECT_EQ(f.files.text(kTrn), "log;log;");
  EXPECT_EQ(f.files.text(kRecord), Verified(kBak, 1, 4) + Verified(kTrn, 1, 4) +
                                       "2004年11月17日21时05分.bak\t2\t8\t2004-11-17 21:05:58\n"
                                       "2004年11月17日21时05分.trn\t2\t8\t2004-11-17 21:05:58\n");
}

// A full backup that did not succeed has no log backup after it: a log backup
// then follows no new base, and the user's request to stop stops both.
struct NoLogCase {
  const char* name;
  std::function<void(LogFixture&)> arrange;
  std::vector<std::string> lines;
};
void PrintTo(const NoLogCase& c, std::ostream* os) { *os << c.name; }

class NoLogBackup : public ::testing::TestWithParam<NoLogCase> {};

TEST_P(NoLogBackup, AfterAFullBackupThatDidNotSucceed) {
  const NoLogCase& c = GetParam();
  LogFixture f;
  c.arrange(f);

  f.engine.BakExecute();

  EXPECT_EQ(f.sent("BACKUP LOG"), std::vector<std::string>{});
  EXPECT_EQ(f.lines, c.lines);
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_FALSE(f.outcomes[0].succeeded);
  EXPECT_EQ(f.outcomes[0].logPath, "");
  EXPECT_EQ(f.outcomes[0].logFailure, std::nullopt);
}

const Diagnostic kLogTerminating{"42000", 3013, "[FreeTDS][SQL Server]BACKUP LOG is terminating abnormally."};
ServerError Refused(std::int32_t number, const std::string& text, const Diagnostic& terminating = kLogTerminating) {
  return ServerError("The statement failed", {{"42000", number, "[FreeTDS][SQL Server]" + text}, terminating});
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, NoLogBackup,
    ::testing::Values(
        NoLogCase{"ServerDown", [](LogFixture& f) { f.session.failOpen = true; },
                  {kStart, kFailed, "原因: 18456 Login failed for user."}},
        NoLogCase{"FullBackupFails", [](LogFixture& f) { f.session.failExecute = true; },
                  {kStart, kFailed, "原因: 3013 BACKUP DATABASE is terminating abnormally."}},
        NoLogCase{"FullBackupDamagedWhenReadBack",
                  [](LogFixture& f) {
                    f.onVerify = [](const std::string&) {
                      throw Refused(3189, "Damage to the backup set was detected.",
                                    {"42000", 3013, "VERIFY DATABASE is terminating abnormally."});
                    };
                  },
                  {kStart, kFailed, "原因: 备份校验未通过: 3189 Damage to the backup set was detected."}},
        NoLogCase{"CancelledWhileWritten",
                  [](LogFixture& f) {
                    f.onFull = [&f] {
                      f.session.runUntilCancelled = true;
                      f.engine.cancelBackup();
                    };
                  },
                  {kStart, kCancelled}},
        NoLogCase{"CancelledWhileVerified", [](LogFixture& f) { f.onHeader = [&f](const std::string&) { f.engine.cancelBackup(); }; },
                  {kStart, kCancelled}},
        NoLogCase{"CancelledWhileConnecting", [](LogFixture& f) { f.session.onOpen = [&f] { f.engine.cancelBackup(); }; },
                  {kStart, kCancelled}}),
    [](const ::testing::TestParamInfo<NoLogCase>& info) { return std::string(info.param.name); });

// A log backup that fails leaves the full backup a success, verified and
// recorded as it was; its own failure is logged with the server's words and
// told apart in the outcome, for the event log and the ping.
struct LogFailureCase {
  const char* name;
  std::function<void(LogFixture&)> arrange;
  std::string cause;
};
void PrintTo(const LogFailureCase& c, std::ostream* os) { *os << c.name; }

class LogBackupFailure : public ::testing::TestWithParam<LogFailureCase> {};

TEST_P(LogBackupFailure, LeavesTheFullBackupASuccessAndIsToldApart) {
  const LogFailureCase& c = GetParam();
  LogFixture f;
  c.arrange(f);

  EXPECT_TRUE(f.engine.BakExecute());

  EXPECT_EQ(f.lines, (std::vector<std::string>{kStart, Succeeded(kBak), kLogStart, kLogFailed, c.cause}));
  ASSERT_EQ(f.outcomes.size(), 1u);
  const BackupOutcome& o = f.outcomes[0];
  EXPECT_TRUE(o.succeeded);
  EXPECT_TRUE(o.verified);
  EXPECT_EQ(o.position, 1);
  EXPECT_EQ(o.cause, "");
  EXPECT_EQ(o.logPath, kTrn);
  EXPECT_EQ(o.logFailure, c.cause);
  EXPECT_EQ(f.files.text(kRecord), Verified(kBak, 1, 4)) << "only the full backup is proven";
}

INSTANTIATE_TEST_SUITE_P(
    Causes, LogBackupFailure,
    ::testing::Values(
        LogFailureCase{"SimpleRecoveryModel",
                       [](LogFixture& f) {
                         f.onLog = [] {
                           throw Refused(4208, "The statement BACKUP LOG is not allowed while the recovery model is "
                                               "SIMPLE. Use BACKUP DATABASE or change the recovery model using ALTER "
                                               "DATABASE.");
                         };
                       },
                       "原因: 4208 The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use "
                       "BACKUP DATABASE or change the recovery model using ALTER DATABASE."},
        LogFailureCase{"NoFullBackupOfTheChain",
                       [](LogFixture& f) {
                         f.onLog = [] {
                           throw Refused(4214, "BACKUP LOG cannot be performed because there is no current database "
                                               "backup.");
                         };
                       },
                       "原因: 4214 BACKUP LOG cannot be performed because there is no current database backup."},
        LogFailureCase{"DiskFull",
                       [](LogFixture& f) {
                         f.onLog = [] {
                           throw Refused(3202, "Write on \"" + kTrn + "\" failed: 112(There is not enough space on "
                                               "the disk.)");
                         };
                       },
                       "原因: 3202 Write on \"" + kTrn + "\" failed: 112(There is not enough space on the disk.)"},
        LogFailureCase{"LogDamagedWhenReadBack",
                       [](LogFixture& f) {
                         f.onVerify = [](const std::string& path) {
                           if (path == kTrn) throw Refused(3189, "Damage to the backup set was detected.");
                         };
                       },
                       "原因: 备份校验未通过: 3189 Damage to the backup set was detected."},
        LogFailureCase{"NoSetOfOursInTheLogFile",
                       [](LogFixture& f) {
                         f.header = [&f](const std::string& path) {
                           return path == kTrn ? QueryResult{} : HeaderOf(f.session.statements, path);
                         };
                       },
                       "原因: 备份校验未通过: 备份文件中没有找到刚写入的备份集"}),
    [](const ::testing::TestParamInfo<LogFailureCase>& info) { return std::string(info.param.name); });

// A request to stop during the log backup stops it, and only it: the full
// backup before it stays a success. The request goes with that backup: the
// next one makes its log backup to its end.
struct LogCancelCase {
  const char* name;
  std::function<void(LogFixture&)> arrange;
  std::vector<std::string> lines;
  std::vector<std::string> logStatements;  // of the log backup, sent before it stopped
};
void PrintTo(const LogCancelCase& c, std::ostream* os) { *os << c.name; }

class LogBackupCancel : public ::testing::TestWithParam<LogCancelCase> {};

TEST_P(LogBackupCancel, StopsTheLogBackupAlone) {
  const LogCancelCase& c = GetParam();
  LogFixture f;
  c.arrange(f);

  EXPECT_TRUE(f.engine.BakExecute());

  EXPECT_EQ(f.lines, c.lines);
  const std::vector<std::string> all = f.session.statements;
  EXPECT_EQ(std::vector<std::string>(all.begin() + 3, all.end()), c.logStatements);
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_TRUE(f.outcomes[0].succeeded);
  EXPECT_TRUE(f.outcomes[0].verified);
  EXPECT_EQ(f.outcomes[0].logPath, kTrn);
  EXPECT_EQ(f.outcomes[0].logFailure, "已取消");
  EXPECT_EQ(f.files.text(kRecord), Verified(kBak, 1, 4));

  f.onLine = {};
  f.onLog = {};
  f.onHeader = {};
  f.onVerify = {};
  f.session.runUntilCancelled = false;
  f.clock.set(At(2004, 11, 17, 21, 6, 0));
  EXPECT_TRUE(f.engine.BakExecute());
  EXPECT_EQ(f.lines.back(), LogSucceeded(kDir + "2004年11月17日21时06分.trn"));
  EXPECT_EQ(f.outcomes.back().logFailure, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, LogBackupCancel,
    ::testing::Values(
        // Once the full backup is done and before its log backup: nothing of
        // the log backup is sent.
        LogCancelCase{"BetweenTheTwo",
                      [](LogFixture& f) {
                        f.onLine = [&f](const std::string& line) {
                          if (line == Succeeded(kBak)) f.engine.cancelBackup();
                        };
                      },
                      {kStart, Succeeded(kBak), kLogCancelled},
                      {}},
        LogCancelCase{"WhileTheLogIsWritten",
                      [](LogFixture& f) {
                        f.onLog = [&f] {
                          f.session.runUntilCancelled = true;
                          f.engine.cancelBackup();
                        };
                      },
                      {kStart, Succeeded(kBak), kLogStart, kLogCancelled},
                      {kLogWithChecksum}},
        LogCancelCase{"SessionCancelledDirectly", [](LogFixture& f) { f.onLog = [&f] { f.session.cancel(); }; },
                      {kStart, Succeeded(kBak), kLogStart, kLogCancelled},
                      {kLogWithChecksum}},
        LogCancelCase{"WhileItsHeaderIsRead",
                      [](LogFixture& f) {
                        f.onHeader = [&f](const std::string& path) {
                          if (path == kTrn) f.engine.cancelBackup();
                        };
                      },
                      {kStart, Succeeded(kBak), kLogStart, kLogCancelled},
                      {kLogWithChecksum, HeaderOnly(kTrn)}},
        LogCancelCase{"WhileItIsVerified",
                      [](LogFixture& f) {
                        f.onVerify = [&f](const std::string& path) {
                          if (path != kTrn) return;
                          f.session.runUntilCancelled = true;
                          f.engine.cancelBackup();
                        };
                      },
                      {kStart, Succeeded(kBak), kLogStart, kLogCancelled},
                      {kLogWithChecksum, HeaderOnly(kTrn), VerifyOnly(kTrn)}}),
    [](const ::testing::TestParamInfo<LogCancelCase>& info) { return std::string(info.param.name); });

// The log backup is watched for silence as the full backup is, from its own
// start: here the clock stands still until the log backup runs, then moves a
// minute at every look, against a limit of two minutes.
TEST(LogBackupTest, ASilentLogBackupIsGivenUpOn) {
  LogFixture f;
  f.settings.stallMinutes = 2;
  std::atomic<bool> logRunning{false};
  std::atomic<int> minutes{0};
  const std::int64_t start = testing::ToMs(At(2004, 11, 17, 21, 5, 30));
  f.clock.script([&] { return FromMs(start + (logRunning ? ++minutes : 0) * 60'000LL); });
  f.onLog = [&] {
    f.session.runUntilCancelled = true;
    logRunning = true;
  };

  EXPECT_TRUE(f.engine.BakExecute());

  const std::string silence = "超过2分钟没有收到SQL服务器的备份进度,备份已取消";
  EXPECT_EQ(f.lines, (std::vector<std::string>{kStart, Succeeded(kBak), kLogStart, kLogFailed, silence}));
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_TRUE(f.outcomes[0].succeeded);
  EXPECT_EQ(f.outcomes[0].logFailure, silence);
  EXPECT_GE(f.session.cancels(), 1);
}

// ---- A full backup that failed for lack of room.

// The server's words, then the room on the backup folder's disk against the
// last backup ("{path}" stands for the backup's path), when the failure is the
// system's error 112 in whatever words the server gives it; any other failure,
// or room that cannot be told, keeps the server's words alone.
struct RoomCase {
  const char* name;
  std::string dir;
  std::vector<Diagnostic> records;
  std::optional<std::uint64_t> available;
  bool earlierBackup;
  std::string cause;
};
void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.name; }

class FullDiskCause : public ::testing::TestWithParam<RoomCase> {};

std::string WithPath(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("{path}")) != std::string::npos;) text.replace(at, 6, path);
  return text;
}

TEST_P(FullDiskCause, NamesTheShortfallAfterTheServersWords) {
  const RoomCase& c = GetParam();
  LogFixture f;
  f.settings.backupDir = c.dir;
  const std::string path = c.dir + "2004年11月17日21时05分.bak";
  std::vector<Diagnostic> records = c.records;
  for (Diagnostic& d : records) d.message = WithPath(d.message, path);
  f.onFull = [&] { throw ServerError("The statement failed", records); };
  f.files.folders.insert(c.dir);
  f.files.available = c.available;
  if (c.earlierBackup) {
    // 3.1 GB rounded up.
    f.files.add(c.dir + "2004年11月16日21时05分.bak", "", At(2004, 11, 16, 21, 7));
    f.files.files[c.dir + "2004年11月16日21时05分.bak"].generated = 3ULL * (1 << 30) + 100ULL * (1 << 20);
  }

  f.engine.BakExecute();

  EXPECT_EQ(f.lines, (std::vector<std::string>{kStart, kFailed, WithPath(c.cause, path)}));
  ASSERT_EQ(f.outcomes.size(), 1u);
  EXPECT_EQ(f.outcomes[0].cause, WithPath(c.cause, path));
  EXPECT_EQ(f.sent("BACKUP LOG"), std::vector<std::string>{});
}

const Diagnostic kFullTerminating{"42000", 3013, "[FreeTDS][SQL Server]BACKUP DATABASE is terminating abnormally."};
constexpr std::uint64_t kRoom = 1288490189;  // 1.2 GB

INSTANTIATE_TEST_SUITE_P(
    Failures, FullDiskCause,
    ::testing::Values(
        RoomCase{"WriteFailed",
                 kDir,
                 {{"01000", 3211, "[FreeTDS][SQL Server]10 percent processed."},
                  {"42000", 3202, "[FreeTDS][SQL Server]Write on \"{path}\" failed: 112(There is not enough space on the disk.)"},
                  kFullTerminating},
                 kRoom,
                 true,
                 "原因: 3202 Write on \"{path}\" failed: 112(There is not enough space on the disk.) "
                 "(备份目录所在磁盘只剩 1.2 GB,上次备份 3.1 GB)"},
        RoomCase{"ServerInChinese",
                 kDir,
                 {{"42000", 3202, "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]对 \"{path}\" 的写入失败: 112(磁盘空间不足。)"},
                  {"42000", 3013, "[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]BACKUP DATABASE 正在异常终止。"}},
                 kRoom,
                 true,
                 "原因: 3202 对 \"{path}\" 的写入失败: 112(磁盘空间不足。) (备份目录所在磁盘只剩 1.2 GB,上次备份 3.1 GB)"},
        RoomCase{"FileCouldNotBeCreated",
                 kDir,
                 {{"42000", 3201, "[FreeTDS][SQL Server]Cannot open backup device '{path}'. Operating system error "
                                  "112(There is not enough space on the disk.)."},
                  kFullTerminating},
                 kRoom,
                 true,
                 "原因: 3201 Cannot open backup device '{path}'. Operating system error 112(There is not enough space "
                 "on the disk.). (备份目录所在磁盘只剩 1.2 GB,上次备份 3.1 GB)"},
        RoomCase{"NoEarlierBackup",
                 kDir,
                 {{"42000", 3202, "Write on \"{path}\" failed: 112(There is not enough space on the disk.)"}},
                 kRoom,
                 false,
                 "原因: 3202 Write on \"{path}\" failed: 112(There is not enough space on the disk.) "
                 "(备份目录所在磁盘只剩 1.2 GB)"},
        RoomCase{"RoomCannotBeTold",
                 kDir,
                 {{"42000", 3202, "Write on \"{path}\" failed: 112(There is not enough space on the disk.)"}},
                 std::nullopt,
                 true,
                 "原因: 3202 Write on \"{path}\" failed: 112(There is not enough space on the disk.)"},
        RoomCase{"AccessDenied",
                 kDir,
                 {{"42000", 3201, "Cannot open backup device '{path}'. Operating system error 5(Access is denied.)."}},
                 kRoom,
                 true,
                 "原因: 3201 Cannot open backup device '{path}'. Operating system error 5(Access is denied.)."},
        // Error 1112: no media in the drive.
        RoomCase{"AnotherErrorEndingIn112",
                 kDir,
                 {{"42000", 3201, "Cannot open backup device '{path}'. Operating system error 1112(No media.)."}},
                 kRoom,
                 true,
                 "原因: 3201 Cannot open backup device '{path}'. Operating system error 1112(No media.)."},
        RoomCase{"FolderNamedLikeTheError",
                 "D:\\error 112(x) There is not enough space on the disk\\",
                 {{"42000", 3201, "Cannot open backup device '{path}'. Operating system error 3(The system cannot find "
                                  "the path specified.)."}},
                 kRoom,
                 true,
                 "原因: 3201 Cannot open backup device '{path}'. Operating system error 3(The system cannot find the "
                 "path specified.)."}),
    [](const ::testing::TestParamInfo<RoomCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bakwyn
