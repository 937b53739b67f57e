// The record of verified backups: what a line must be to count, what the
// cleanup and the restore test read from it, what outlives a restart, and the
// same on the platform's real file system.
#include "engine/VerifiedBackups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/Replica.h"
#include "tests/engine/TestDirectory.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::FakeSession;
using testing::FromMs;
using testing::LogLines;
using testing::MemoryFiles;
using testing::TestDirectory;
using testing::ToMs;

const std::string kDir = "D:\\bak\\";
const std::string kRecord = kDir + "Bakwyn校验记录.txt";
const LocalDateTime kNow = At(2026, 3, 12, 2, 0, 0);

LocalDateTime DaysAgo(int days) { return FromMs(ToMs(kNow) - days * 86'400'000LL); }

std::string Line(const std::string& name, int position = 1, std::uint64_t size = 0,
                 const std::string& at = "2026-03-12 01:59:00") {
  return name + "\t" + std::to_string(position) + "\t" + std::to_string(size) + "\t" + at + "\n";
}

TEST(VerifiedLineTest, ReadsBackWhatItWrites) {
  const VerifiedEntry entries[] = {
      {"2026年03月12日02时00分.bak", 1, 0, At(2026, 3, 12, 2, 3, 9)},
      {"引号'和;括号] 😀.BAK", 2147483647, 18446744073709551615ull, At(2024, 2, 29, 23, 59, 59)},
  };
  for (const VerifiedEntry& e : entries) {
    const std::string line = FormatVerifiedLine(e);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(ParseVerifiedLine(std::string_view(line).substr(0, line.size() - 1)), e) << line;
  }
  EXPECT_EQ(FormatVerifiedLine(entries[0]), "2026年03月12日02时00分.bak\t1\t0\t2026-03-12 02:03:09\n");
}

// The backup folder holds an old backup, the newest one and, in a folder of
// its own, a file of the newest one's name. Each record proves the newest
// backup or nothing; a line not exactly of the record's shape, or that names
// anything but a file the folder's listing returns, proves nothing: the
// cleanup then deletes nothing and the restore test finds no backup.
struct RecordCase {
  const char* name;
  std::string record;
  bool proves;
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class HostileRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(HostileRecord, ProvesOnlyAListedBackupByAWellFormedLine) {
  const RecordCase& c = GetParam();
  MemoryFiles files;
  files.add(kDir + "old.bak", "", DaysAgo(10));
  files.add(kDir + "newest.bak", "", DaysAgo(1));
  files.add(kDir + "sub\\newest.bak", "", DaysAgo(0));
  files.add("D:\\newest.bak", "", DaysAgo(0));
  files.add(kRecord, c.record, DaysAgo(0));
  BackupSettings settings;
  settings.backupDir = kDir;
  settings.cleanupEnabled = true;
  settings.retentionDays = 3;
  FakeClock clock(kNow);
  FakeSession session;
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.deleteoldfileExecute();
  const std::optional<VerifiedBackup> newest = NewestVerified(files, kDir, kNow);

  EXPECT_EQ(files.done("remove"), c.proves ? std::vector<std::string>{kDir + "old.bak"} : std::vector<std::string>{});
  ASSERT_EQ(newest.has_value(), c.proves);
  if (newest) {
    EXPECT_EQ(newest->path, kDir + "newest.bak");
    EXPECT_EQ(newest->position, 1);
  }
  EXPECT_TRUE(log.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HostileRecord,
    ::testing::Values(
        RecordCase{"WellFormed", Line("newest.bak"), true},
        RecordCase{"WellFormedAmongGarbage", "\x01\x02\xff garbage\n\n\t\t\t\n" + Line("newest.bak") + "tail", true},
        RecordCase{"DotDotInTheName", Line("..\\newest.bak"), false},
        RecordCase{"FullPath", Line("D:\\bak\\newest.bak"), false},
        RecordCase{"FileOfASubfolder", Line("sub\\newest.bak"), false},
        RecordCase{"ForwardSlash", Line("./newest.bak"), false},
        RecordCase{"NotInTheFolder", Line("ghost.bak"), false},
        RecordCase{"OtherLetterCase", Line("NEWEST.BAK"), false},
        RecordCase{"LeadingBlank", Line(" newest.bak"), false},
        RecordCase{"ByteOrderMark", "\xEF\xBB\xBF" + Line("newest.bak"), false},
        RecordCase{"NulInTheName", Line(std::string("newest.bak\0.bak", 15)), false},
        RecordCase{"LineCutOff", "newest.bak\t1\t0\t2026-03-12 01:59:00", false},
        RecordCase{"CarriageReturn", "newest.bak\t1\t0\t2026-03-12 01:59:00\r\n", false},
        RecordCase{"PositionZero", Line("newest.bak", 0), false},
        RecordCase{"PositionLeadingZero", "newest.bak\t01\t0\t2026-03-12 01:59:00\n", false},
        RecordCase{"PositionSigned", "newest.bak\t+1\t0\t2026-03-12 01:59:00\n", false},
        RecordCase{"PositionBeyondAnInt", "newest.bak\t2147483648\t0\t2026-03-12 01:59:00\n", false},
        RecordCase{"SizeOfAnotherFile", Line("newest.bak", 1, 7), false},
        RecordCase{"SizeBeyond64Bits", "newest.bak\t1\t18446744073709551616\t2026-03-12 01:59:00\n", false},
        RecordCase{"SizeLeadingZero", "newest.bak\t1\t00\t2026-03-12 01:59:00\n", false},
        RecordCase{"NoSuchDay", Line("newest.bak", 1, 0, "2026-02-29 01:59:00"), false},
        RecordCase{"NoSuchHour", Line("newest.bak", 1, 0, "2026-03-12 24:00:00"), false},
        RecordCase{"DateOfAnotherShape", Line("newest.bak", 1, 0, "2026-3-12 01:59:00"), false},
        RecordCase{"FifthField", "newest.bak\t1\t0\t2026-03-12 01:59:00\textra\n", false},
        RecordCase{"ThreeFields", "newest.bak\t1\t0\n", false},
        RecordCase{"Empty", "", false}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

// The record outlives the program: a backup verified before a restart is
// what the cleanup keeps after it, and what the restore test takes. A backup
// whose verification failed in between is kept, but proves nothing.
TEST(VerifiedBackupsTest, TheRecordOutlivesARestart) {
  MemoryFiles files;
  files.add(kDir + "2026年02月01日02时00分.bak", "set;", At(2026, 2, 1, 2, 1));  // an older version's backup
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = kDir;
  settings.cleanupEnabled = false;  // until the restart
  settings.retentionDays = 3;
  bool damaged = false;
  const auto serverOf = [&](FakeSession& session) {
    session.onExecute = [&files, &damaged](const std::string& statement) {
      if (statement.rfind("BACKUP DATABASE", 0) == 0) {
        // The file's date is the backup's: two minutes after its slot.
        const std::size_t open = statement.find("N'") + 2;
        const std::string path = statement.substr(open, statement.find('\'', open) - open);
        files.text(path) += "set;";
        files.files[path].modified = At(2026, 3, path.find("08日") != std::string::npos ? 8 : 9, 2, 2);
      }
      if (statement.rfind("RESTORE VERIFYONLY", 0) == 0 && damaged)
        throw ServerError("The statement failed", {{"42000", 3189, "Damage to the backup set was detected."}});
    };
    session.onQuery = [](const std::string&) {
      QueryResult header;
      header.columns = {"BackupName", "Position"};
      header.rows = {{std::string(kBackupSetName), "1"}};
      return header;
    };
  };
  {
    FakeClock clock(At(2026, 3, 8, 2, 0));
    FakeSession session;
    serverOf(session);
    LogLines log;
    BackupEngine engine(settings, clock, session, files, log.sink());
    engine.RunScheduledSlot(1, clock.now());
    clock.set(At(2026, 3, 9, 2, 0));
    damaged = true;
    engine.RunScheduledSlot(1, clock.now());
    ASSERT_EQ(log.lines, (std::vector<std::string>{"开始备份数据库...", "数据库备份成功!  [文件名:D:\\bak\\2026年03月08日02时00分.bak]",
                                                   "开始备份数据库...", "数据库备份失败!",
                                                   "原因: 备份校验未通过: 3189 Damage to the backup set was detected."}));
  }
  EXPECT_EQ(files.text(kRecord), "2026年03月08日02时00分.bak\t1\t4\t2026-03-08 02:00:00\n");

  settings.cleanupEnabled = true;
  FakeClock clock(At(2026, 3, 12, 2, 0));
  FakeSession session;
  LogLines log;
  BackupEngine restarted(settings, clock, session, files, log.sink());
  restarted.deleteoldfileExecute();

  EXPECT_EQ(files.done("remove"), std::vector<std::string>{kDir + "2026年02月01日02时00分.bak"});
  const std::optional<VerifiedBackup> newest = NewestVerified(files, kDir, clock.now());
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->path, kDir + "2026年03月08日02时00分.bak");
  EXPECT_EQ(newest->position, 1);
  EXPECT_EQ(files.files.count(kDir + "2026年03月09日02时00分.bak"), 1u) << "newer than the verified one: kept";
}

// The newest verified backup, and the set in it: of several sets verified in
// one file, the highest; of two verified files, the later one dated up to now.
TEST(VerifiedBackupsTest, NewestVerifiedIsTheCleanupsAnchor) {
  MemoryFiles files;
  files.add(kDir + "a.bak", "12345678", DaysAgo(3));
  files.add(kDir + "b.bak", "1234", DaysAgo(2));
  files.add(kDir + "unverified.bak", "", DaysAgo(1));
  files.add(kDir + "future.bak", "", At(2027, 1, 1, 0, 0));
  files.add(kRecord, Line("b.bak", 1, 4) + Line("a.bak", 1, 4) + Line("a.bak", 2, 8) + Line("future.bak"), DaysAgo(1));

  const std::optional<VerifiedBackup> newest = NewestVerified(files, kDir, kNow);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->path, kDir + "b.bak");
  EXPECT_EQ(newest->position, 1);

  files.files.erase(kDir + "b.bak");
  const std::optional<VerifiedBackup> after = NewestVerified(files, kDir, kNow);
  ASSERT_TRUE(after.has_value()) << "a deleted backup is not taken";
  EXPECT_EQ(after->path, kDir + "a.bak");
  EXPECT_EQ(after->position, 2);
  EXPECT_FALSE(NewestVerified(files, "D:\\elsewhere\\", kNow).has_value());
}

// The record proves this program's log backups too, for the cleanup and the
// copies; another program's ".trn" is no line of it. The restore test never
// takes a log backup, however new: it restores nothing by itself.
TEST(VerifiedBackupsTest, LogBackupsAreProvenButNeverTheBackupToRestore) {
  const std::string log = "2026年03月12日02时00分.trn";
  EXPECT_EQ(ParseVerifiedLine(Line(log, 1, 4).substr(0, Line(log, 1, 4).size() - 1)),
            (VerifiedEntry{log, 1, 4, At(2026, 3, 12, 1, 59)}));
  EXPECT_EQ(ParseVerifiedLine("shop_log.trn\t1\t4\t2026-03-12 01:59:00"), std::nullopt);

  MemoryFiles files;
  files.add(kDir + "full.bak", "1234", DaysAgo(1));
  files.add(kDir + log, "1234", kNow);
  files.add(kDir + "shop_log.trn", "1234", kNow);
  std::string record = Line("full.bak", 1, 4) + Line(log, 1, 4) + Line("shop_log.trn", 1, 4);
  while (record.size() <= kVerifiedRecordPruneAbove) record += Line("2025年01月01日02时00分.trn", 1, 4);
  files.add(kRecord, record, kNow);

  const std::optional<VerifiedBackup> newest = NewestVerified(files, kDir, kNow);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->path, kDir + "full.bak");

  // Written anew past its limit: the log backup's line stays with the file.
  files.add(kDir + "new.bak", "123", kNow);
  ASSERT_TRUE(RecordVerified(files, kDir, "new.bak", 1, At(2026, 3, 12, 2, 0, 5)));
  EXPECT_EQ(files.text(kRecord), Line("full.bak", 1, 4) + Line(log, 1, 4) + "new.bak\t1\t3\t2026-03-12 02:00:05\n");
}

// Once grown past its limit the record is written anew with only the lines of
// the backups that are still there as they were verified, and the new line.
// If the new record cannot take the old one's name, the line is appended
// after all and no temporary file stays behind.
struct PruneCase {
  const char* name;
  std::string renameRefused;
};
void PrintTo(const PruneCase& c, std::ostream* os) { *os << c.name; }

class RecordPrune : public ::testing::TestWithParam<PruneCase> {};

TEST_P(RecordPrune, KeepsTheLinesOfTheBackupsThatAreLeft) {
  MemoryFiles files;
  files.add(kDir + "kept.bak", "1234", DaysAgo(2));
  files.add(kDir + "grown.bak", "12345678", DaysAgo(1));
  files.add(kDir + "new.bak", "123", kNow);
  std::string record = Line("kept.bak", 1, 4) + Line("grown.bak", 1, 4) + "garbage\n";
  while (record.size() <= kVerifiedRecordPruneAbove) record += Line("2025年01月01日02时00分.bak", 1, 4);
  files.add(kRecord, record, DaysAgo(1));
  files.renameRefused = GetParam().renameRefused;

  ASSERT_TRUE(RecordVerified(files, kDir, "new.bak", 1, At(2026, 3, 12, 2, 0, 5)));

  const std::string line = "new.bak\t1\t3\t2026-03-12 02:00:05\n";
  if (GetParam().renameRefused.empty()) {
    EXPECT_EQ(files.text(kRecord), Line("kept.bak", 1, 4) + line);
  } else {
    EXPECT_EQ(files.text(kRecord), record + line);
  }
  EXPECT_EQ(files.files.count(kRecord + ".new"), 0u);
  EXPECT_EQ(files.done("create"), std::vector<std::string>{kRecord + ".new"});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RecordPrune,
                         ::testing::Values(PruneCase{"Rewritten", ""}, PruneCase{"RenameRefused", "Access is denied."}),
                         [](const ::testing::TestParamInfo<PruneCase>& info) { return std::string(info.param.name); });

TEST(VerifiedBackupsTest, AHugeRecordIsReadFromItsEnd) {
  MemoryFiles files;
  std::string record = Line("first.bak");
  record += std::string(kVerifiedRecordReadLimit, 'x');
  record += "\n" + Line("last.bak");
  files.add(kRecord, record, kNow);

  const std::vector<VerifiedEntry> entries = ReadVerifiedRecord(files, kDir);

  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "last.bak");
}

TEST(VerifiedBackupsTest, ABackupThatCannotBeSizedIsNotRecorded) {
  MemoryFiles files;
  files.folders.insert(kDir);

  const FileResult recorded = RecordVerified(files, kDir, "gone.bak", 1, kNow);

  EXPECT_FALSE(recorded);
  EXPECT_EQ(recorded.reason, "无法读取备份文件的大小: D:\\bak\\gone.bak");
  EXPECT_EQ(files.files.count(kRecord), 0u);
}

// With verification on, the second folder gets only verified backups: one
// that failed its verification stays in the backup folder alone.
TEST(VerifiedBackupsTest, OnlyVerifiedBackupsAreCopied) {
  MemoryFiles files;
  const std::string second = "E:\\副本\\";
  files.folders.insert(second);
  files.add(kDir + "verified.bak", "good", DaysAgo(1));
  files.add(kDir + "failed.bak", "bad", FromMs(ToMs(kNow) - 60'000));
  files.add(kDir + "new.bak", "new", kNow);
  files.add(kRecord, Line("verified.bak", 1, 4) + Line("new.bak", 1, 3), kNow);
  const ReplicaRequest request{kDir, second, kDir + "new.bak", true, 3, "OFFICE1", "shop", true};

  const ReplicaReport report = ReplicateBackups(files, request, kNow);

  const std::string copies = second + "OFFICE1\\shop\\";
  EXPECT_EQ(report.lines, (std::vector<std::string>{"备份已复制到: " + copies + "new.bak",
                                                    "备份已复制到: " + copies + "verified.bak"}));
  EXPECT_EQ(files.files.count(copies + "failed.bak"), 0u);
}

// The record on the platform's real file system: natively through the POSIX
// implementation, under Wine through the Windows one. Appended line by line,
// read back by the cleanup, which keeps the verified backup and the newer one.
TEST(VerifiedBackupsOnDiskTest, RecordAppendedAndReadByTheCleanup) {
  TestDirectory dir;
  const std::string root = dir.windowsRoot();
  const auto now = std::filesystem::file_time_type::clock::now();
  const std::vector<std::pair<std::string, int>> backups{
      {"old.bak", 96}, {"verified.bak", 72}, {"failed.bak", 60}, {"新.bak", 1}};
  for (const auto& [name, hours] : backups) {
    dir.write(root + name, name);
    std::filesystem::last_write_time(dir.local(root + name), now - std::chrono::hours(hours));
  }
  SystemClock clock;
  const LocalDateTime at = At(2026, 3, 12, 2, 0, 7);

  ASSERT_TRUE(RecordVerified(dir.files(), root, "verified.bak", 1, at));
  ASSERT_TRUE(RecordVerified(dir.files(), root, "新.bak", 2, at));

  std::ifstream in(dir.local(root + "Bakwyn校验记录.txt"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "verified.bak\t1\t12\t2026-03-12 02:00:07\n新.bak\t2\t7\t2026-03-12 02:00:07\n");
  dir.write(root + "新.bak", "grown since it was verified");
  std::filesystem::last_write_time(dir.local(root + "新.bak"), now - std::chrono::hours(1));

  EXPECT_EQ(ExpiredBackups(dir.files(), root, 2, clock.now(), true), std::vector<std::string>{root + "old.bak"});
  const std::optional<VerifiedBackup> newest = NewestVerified(dir.files(), root, clock.now());
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(newest->path, root + "verified.bak");
  EXPECT_EQ(newest->position, 1);
}

}  // namespace
}  // namespace bakwyn
