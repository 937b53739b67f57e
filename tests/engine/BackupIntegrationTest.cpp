// The backup job end to end: the real ODBC session against the stand-in
// server, and the platform's real file system for the backup folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/VerifiedBackups.h"
#include "server/OdbcServerSession.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/TdsFixture.h"
#ifdef _WIN32
#include "engine/WindowsFileSystem.h"
#else
#include "engine/PosixFileSystem.h"
#endif

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using testing::At;
using testing::FakeClock;
using testing::LogLines;

fs::path Utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

const std::string kStart = "开始备份数据库...";
const std::string kFailed = "数据库备份失败!";
const std::string kCancelled = "数据库备份已取消";
std::string Succeeded(const std::string& path) { return "数据库备份成功!  [文件名:" + path + "]"; }
const std::string kFile = "2026年03月09日21时05分.bak";
const std::string kRecord = "Bakwyn校验记录.txt";

// By default every backup is written with checksums and then read back by the
// server: the set just written, found in the file's header.
std::vector<std::string> VerifiedBackupStatements(const std::string& database, const std::string& path,
                                                  int position) {
  return {BuildBackupStatement(database, path, true), BuildHeaderStatement(path), BuildVerifyStatement(path, position)};
}

std::vector<std::string> Texts(const std::vector<test::StandInStatement>& statements) {
  std::vector<std::string> texts;
  for (const test::StandInStatement& s : statements) texts.push_back(s.text);
  return texts;
}

class BackupAgainstServerTest : public test::StandInTest {
 protected:
  void SetUp() override {
    StandInTest::SetUp();
    if (HasFatalFailure()) return;
    standIn().setUsers({{"sa", "pw"}});
    standIn().setDatabases({"shop", "a]b", "库存", "]]", "库😀𠀀"});
    drive_ = fs::path(test::TdsStandIn::stateDirectory()) / "engine-drive" /
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(drive_);
    fs::create_directories(drive_);
#ifdef _WIN32
    // Under Wine the folder is reached through Z:, which both this program and
    // the stand-in (a Unix process) read as the Unix root.
    root_ = Utf8(drive_.lexically_normal().make_preferred()) + "\\";
    standIn().setDrives({{"Z", "Z:\\"}});
    files_ = std::make_unique<WindowsFileSystem>();
#else
    root_ = "T:\\";
    standIn().setDrives({{"T", Utf8(drive_)}});
    files_ = std::make_unique<PosixFileSystem>(std::map<char, fs::path>{{'T', drive_}});
#endif
    settings_.server = test::kStandInServer;
    settings_.user = "sa";
    settings_.password = "pw";
    settings_.database = "shop";
    settings_.backupDir = root_ + "数据库自动备份目录\\";
  }

  // The local path of a Windows path below root_.
  fs::path local(const std::string& windowsPath) const {
    std::string rest = windowsPath.substr(root_.size());
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
    return drive_ / Utf8Path(rest);
  }

  void backUp() {
    BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
    engine.BakExecute();
  }

  fs::path drive_;
  std::string root_;
  std::unique_ptr<FileSystem> files_;
  BackupSettings settings_;
  FakeClock clock_{At(2026, 3, 9, 21, 5, 17)};
  OdbcServerSession session_;
  LogLines log_;
};

TEST_F(BackupAgainstServerTest, WritesTheDatedFileAndLogsItsPath) {
  settings_.backupDir = root_ + "新建\\子目录\\";  // neither exists yet
  backUp();

  const std::string path = settings_.backupDir + kFile;
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  ASSERT_TRUE(fs::is_regular_file(local(path)));
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, "sa");
  EXPECT_EQ(record.logins[0].database, "master");
  EXPECT_EQ(Texts(record.statements), VerifiedBackupStatements("shop", path, 1));
  for (const auto& statement : record.statements) EXPECT_EQ(statement.disks, std::vector<std::string>{path});
  EXPECT_EQ(ReadVerifiedRecord(*files_, settings_.backupDir),
            (std::vector<VerifiedEntry>{{kFile, 1, static_cast<std::uint64_t>(fs::file_size(local(path))), clock_.now()}}))
      << "the record in the backup folder proves the file as written";
}

// The verification itself fails on the server: the backup was written, but
// what the server reads back is not what it wrote, or the line to it is cut
// while it reads. A failed backup, never a success, and nothing recorded as
// proven. The server is held at the VERIFYONLY for a moment, so that the file
// can be changed between its writing and its reading.
struct VerifyFailureCase {
  const char* name;
  std::string damage;  // how the file is changed before it is read back ("" for not at all)
  test::StandInFault fault;
  std::string cause;  // after "原因: 备份校验未通过: "
};
void PrintTo(const VerifyFailureCase& c, std::ostream* os) { *os << c.name; }

class VerificationFails : public BackupAgainstServerTest, public ::testing::WithParamInterface<VerifyFailureCase> {};

TEST_P(VerificationFails, IsAFailedBackupWithTheServersWords) {
  const VerifyFailureCase& c = GetParam();
  const std::string path = settings_.backupDir + kFile;
  standIn().arm(c.fault);
  std::vector<BackupOutcome> outcomes;
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  std::thread backup([&] { engine.BakExecute(); });
  if (!c.damage.empty()) {
    bool verifying = false;
    for (int i = 0; i < 1000 && !verifying; ++i) {
      const auto statements = standIn().record().statements;
      verifying = statements.size() == 3 && statements[2].text == BuildVerifyStatement(path, 1);
      if (!verifying) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(verifying) << "the server never got to the verification";
    standIn().damageBackup(path, c.damage);
  }
  backup.join();

  std::string cause = c.cause;
  if (const size_t at = cause.find("{path}"); at != std::string::npos) cause.replace(at, 6, path);
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, kFailed, "原因: 备份校验未通过: " + cause}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_FALSE(outcomes[0].verified);
  EXPECT_TRUE(fs::is_regular_file(local(path))) << "the file stays; only the cleanup's rules delete backups";
  EXPECT_FALSE(fs::exists(local(settings_.backupDir + kRecord))) << "nothing proven";
  EXPECT_EQ(Texts(standIn().record().statements), VerifiedBackupStatements("shop", path, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerificationFails,
    ::testing::Values(
        VerifyFailureCase{"DamagedAfterItWasWritten", "bytes", {"hang", 50, 2, 0, "verify"},
                          "3183 RESTORE detected an error on page (1:2) in database \"shop\" as read from the "
                          "backup set."},
        VerifyFailureCase{"CutShortAfterItWasWritten", "cut", {"hang", 50, 2, 0, "verify"},
                          "3241 The media family on device '{path}' is incorrectly formed. SQL Server cannot process "
                          "this media family."},
        VerifyFailureCase{"ConnectionCutWhileReadingBack", "", {"drop", 50, 0, 0, "verify"},
                          "Unexpected EOF from the server"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A second run in the same minute finds the first run's file. The server
// appends to it (NOINIT) when the backup succeeds, and it stays as it was when
// the backup fails.
struct SameNameCase {
  const char* name;
  std::string fault;  // armed in the stand-in for the second run, "" for none
  bool closedPort;
  bool succeeds;
};
void PrintTo(const SameNameCase& c, std::ostream* os) { *os << c.name; }

class SameNameFile : public BackupAgainstServerTest, public ::testing::WithParamInterface<SameNameCase> {};

TEST_P(SameNameFile, SecondRunInTheMinuteNeverLosesTheFirstBackup) {
  const SameNameCase& c = GetParam();
  const std::string path = settings_.backupDir + "2026年03月09日21时05分.bak";
  backUp();
  ASSERT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  const std::string first = ReadAll(local(path));
  ASSERT_FALSE(first.empty());

  clock_.set(At(2026, 3, 9, 21, 5, 59, 999));
  if (!c.fault.empty()) standIn().arm({c.fault, 50, 0});
  if (c.closedPort) standIn().listen(false);
  backUp();
  if (c.closedPort) standIn().listen(true);

  ASSERT_GE(log_.lines.size(), 4u);
  if (c.succeeds) {
    EXPECT_EQ(log_.lines.back(), Succeeded(path));
  } else {
    EXPECT_EQ(log_.lines.at(log_.lines.size() - 2), kFailed);
    EXPECT_EQ(log_.lines.back().rfind("原因: ", 0), 0u) << log_.lines.back();
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(local(settings_.backupDir))) names.push_back(Utf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{kFile, kRecord}));
  const std::string after = ReadAll(local(path));
  if (c.succeeds) {
    // Each set has an identity and times of its own; the server's header of
    // the file lists both (the verification of set 2 below).
    EXPECT_GT(after.size(), first.size());
    EXPECT_EQ(after.substr(0, first.size()), first) << "the second set was appended to the first";
  } else {
    EXPECT_EQ(after, first);
  }
  // The record still proves the file: its second set once that was verified,
  // its first while the file is as the first run left it.
  EXPECT_EQ(VerifiedPosition(ReadVerifiedRecord(*files_, settings_.backupDir), kFile,
                             static_cast<std::uint64_t>(fs::file_size(local(path)))),
            c.succeeds ? 2 : 1);
  std::vector<std::string> sent = VerifiedBackupStatements("shop", path, 1);
  if (c.succeeds) {
    const std::vector<std::string> second = VerifiedBackupStatements("shop", path, 2);
    sent.insert(sent.end(), second.begin(), second.end());
  } else if (!c.closedPort) {
    sent.push_back(BuildBackupStatement("shop", path, true));
  }
  EXPECT_EQ(Texts(standIn().record().statements), sent);
}

INSTANTIATE_TEST_SUITE_P(Cases, SameNameFile,
                         ::testing::Values(SameNameCase{"Success", "", false, true},
                                           SameNameCase{"ServerDown", "", true, false},
                                           SameNameCase{"FolderNotWritable", "denied", false, false},
                                           SameNameCase{"DiskFullAfterProgress", "disk_full", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A backup that reports progress only every 3 s, on a session whose statement
// time-out is 2 s: the backup is never cut off by the time-out.
TEST_F(BackupAgainstServerTest, SlowBackupOutlastsTheStatementTimeOut) {
  OdbcServerSession shortTimeOut(2);
  test::StandInFault slow{"slow", 50, 6};
  slow.packets = 2;
  standIn().arm(slow);
  BackupEngine engine(settings_, clock_, shortTimeOut, *files_, log_.sink());
  engine.BakExecute();

  const std::string path = settings_.backupDir + "2026年03月09日21时05分.bak";
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  EXPECT_TRUE(fs::is_regular_file(local(path)));
  const auto record = standIn().record();
  ASSERT_EQ(Texts(record.statements), VerifiedBackupStatements("shop", path, 1));
  EXPECT_EQ(record.statements[0].fault, "slow");
  EXPECT_FALSE(record.statements[0].cancelled);
}

// The progress reaches the callback while the server is still writing, in
// its order, and the log says what it always said.
TEST_F(BackupAgainstServerTest, ProgressReachesTheCallbackWhileTheServerWrites) {
  standIn().arm({"stall", 30, 2});  // 10 to 30 percent at once, two seconds of silence, the rest
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  std::vector<int> percents;
  std::optional<bool> answeredAtTheFirst;
  engine.onProgress = [&](int percent) {
    if (!answeredAtTheFirst) answeredAtTheFirst = standIn().record().statements.at(0).answered;
    percents.push_back(percent);
  };
  engine.BakExecute();

  EXPECT_EQ(percents, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
  ASSERT_TRUE(answeredAtTheFirst.has_value());
  EXPECT_FALSE(*answeredAtTheFirst) << "the progress came only once the backup was over";
  const std::string path = settings_.backupDir + "2026年03月09日21时05分.bak";
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  EXPECT_TRUE(fs::is_regular_file(local(path)));
}

// A backup stopped from another thread (the window's, while the backup has a
// thread of its own) while the server is silent: the server is told and drops
// the file, and the log says the backup was cancelled. The server's silence
// would end after a minute, with a finished backup, if the cancel did not
// reach it.
TEST_F(BackupAgainstServerTest, CancelFromAnotherThreadStopsTheServer) {
  standIn().arm({"stall", 20, 60});
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  std::promise<void> progressed;
  int percents = 0;
  engine.onProgress = [&](int) {
    if (++percents == 2) progressed.set_value();
  };
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  std::thread backup([&] { engine.BakExecute(); });
  progressed.get_future().wait_for(std::chrono::seconds(30));
  engine.cancelBackup();
  backup.join();

  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, kCancelled}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].succeeded);
  EXPECT_EQ(outcomes[0].cause, "已取消");
  EXPECT_FALSE(fs::exists(local(settings_.backupDir + "2026年03月09日21时05分.bak")));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_TRUE(record.statements[0].cancelled);
}

// The watchdog gives up on a server that went silent after some progress. The
// clock stands still until the progress before the silence has arrived, then
// moves a minute at each of the watchdog's looks (every 10 ms here).
TEST_F(BackupAgainstServerTest, SilenceLimitCancelsWithItsCause) {
  standIn().arm({"stall", 20, 60});
  settings_.stallMinutes = 2;
  const std::int64_t start = testing::ToMs(At(2026, 3, 9, 21, 5, 17));
  std::atomic<bool> progressDone{false};
  std::atomic<int> minutes{0};
  clock_.script([&] { return testing::FromMs(start + (progressDone ? ++minutes : 0) * 60'000LL); });
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  engine.watchInterval = std::chrono::milliseconds(10);
  std::vector<int> percents;
  engine.onProgress = [&](int percent) {
    percents.push_back(percent);
    if (percent == 20) progressDone = true;
  };
  engine.BakExecute();

  EXPECT_EQ(percents, (std::vector<int>{10, 20}));
  EXPECT_EQ(log_.lines,
            (std::vector<std::string>{kStart, kFailed, "超过2分钟没有收到SQL服务器的备份进度,备份已取消"}));
  EXPECT_FALSE(fs::exists(local(settings_.backupDir + "2026年03月09日21时05分.bak")));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_TRUE(record.statements[0].cancelled);
}

// ---- The log backup after the full backup, with log backups on.

const std::string kLogFile = "2026年03月09日21时05分.trn";
const std::string kLogStart = "开始备份事务日志...";
std::string LogSucceeded(const std::string& path) { return "事务日志备份成功!  [文件名:" + path + "]"; }

struct LogNameCase {
  const char* name;
  std::string database;
  std::string folder;  // below the drive's root
};
void PrintTo(const LogNameCase& c, std::ostream* os) { *os << c.name; }

class LogBackupAgainstServer : public BackupAgainstServerTest, public ::testing::WithParamInterface<LogNameCase> {};

// A database in the FULL recovery model: its full backup starts the chain of
// log backups, and the log backup that follows takes the log the server kept
// for it; each is verified and recorded, the log's after the full's.
TEST_P(LogBackupAgainstServer, FollowsTheVerifiedFullBackup) {
  const LogNameCase& c = GetParam();
  settings_.database = c.database;
  settings_.backupDir = root_ + c.folder;
  settings_.logBackups = true;
  standIn().configureDatabase(c.database, {"FULL"});
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  engine.BakExecute();

  const std::string path = settings_.backupDir + kFile;
  const std::string logPath = settings_.backupDir + kLogFile;
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path), kLogStart, LogSucceeded(logPath)}));
  const auto record = standIn().record();
  std::vector<std::string> sent = VerifiedBackupStatements(c.database, path, 1);
  sent.insert(sent.end(), {BuildLogBackupStatement(c.database, logPath, true), BuildHeaderStatement(logPath),
                           BuildVerifyStatement(logPath, 1)});
  ASSERT_EQ(Texts(record.statements), sent);
  EXPECT_EQ(record.statements[3].backupKind, "LOG");
  EXPECT_EQ(record.statements[3].database, c.database);
  EXPECT_EQ(record.statements[3].disks, std::vector<std::string>{logPath});
  ASSERT_TRUE(fs::is_regular_file(local(logPath)));
  EXPECT_EQ(ReadVerifiedRecord(*files_, settings_.backupDir),
            (std::vector<VerifiedEntry>{
                {kFile, 1, static_cast<std::uint64_t>(fs::file_size(local(path))), clock_.now()},
                {kLogFile, 1, static_cast<std::uint64_t>(fs::file_size(local(logPath))), clock_.now()}}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_EQ(outcomes[0].logPath, logPath);
  EXPECT_EQ(outcomes[0].logFailure, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogBackupAgainstServer,
                         ::testing::Values(LogNameCase{"Plain", "shop", "数据库自动备份目录\\"},
                                           LogNameCase{"BracketInDatabase", "a]b", "bak\\"},
                                           LogNameCase{"QuotesAndOutsideTheBmp", "库😀𠀀", "O'Neil's 备份😀\\𠀀\\"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A database in the SIMPLE recovery model keeps no log to back up: the server
// refuses, in its words, and the full backup stays the success it was.
TEST_F(BackupAgainstServerTest, ALogBackupTheServerRefusesLeavesTheFullBackupASuccess) {
  settings_.logBackups = true;
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  engine.BakExecute();

  const std::string path = settings_.backupDir + kFile;
  const std::string logPath = settings_.backupDir + kLogFile;
  const std::string cause =
      "原因: 4208 The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use BACKUP DATABASE or "
      "change the recovery model using ALTER DATABASE.";
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path), kLogStart, "事务日志备份失败!", cause}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_TRUE(outcomes[0].verified);
  EXPECT_EQ(outcomes[0].logPath, logPath);
  EXPECT_EQ(outcomes[0].logFailure, cause);
  EXPECT_FALSE(fs::exists(local(logPath)));
  EXPECT_EQ(Texts(standIn().record().statements).back(), BuildLogBackupStatement("shop", logPath, true));
}

// A request to stop while the server writes the log backup reaches the
// server, which drops the log backup's file; the full backup stays.
TEST_F(BackupAgainstServerTest, CancelDuringTheLogBackupStopsTheServer) {
  settings_.logBackups = true;
  standIn().configureDatabase("shop", {"FULL"});
  test::StandInFault stall{"stall", 20, 60};
  stall.on = "backup_log";
  standIn().arm(stall);
  BackupEngine engine(settings_, clock_, session_, *files_, log_.sink());
  std::promise<void> logProgressed;
  int percents = 0;
  engine.onProgress = [&](int) {
    // Ten from the full backup, then the log backup's 10 and 20 percent.
    if (++percents == 12) logProgressed.set_value();
  };
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& o) { outcomes.push_back(o); };
  std::thread backup([&] { engine.BakExecute(); });
  EXPECT_EQ(logProgressed.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  engine.cancelBackup();
  backup.join();

  const std::string path = settings_.backupDir + kFile;
  const std::string logPath = settings_.backupDir + kLogFile;
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path), kLogStart, "事务日志备份已取消"}));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_EQ(outcomes[0].logFailure, "已取消");
  EXPECT_TRUE(fs::is_regular_file(local(path)));
  EXPECT_FALSE(fs::exists(local(logPath)));
  const auto record = standIn().record();
  ASSERT_EQ(record.statements.size(), 4u);
  EXPECT_EQ(record.statements[3].backupKind, "LOG");
  EXPECT_TRUE(record.statements[3].cancelled);
}

struct NameCase {
  const char* name;
  std::string database;
  std::string folder;  // below the drive's root
  std::string user = "sa";
  std::string password = "pw";
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class HostileNames : public BackupAgainstServerTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileNames, ServerReceivesExactlyTheLoginDatabaseAndPath) {
  settings_.database = GetParam().database;
  settings_.backupDir = root_ + GetParam().folder;
  settings_.user = GetParam().user;
  settings_.password = GetParam().password;
  standIn().setUsers({{GetParam().user, GetParam().password}});
  backUp();

  const std::string path = settings_.backupDir + "2026年03月09日21时05分.bak";
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, GetParam().user);
  EXPECT_EQ(record.logins[0].password, GetParam().password);
  // The backup, then its header and its verification: each names exactly the file.
  ASSERT_EQ(Texts(record.statements), VerifiedBackupStatements(GetParam().database, path, 1));
  EXPECT_EQ(record.statements[0].database, GetParam().database);
  for (const auto& statement : record.statements) EXPECT_EQ(statement.disks, std::vector<std::string>{path});
  ASSERT_TRUE(fs::is_regular_file(local(path)));
  EXPECT_EQ(VerifiedPosition(ReadVerifiedRecord(*files_, settings_.backupDir), kFile,
                             static_cast<std::uint64_t>(fs::file_size(local(path)))),
            1);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileNames,
                         ::testing::Values(NameCase{"BracketInDatabase", "a]b", "bak\\"},
                                           NameCase{"OnlyBrackets", "]]", "bak\\"},
                                           NameCase{"QuoteInFolder", "shop", "O'Neil's 备份\\"},
                                           NameCase{"QuotesAndSemicolons", "shop", "a'';b{c}\\''\\"},
                                           NameCase{"Chinese", "库存", "数据库自动备份目录\\每日\\"},
                                           NameCase{"OutsideTheBmp", "库😀𠀀", "备份😀\\𠀀\\", "用户𠀀", "密😀码"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  std::string fault;  // armed in the stand-in, "" for none
  std::string database;
  std::string password;
  bool closedPort;
  bool unmappedFolder;
  std::string cause;  // the line after the failure; {path} stands for the backup's path
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailedBackup : public BackupAgainstServerTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedBackup, LogsFailureAndNeverSuccess) {
  const FailureCase& c = GetParam();
  settings_.database = c.database;
  settings_.password = c.password;
  if (c.unmappedFolder) settings_.backupDir = "Q:\\nowhere\\";
  if (!c.fault.empty()) standIn().arm({c.fault, 50, 0});
  if (c.closedPort) standIn().listen(false);
  backUp();
  if (c.closedPort) standIn().listen(true);

  std::string cause = c.cause;
  if (const size_t at = cause.find("{path}"); at != std::string::npos) {
    cause.replace(at, 6, settings_.backupDir + "2026年03月09日21时05分.bak");
  }
  // The room left on the disk is this computer's: its figure is only checked
  // for its shape.
  if (const size_t at = cause.find("{room}"); at != std::string::npos && log_.lines.size() == 3) {
    const std::string& line = log_.lines[2];
    const std::string after = cause.substr(at + 6);
    const bool fits = line.size() >= at + after.size() && line.compare(0, at, cause, 0, at) == 0 &&
                      line.compare(line.size() - after.size(), after.size(), after) == 0;
    const std::string room = fits ? line.substr(at, line.size() - at - after.size()) : "";
    EXPECT_TRUE(std::regex_match(room, std::regex("[0-9]+\\.[0-9] (GB|MB)"))) << line;
    cause = line;
  }
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, kFailed, cause}));
  // The failure came from where it was meant to.
  const auto record = standIn().record();
  if (c.closedPort || c.password != "pw") {
    EXPECT_TRUE(record.statements.empty());
  } else {
    ASSERT_EQ(record.statements.size(), 1u);
    EXPECT_EQ(record.statements[0].fault, c.fault);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedBackup,
    ::testing::Values(
        FailureCase{"MissingDatabase", "", "nosuch", "pw", false, false,
                    "原因: 911 Database 'nosuch' does not exist. Make sure that the name is entered correctly."},
        FailureCase{"LoginRefused", "", "shop", "wrong", false, false, "原因: 18456 Login failed for user 'sa'."},
        FailureCase{"ClosedPort", "", "shop", "pw", true, false,
                    "原因: Unable to connect: Adaptive Server is unavailable or does not exist"},
        FailureCase{"FolderThatCannotBeCreated", "", "shop", "pw", false, true,
                    "原因: 3201 Cannot open backup device '{path}'. Operating system error 3(The system cannot find the "
                    "path specified.)."},
        FailureCase{"FolderNotWritable", "denied", "shop", "pw", false, false,
                    "原因: 3201 Cannot open backup device '{path}'. Operating system error 5(Access is denied.)."},
        // The server removed what it had written: there is no earlier backup
        // to compare the room with.
        FailureCase{"DiskFullAfterProgress", "disk_full", "shop", "pw", false, false,
                    "原因: 3202 Write on \"{path}\" failed: 112(There is not enough space on the disk.) "
                    "(备份目录所在磁盘只剩 {room})"},
        FailureCase{"DroppedConnection", "drop", "shop", "pw", false, false, "原因: Unexpected EOF from the server"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bakwyn
