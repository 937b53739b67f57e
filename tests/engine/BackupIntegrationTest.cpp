// The backup job end to end: the real ODBC session against the stand-in
// server, and the platform's real file system for the backup folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/BackupEngine.h"
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

  const std::string path = settings_.backupDir + "2026年03月09日21时05分.bak";
  EXPECT_EQ(log_.lines, (std::vector<std::string>{kStart, Succeeded(path)}));
  EXPECT_TRUE(fs::is_regular_file(local(path)));
  const auto record = standIn().record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, "sa");
  EXPECT_EQ(record.logins[0].database, "master");
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].text, BuildBackupStatement("shop", path));
  EXPECT_EQ(record.statements[0].disks, std::vector<std::string>{path});
}

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
  EXPECT_EQ(names, std::vector<std::string>{"2026年03月09日21时05分.bak"});
  const std::string after = ReadAll(local(path));
  if (c.succeeds) {
    EXPECT_EQ(after, first + first) << "the second set was appended to the first";
  } else {
    EXPECT_EQ(after, first);
  }
  EXPECT_EQ(standIn().record().statements.size(), c.closedPort ? 1u : 2u);
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
  ASSERT_EQ(record.statements.size(), 1u);
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
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].database, GetParam().database);
  EXPECT_EQ(record.statements[0].disks, std::vector<std::string>{path});
  EXPECT_TRUE(fs::is_regular_file(local(path)));
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
        FailureCase{"DiskFullAfterProgress", "disk_full", "shop", "pw", false, false,
                    "原因: 3202 Write on \"{path}\" failed: 112(There is not enough space on the disk.)"},
        FailureCase{"DroppedConnection", "drop", "shop", "pw", false, false, "原因: Unexpected EOF from the server"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bakwyn
