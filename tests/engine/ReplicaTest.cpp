// The second copy of every backup: one pass through the in-memory file system
// (copies, faults, retention), and the worker that runs passes off the
// caller's thread.
#include "engine/Replica.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/BackupEngine.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::FakeSession;
using testing::FromMs;
using testing::LogLines;
using testing::MemoryFiles;
using testing::ToMs;

const std::string kBak = "D:\\数据库自动备份目录\\";
// The second folder, and this computer's and database's folder in it, where the copies go.
const std::string kSecond = "\\\\nas\\备份\\副本\\";
const std::string kCopy = kSecond + "OFFICE1\\shop\\";
const LocalDateTime kNow = At(2026, 12, 10, 2, 0, 40);
const std::string kNewName = "2026年12月10日02时00分.bak";
const std::string kNew = kBak + kNewName;
constexpr std::size_t kChunk = kReplicaChunkSize;

std::string Copied(const std::string& name) { return "备份已复制到: " + kCopy + name; }
std::string Failed(const std::string& source, const std::string& reason) {
  return "备份复制失败: " + source + " -> " + kCopy + " (" + reason + ")";
}
ReplicaRequest Request(const std::string& newBackup = kNew, bool cleanup = true, int days = 3) {
  return {kBak, kSecond, newBackup, cleanup, days, "OFFICE1", "shop"};
}
LocalDateTime DaysAgo(double days) { return FromMs(ToMs(kNow) - static_cast<std::int64_t>(days * 86400000.0)); }

// Bytes that differ from chunk to chunk, so that a piece written twice or
// skipped changes the file.
std::string Content(std::size_t size, unsigned seed = 1) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + i / kChunk) & 0xFF);
  return out;
}

std::vector<std::string> Names(MemoryFiles& files, const std::string& dir) {
  std::vector<std::string> names = files.listDirectory(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Crc32cTest, KnownValuesAndPieceByPiece) {
  // The check value of the CRC catalogue and the iSCSI test vectors.
  std::string ascending, descending;
  for (int i = 0; i < 32; ++i) {
    ascending += static_cast<char>(i);
    descending += static_cast<char>(31 - i);
  }
  struct Row {
    const char* name;
    std::string data;
    std::uint32_t crc;
  } const rows[] = {
      {"empty", "", 0x00000000u},
      {"check", "123456789", 0xE3069283u},
      {"zeros", std::string(32, '\0'), 0x8A9136AAu},
      {"ones", std::string(32, '\xFF'), 0x62A8AB43u},
      {"ascending", ascending, 0x46DD794Eu},
      {"descending", descending, 0x113FDB5Cu},
  };
  for (const Row& row : rows) EXPECT_EQ(Crc32c(0, row.data.data(), row.data.size()), row.crc) << row.name;

  // Split at every point, including inside the eight-byte steps.
  const std::string text = Content(100, 3);
  const std::uint32_t whole = Crc32c(0, text.data(), text.size());
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(Crc32c(Crc32c(0, text.data(), cut), text.data() + cut, text.size() - cut), whole) << cut;
  }
}

struct CopyRow {
  const char* name;
  std::string fileName;
  std::size_t size;
};
void PrintTo(const CopyRow& row, std::ostream* os) { *os << row.name; }

class ReplicaCopyTest : public ::testing::TestWithParam<CopyRow> {};

TEST_P(ReplicaCopyTest, CopyIsTheSameBytesWithTheBackupsDateAndNoTemporaryFileIsLeft) {
  const CopyRow& row = GetParam();
  MemoryFiles files;
  const std::string source = kBak + row.fileName;
  const std::string content = Content(row.size);
  files.add(source, content, At(2026, 12, 10, 2, 0, 31, 250));

  const ReplicaReport report = ReplicateBackups(files, Request(source), kNow);

  EXPECT_EQ(report.lines, std::vector<std::string>{Copied(row.fileName)});
  EXPECT_TRUE(report.complete);
  ASSERT_TRUE(files.files.count(kCopy + row.fileName));
  const MemoryFiles::File& copy = files.files.at(kCopy + row.fileName);
  EXPECT_TRUE(copy.content == content) << "sizes " << copy.content.size() << " and " << content.size();
  EXPECT_EQ(copy.modified, At(2026, 12, 10, 2, 0, 31, 250));
  EXPECT_EQ(Names(files, kCopy), std::vector<std::string>{row.fileName});
  EXPECT_EQ(files.files.at(source).content, content) << "the backup itself is untouched";
  EXPECT_LE(files.largestRead, kChunk);
  EXPECT_LE(files.largestWrite, kChunk);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReplicaCopyTest,
    ::testing::Values(CopyRow{"Empty", kNewName, 0}, CopyRow{"OneByte", kNewName, 1},
                      CopyRow{"OneLessThanAChunk", kNewName, kChunk - 1}, CopyRow{"OneChunk", kNewName, kChunk},
                      CopyRow{"OneMoreThanAChunk", kNewName, kChunk + 1},
                      CopyRow{"SeveralChunksAndABit", kNewName, 3 * kChunk + 7},
                      CopyRow{"QuotesBracketsSemicolonsAndNonBmp", "O'Neil;[x] {数据} \xF0\x9D\x84\x9E.BAK", 4096},
                      CopyRow{"VeryLongName", std::string(200, 'n') + ".bak", 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplicaTest, NothingButTheVerifiedCopyIsEverUnderTheBackupsName) {
  MemoryFiles files;
  const std::string content = Content(2 * kChunk + kChunk / 2);
  files.add(kNew, content, kNow);
  const std::string final = kCopy + kNewName;
  const std::string temp = final + std::string(kReplicaTempSuffix);
  int checks = 0;
  files.afterEachOperation = [&] {
    ++checks;
    if (files.files.count(final)) {
      EXPECT_TRUE(files.files.at(final).content == content) << "after " << files.trace.back();
    }
  };

  ASSERT_EQ(ReplicateBackups(files, Request(), kNow).lines, std::vector<std::string>{Copied(kNewName)});
  EXPECT_GT(checks, 3);

  // Written only under the temporary name, closed, read back past the
  // system's cache, then renamed.
  std::vector<std::string> onCopy;
  for (const std::string& op : files.trace) {
    if (op.find(kCopy + kNewName) != std::string::npos) onCopy.push_back(op);
  }
  const std::string w = "write " + temp + " " + std::to_string(kChunk);
  const std::string half = "write " + temp + " " + std::to_string(kChunk / 2);
  EXPECT_EQ(onCopy, (std::vector<std::string>{"create " + temp, w, w, half, "finish " + temp, "uncached " + temp,
                                              "rename " + temp + " -> " + final}));
}

struct FailureRow {
  const char* name;
  std::function<void(MemoryFiles&)> fault;
  std::function<std::string(const std::string& content)> reason;
};
void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class ReplicaFailureTest : public ::testing::TestWithParam<FailureRow> {};

TEST_P(ReplicaFailureTest, FailureIsLoggedWithItsCauseAndLeavesNothingBehind) {
  const FailureRow& row = GetParam();
  MemoryFiles files;
  const std::string content = Content(2 * kChunk + 100);
  files.add(kNew, content, kNow);
  // An old copy of an earlier backup: the only copy, so the newest, kept whatever fails.
  files.add(kCopy + "2026年12月01日02时00分.bak", "old", DaysAgo(9));
  row.fault(files);

  const ReplicaReport report = ReplicateBackups(files, Request(), kNow);

  EXPECT_EQ(report.lines, std::vector<std::string>{Failed(kNew, row.reason(content))});
  EXPECT_FALSE(report.complete);
  EXPECT_FALSE(files.files.count(kCopy + kNewName)) << "nothing under the backup's name";
  EXPECT_FALSE(files.files.count(kCopy + kNewName + std::string(kReplicaTempSuffix))) << "the temporary file is gone";
  EXPECT_TRUE(files.files.count(kCopy + "2026年12月01日02时00分.bak"));
  EXPECT_EQ(files.files.at(kNew).content, content);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReplicaFailureTest,
    ::testing::Values(
        FailureRow{"DiskFullMidCopy", [](MemoryFiles& f) { f.spaceLeft = kChunk + 10; },
                   [](const std::string&) { return std::string(testing::kDiskFull); }},
        FailureRow{"DamagedOnTheWay",
                   [](MemoryFiles& f) { f.corruptAt = kChunk + 5; },
                   [](const std::string& content) {
                     std::string damaged = content;
                     damaged[kChunk + 5] = static_cast<char>(damaged[kChunk + 5] ^ 0x20);
                     char text[80];
                     std::snprintf(text, sizeof text, "复制件校验和不符: 原文件 CRC-32C %08x, 复制件 %08x",
                                   static_cast<unsigned>(Crc32c(0, content.data(), content.size())),
                                   static_cast<unsigned>(Crc32c(0, damaged.data(), damaged.size())));
                     return std::string(text);
                   }},
        FailureRow{"BytesLostOnTheWay", [](MemoryFiles& f) { f.dropFrom = 100; },
                   [](const std::string& content) {
                     return "复制件大小不符: 原文件 " + std::to_string(content.size()) + " 字节, 复制件 100 字节";
                   }},
        FailureRow{"ShareUnreachable",
                   [](MemoryFiles& f) { f.unreachable[kCopy] = "The network path was not found."; },
                   [](const std::string&) { return std::string("The network path was not found."); }},
        FailureRow{"FolderReadOnly", [](MemoryFiles& f) { f.readOnly.insert(kCopy); },
                   [](const std::string&) { return std::string(testing::kAccessDenied); }},
        FailureRow{"RenameRefused", [](MemoryFiles& f) { f.renameRefused = testing::kAccessDenied; },
                   [](const std::string&) { return std::string(testing::kAccessDenied); }},
        FailureRow{"BackupHeldByAnotherProgram", [](MemoryFiles& f) { f.files.at(kNew).locked = true; },
                   [](const std::string&) { return std::string(testing::kInUse); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplicaTest, CopyInUseUnderTheBackupsNameIsLeftAsItWas) {
  MemoryFiles files;
  files.add(kNew, Content(10), kNow);
  files.add(kCopy + kNewName, "older and shorter", DaysAgo(0.01));
  files.files.at(kCopy + kNewName).locked = true;
  EXPECT_EQ(ReplicateBackups(files, Request(), kNow).lines,
            std::vector<std::string>{Failed(kNew, testing::kAccessDenied)});
  EXPECT_EQ(files.files.at(kCopy + kNewName).content, "older and shorter");
  EXPECT_FALSE(files.files.count(kCopy + kNewName + std::string(kReplicaTempSuffix)));
}

TEST(ReplicaTest, BackupCountsAsDoneWhenItsCopyFails) {
  // As the program wires them: the copy follows a successful backup and tells
  // its own outcome, which never changes the backup's.
  MemoryFiles files;
  files.folders.insert(kBak);
  files.unreachable[kCopy] = "The network path was not found.";
  BackupSettings settings;
  settings.backupDir = kBak;
  settings.database = "shop";
  FakeClock clock(At(2026, 12, 10, 2, 0));
  FakeSession session;
  session.onExecute = [&](const std::string&) { files.add(kNew, "backup", At(2026, 12, 10, 2, 0, 30)); };
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());
  std::vector<BackupOutcome> outcomes;
  engine.onOutcome = [&](const BackupOutcome& outcome) {
    outcomes.push_back(outcome);
    if (!outcome.succeeded) return;
    for (const std::string& line : ReplicateBackups(files, Request(outcome.path), kNow).lines) log.lines.push_back(line);
  };

  engine.BakExecute();

  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(outcomes[0].succeeded);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"开始备份数据库...", "数据库备份成功!  [文件名:" + kNew + "]",
                                                 Failed(kNew, "The network path was not found.")}));
}

TEST(ReplicaTest, FolderBackCopiesTheMissedBackupTooNewestFirst) {
  MemoryFiles files;
  const std::string first = "2026年12月09日02时00分.bak";
  files.add(kBak + first, Content(300, 1), DaysAgo(1));
  files.unreachable[kCopy] = "The network path was not found.";
  EXPECT_EQ(ReplicateBackups(files, Request(kBak + first), DaysAgo(1)).lines,
            std::vector<std::string>{Failed(kBak + first, "The network path was not found.")});

  files.unreachable.clear();
  files.add(kNew, Content(200, 2), kNow);
  const ReplicaReport report = ReplicateBackups(files, Request(), kNow);
  EXPECT_EQ(report.lines, (std::vector<std::string>{Copied(kNewName), Copied(first)}));
  EXPECT_TRUE(report.complete);
  EXPECT_EQ(files.files.at(kCopy + first).content, Content(300, 1));

  // Nothing is copied twice.
  files.trace.clear();
  EXPECT_TRUE(ReplicateBackups(files, Request(), kNow).lines.empty());
  for (const std::string& op : files.trace) EXPECT_EQ(op.rfind("create ", 0), std::string::npos) << op;
}

TEST(ReplicaTest, CopiesWhatTheBackupFoldersCleanupKeepsAndNothingElse) {
  struct Row {
    std::string name;
    LocalDateTime modified;
    bool copied;  // with cleanup on, 3 days
  } const rows[] = {
      {kNewName, kNow, true},
      {"2026年12月08日02时00分.bak", DaysAgo(2), true},
      {"2026年12月07日02时03分.bak", DaysAgo(3), false},  // three days old: deleted there, not copied here
      {"2026年11月01日02时00分.bak", DaysAgo(39), false},
      {"2027年01月01日02时00分.bak", At(2027, 1, 1, 2, 0), true},  // dated in the future: never expired
      {"notes.txt", DaysAgo(1), false},
      {"2026年12月09日02时00分.bak.old", DaysAgo(1), false},
  };
  for (const bool cleanup : {true, false}) {
    MemoryFiles files;
    for (const Row& row : rows) files.add(kBak + row.name, "x" + row.name, row.modified);
    files.add(kBak + "folder.bak", "", DaysAgo(1));
    files.files.at(kBak + "folder.bak").directory = true;
    files.add(kBak + "in use.bak", "being written", DaysAgo(1));
    files.files.at(kBak + "in use.bak").locked = true;

    const ReplicaReport report = ReplicateBackups(files, Request(kNew, cleanup), kNow);

    std::set<std::string> expected;
    for (const Row& row : rows) {
      if (HasBackupExtension(row.name) && (row.copied || !cleanup)) expected.insert(row.name);
    }
    const std::vector<std::string> names = Names(files, kCopy);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected) << "cleanup " << cleanup;
    // The new backup first, then the others newest first.
    ASSERT_FALSE(report.lines.empty());
    EXPECT_EQ(report.lines.front(), Copied(kNewName));
    if (cleanup) {
      EXPECT_EQ(report.lines, (std::vector<std::string>{Copied(kNewName), Copied("2027年01月01日02时00分.bak"),
                                                        Copied("2026年12月08日02时00分.bak")}));
    }
  }
}

TEST(ReplicaTest, SecondFolderKeepsItsNewestCopyAndLosesTheExpiredOnes) {
  MemoryFiles files;
  files.add(kNew, "new", kNow);
  struct Row {
    std::string name;
    LocalDateTime modified;
    bool kept;
  } const rows[] = {
      {"2026年12月08日02时00分.bak", DaysAgo(2), true},
      {"2026年12月07日02时03分.bak", DaysAgo(3), false},
      {"2026年12月07日02时04分.bak", FromMs(ToMs(DaysAgo(3)) + 3 * 60 * 1000 - 1), false},  // within the margin
      {"2026年12月07日02时05分.bak", FromMs(ToMs(DaysAgo(3)) + 3 * 60 * 1000 + 1), true},
      {"2026年11月01日02时00分.BAK", DaysAgo(39), false},
      {"2027年01月01日02时00分.bak", At(2027, 1, 1, 2, 0), true},
      {"notes.txt", DaysAgo(39), true},
      {"old.bak.zip", DaysAgo(39), true},
  };
  for (const Row& row : rows) files.add(kCopy + row.name, "copy", row.modified);
  files.add(kCopy + "folder.bak", "", DaysAgo(39));
  files.files.at(kCopy + "folder.bak").directory = true;
  files.add(kCopy + "in use.bak", "open elsewhere", DaysAgo(39));
  files.files.at(kCopy + "in use.bak").locked = true;

  ASSERT_EQ(ReplicateBackups(files, Request(), kNow).lines, std::vector<std::string>{Copied(kNewName)});
  for (const Row& row : rows) EXPECT_EQ(files.files.count(kCopy + row.name), row.kept ? 1u : 0u) << row.name;
  EXPECT_TRUE(files.files.count(kCopy + "folder.bak"));
  EXPECT_TRUE(files.files.count(kCopy + "in use.bak"));
  EXPECT_TRUE(files.files.count(kCopy + kNewName));
}

// This program's log backups are copied beside the full backups, as the
// backup folder's cleanup keeps them, and the second folder loses them by the
// same rule: once expired and older than its oldest full backup kept. Another
// program's ".trn" files are neither copied nor deleted.
TEST(ReplicaTest, LogBackupsAreCopiedAndCleanedLikeTheFullBackups) {
  MemoryFiles files;
  const std::string newLog = "2026年12月10日02时00分.trn";
  const std::string bak8 = "2026年12月08日02时00分.bak", trn8 = "2026年12月08日02时00分.trn";
  const std::string bak1 = "2026年12月01日02时00分.bak", trn1 = "2026年12月01日02时00分.trn";
  files.add(kNew, "new full", At(2026, 12, 10, 2, 0, 20));
  files.add(kBak + newLog, "new log", At(2026, 12, 10, 2, 0, 35));
  files.add(kBak + bak8, "full 8", At(2026, 12, 8, 2, 2));
  files.add(kBak + trn8, "log 8", At(2026, 12, 8, 2, 3));
  files.add(kBak + bak1, "full 1", At(2026, 12, 1, 2, 2));  // expired there: not copied
  files.add(kBak + trn1, "log 1", At(2026, 12, 1, 2, 3));   // older than every full backup kept there
  files.add(kBak + "shop_log.trn", "another program's", At(2026, 12, 9, 2, 0));
  // In the second folder from earlier passes.
  files.add(kCopy + "2026年12月07日02时00分.bak", "copy 7", At(2026, 12, 7, 2, 2));
  files.add(kCopy + "2026年12月07日02时00分.trn", "copy log 7", At(2026, 12, 7, 2, 3));
  files.add(kCopy + "2026年12月09日02时00分.trn", "copy log 9", At(2026, 12, 9, 2, 3));
  files.add(kCopy + "2026年11月01日02时00分.trn", "copy log of a backup gone", At(2026, 11, 1, 2, 3));
  files.add(kCopy + "shop_log.trn", "another program's copy", At(2026, 11, 1, 2, 3));

  const ReplicaReport report = ReplicateBackups(files, Request(), kNow);

  EXPECT_EQ(report.lines, (std::vector<std::string>{Copied(kNewName), Copied(newLog), Copied(trn8), Copied(bak8)}));
  EXPECT_TRUE(report.complete);
  EXPECT_EQ(files.files.at(kCopy + newLog).content, "new log");
  EXPECT_EQ(files.files.at(kCopy + newLog).modified, At(2026, 12, 10, 2, 0, 35));
  // The oldest full copy kept is that of the 8th: the older log copies go,
  // the 9th's (not expired) stays.
  EXPECT_EQ(Names(files, kCopy), (std::vector<std::string>{"2026年12月08日02时00分.bak", "2026年12月08日02时00分.trn",
                                                             "2026年12月09日02时00分.trn", kNewName, newLog,
                                                             "shop_log.trn"}));
  EXPECT_TRUE(files.files.count(kBak + trn1)) << "the backup folder is the engine's to clean";
}

// With verification on, a log backup is copied once the record proves it.
TEST(ReplicaTest, OnlyVerifiedLogBackupsAreCopiedWhenVerifying) {
  MemoryFiles files;
  const std::string newLog = "2026年12月10日02时00分.trn", oldLog = "2026年12月09日02时00分.trn";
  files.add(kNew, "full", At(2026, 12, 10, 2, 0, 20));
  files.add(kBak + newLog, "log", At(2026, 12, 10, 2, 0, 35));
  files.add(kBak + oldLog, "damaged log", At(2026, 12, 9, 2, 0, 35));
  files.add(kBak + "Bakwyn校验记录.txt",
            kNewName + "\t1\t4\t2026-12-10 02:00:30\n" + newLog + "\t1\t3\t2026-12-10 02:00:40\n", kNow);
  ReplicaRequest request = Request();
  request.verifiedOnly = true;

  const ReplicaReport report = ReplicateBackups(files, request, kNow);

  EXPECT_EQ(report.lines, (std::vector<std::string>{Copied(kNewName), Copied(newLog)}));
  EXPECT_FALSE(files.files.count(kCopy + oldLog));
}

TEST(ReplicaTest, NewestCopyIsKeptWhateverItsAge) {
  // The backups stopped long ago; the only backup left is 40 days old and
  // already copied: the pass copies nothing and keeps the newest copy. A copy
  // dated in the future (the clock was set back) is not the newest one.
  MemoryFiles files;
  files.add(kBak + "a.bak", "a", DaysAgo(40));
  files.add(kCopy + "a.bak", "a", DaysAgo(40));
  files.add(kCopy + "b.bak", "b", DaysAgo(41));
  files.add(kCopy + "future.bak", "f", At(2027, 6, 1, 2, 0));
  EXPECT_TRUE(ReplicateBackups(files, Request(""), kNow).lines.empty());
  EXPECT_EQ(Names(files, kCopy), (std::vector<std::string>{"a.bak", "future.bak"}));
}

TEST(ReplicaTest, CopyOfTheSameSizeIsNotCopiedAgainButOneOfAnotherSizeIs) {
  MemoryFiles files;
  files.add(kNew, "backup set 1, backup set 2", kNow);  // a second backup in the same minute appended to it
  files.add(kCopy + kNewName, "backup set 1", kNow);
  files.add(kBak + "same.bak", "12345", DaysAgo(1));
  files.add(kCopy + "same.bak", "abcde", DaysAgo(1));  // same size: taken as copied
  EXPECT_EQ(ReplicateBackups(files, Request(), kNow).lines, std::vector<std::string>{Copied(kNewName)});
  EXPECT_EQ(files.files.at(kCopy + kNewName).content, "backup set 1, backup set 2");
  EXPECT_EQ(files.files.at(kCopy + "same.bak").content, "abcde");
}

TEST(ReplicaTest, TemporaryFileOfACutOffCopyIsRemovedByTheNextPass) {
  MemoryFiles files;
  files.add(kNew, Content(5000), kNow);
  const std::string left = kCopy + "2026年12月09日02时00分.bak" + std::string(kReplicaTempSuffix);
  const std::string busy = kCopy + "2026年12月09日08时00分.bak" + std::string(kReplicaTempSuffix);
  files.add(left, "half a copy", DaysAgo(1));
  files.add(busy, "another program is writing this", kNow);
  files.files.at(busy).locked = true;
  files.add(kCopy + "x.bakwyn-copy.bak", "a backup with an odd name", DaysAgo(1));

  EXPECT_EQ(ReplicateBackups(files, Request(), kNow).lines, std::vector<std::string>{Copied(kNewName)});
  EXPECT_FALSE(files.files.count(left));
  EXPECT_TRUE(files.files.count(busy)) << "in use: left to its writer";
  EXPECT_TRUE(files.files.count(kCopy + "x.bakwyn-copy.bak"));
}

// A share that several computers copy to: each computer's copies of each
// database in a folder of their own, and each one's cleanup only there. Copies
// that the previous version left at the top of the second folder stay.
TEST(ReplicaTest, ComputersSharingASecondFolderNeverTouchEachOthersCopies) {
  MemoryFiles files;
  const std::string old = "2026年11月01日02时00分.bak";
  files.add(kSecond + old, "copied to the top by the previous version", DaysAgo(39));
  files.add(kSecond + "another program's.bak", "not ours", DaysAgo(50));
  files.add(kSecond + "OFFICE2\\shop\\" + kNewName, "the other computer's copy, same minute", kNow);
  files.add(kSecond + "OFFICE2\\shop\\2026年12月01日02时00分.bak", "the other computer's old copy", DaysAgo(9));
  files.add(kCopy + "2026年12月01日02时00分.bak", "our old copy", DaysAgo(9));
  files.add(kNew, "our backup", kNow);

  const ReplicaReport report = ReplicateBackups(files, Request(), kNow);

  EXPECT_EQ(report.lines, std::vector<std::string>{Copied(kNewName)});
  EXPECT_EQ(files.files.at(kCopy + kNewName).content, "our backup");
  EXPECT_FALSE(files.files.count(kCopy + "2026年12月01日02时00分.bak")) << "our own expired copy goes";
  EXPECT_EQ(files.files.at(kSecond + "OFFICE2\\shop\\" + kNewName).content, "the other computer's copy, same minute");
  EXPECT_TRUE(files.files.count(kSecond + "OFFICE2\\shop\\2026年12月01日02时00分.bak"));
  EXPECT_TRUE(files.files.count(kSecond + old));
  EXPECT_TRUE(files.files.count(kSecond + "another program's.bak"));
  for (const std::string& op : files.trace) {
    if (op.rfind("remove ", 0) == 0 || op.rfind("create ", 0) == 0 || op.rfind("rename ", 0) == 0) {
      EXPECT_EQ(op.find(kSecond), op.find(kCopy)) << "outside this computer's folder: " << op;
    }
  }
}

TEST(ReplicaTest, FolderNamesNeverLeaveTheSecondFolder) {
  const struct {
    const char* name;
    const char* folder;
  } rows[] = {
      {"shop", "shop"},
      {"商店 2026", "商店 2026"},
      {"", "_"},
      {".", "_"},
      {"..", "__"},
      {"..\\..\\Windows", ".._.._Windows"},
      {"a/b", "a_b"},
      {"C:x", "C_x"},
      {"shop.", "shop_"},
      {"shop ", "shop_"},
      {"x*?\"<>|", "x______"},
      {"tab\tand\nline", "tab_and_line"},
      {"CON", "_CON"},
      {"con.bak", "_con.bak"},
      {"LPT1", "_LPT1"},
      {"COM0", "COM0"},
      {"com\xC2\xB9", "_com\xC2\xB9"},  // COM with a superscript one
      {"CONIN$", "_CONIN$"},
      {"nul .txt", "_nul .txt"},
      {"nul ", "nul_"},
      {"CONSOLE", "CONSOLE"},
      {"😀", "😀"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(FolderName(row.name), row.folder);
    ReplicaRequest request = Request();
    request.database = row.name;
    std::string folder = ReplicaFolder(request);
    EXPECT_EQ(folder, kSecond + "OFFICE1\\" + row.folder + "\\");
    // One folder below the computer's: no separator but the two added.
    EXPECT_EQ(std::count(folder.begin() + static_cast<std::ptrdiff_t>(kSecond.size()), folder.end(), '\\'), 2);
    // The computer's name is made one folder name alike.
    request.computer = row.name;
    folder = ReplicaFolder(request);
    EXPECT_EQ(folder, kSecond + row.folder + "\\" + row.folder + "\\");
    EXPECT_EQ(std::count(folder.begin() + static_cast<std::ptrdiff_t>(kSecond.size()), folder.end(), '\\'), 2);
  }
}

// One backup that cannot be copied never keeps the others from their copies,
// nor the second folder from its cleanup.
TEST(ReplicaTest, ABackupThatFailsIsPassedOverAndTheRestAndTheCleanupGoOn) {
  MemoryFiles files;
  const std::string held = "2026年12月09日02时00分.bak", older = "2026年12月08日02时00分.bak";
  files.add(kNew, Content(100, 1), kNow);
  files.add(kBak + held, Content(100, 2), DaysAgo(1));
  files.files.at(kBak + held).locked = true;
  files.add(kBak + older, Content(100, 3), DaysAgo(2));
  files.add(kCopy + "2026年12月01日02时00分.bak", "expired copy", DaysAgo(9));

  ReplicaReport report = ReplicateBackups(files, Request(), kNow);
  EXPECT_EQ(report.lines, (std::vector<std::string>{Copied(kNewName), Copied(older)}))
      << "a backup the listing cannot open is not among those due";

  // The new backup itself is held: told, passed over, and the rest go on.
  MemoryFiles again;
  again.add(kNew, Content(100, 1), kNow);
  again.files.at(kNew).locked = true;
  again.add(kBak + older, Content(100, 3), DaysAgo(2));
  again.add(kCopy + "2026年12月01日02时00分.bak", "expired copy", DaysAgo(9));
  report = ReplicateBackups(again, Request(), kNow);
  EXPECT_EQ(report.lines, (std::vector<std::string>{Failed(kNew, testing::kInUse), Copied(older)}));
  EXPECT_FALSE(report.complete);
  EXPECT_FALSE(again.files.count(kCopy + "2026年12月01日02时00分.bak")) << "the cleanup ran";
  EXPECT_TRUE(again.files.count(kCopy + older));
}

// Nothing more can be written there (a full disk): one line, the rest waits
// for the next pass, and the cleanup still frees what it may.
TEST(ReplicaTest, AFolderThatTakesNoCopyEndsTheCopiesButNotTheCleanup) {
  MemoryFiles files;
  files.add(kNew, Content(100, 1), kNow);
  files.add(kBak + "2026年12月09日02时00分.bak", Content(100, 2), DaysAgo(1));
  files.add(kCopy + "2026年12月01日02时00分.bak", "expired copy", DaysAgo(9));
  files.add(kCopy + "2026年12月02日02时00分.bak", "newest copy", DaysAgo(8));
  files.spaceLeft = 50;
  const ReplicaReport report = ReplicateBackups(files, Request(), kNow);
  EXPECT_EQ(report.lines, std::vector<std::string>{Failed(kNew, testing::kDiskFull)});
  EXPECT_FALSE(files.files.count(kCopy + "2026年12月01日02时00分.bak"));
  EXPECT_TRUE(files.files.count(kCopy + "2026年12月02日02时00分.bak")) << "the newest copy is kept";
}

// A backup written to while it is copied (another backup of the same minute
// appends to its file) is copied again, so that the copy called verified is
// the file as it now is, never a mix or an earlier state.
TEST(ReplicaTest, ABackupThatChangesDuringItsCopyIsCopiedAgainFromItsStart) {
  const struct {
    const char* name;
    int changes;  // how many copies see the backup change
    std::function<void(MemoryFiles::File&)> change;
  } rows[] = {
      {"appended to after its first read", 1, [](MemoryFiles::File& f) { f.content += "backup set 2"; }},
      {"rewritten in place after its first read", 1,
       [](MemoryFiles::File& f) {
         f.content[0] = static_cast<char>(f.content[0] ^ 1);
         f.modified = kNow;
       }},
      {"appended to during two copies", 2, [](MemoryFiles::File& f) { f.content += "+"; }},
      {"changing all the time", kReplicaCopyAttempts, [](MemoryFiles::File& f) { f.content += "+"; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MemoryFiles files;
    files.add(kNew, Content(2 * kChunk + 7), At(2026, 12, 10, 2, 0, 30));
    const std::string temp = kCopy + kNewName + std::string(kReplicaTempSuffix);
    int changed = 0;
    bool inCopy = false;
    files.afterEachOperation = [&] {
      // After the first piece of each copy is written, until the changes are spent.
      const std::string& last = files.trace.back();
      if (last.rfind("create " + temp, 0) == 0) inCopy = true;
      if (inCopy && last.rfind("write " + temp, 0) == 0 && changed < row.changes) {
        inCopy = false;
        ++changed;
        row.change(files.files.at(kNew));
      }
    };
    const ReplicaReport report = ReplicateBackups(files, Request(), kNow);
    EXPECT_EQ(changed, row.changes);
    EXPECT_FALSE(files.files.count(temp));
    if (row.changes < kReplicaCopyAttempts) {
      EXPECT_EQ(report.lines, std::vector<std::string>{Copied(kNewName)});
      ASSERT_TRUE(files.files.count(kCopy + kNewName));
      EXPECT_EQ(files.files.at(kCopy + kNewName).content, files.files.at(kNew).content) << "the file as it now is";
    } else {
      ASSERT_EQ(report.lines.size(), 1u);
      EXPECT_EQ(report.lines[0].rfind("备份复制失败: " + kNew + " -> " + kCopy + " (原文件在复制时一直有改动,复制了 3 次: ", 0), 0u)
          << report.lines[0];
      EXPECT_FALSE(files.files.count(kCopy + kNewName)) << "nothing unverified under the backup's name";
    }
  }
}

TEST(ReplicaTest, BackupFolderItselfIsRefusedAsTheSecondFolder) {
  for (const std::string& same : {kBak, std::string("d:\\数据库自动备份目录\\"), std::string("D:/数据库自动备份目录"),
                                  std::string("D:\\数据库自动备份目录\\\\")}) {
    MemoryFiles files;
    files.add(kNew, "backup", kNow);
    ReplicaRequest request = Request();
    request.replicaDir = same;
    const ReplicaReport report = ReplicateBackups(files, request, kNow);
    EXPECT_EQ(report.lines,
              std::vector<std::string>{"备份复制失败: " + kNew + " -> " + same + " (复制目录就是备份目录)"})
        << same;
    EXPECT_TRUE(files.trace.empty()) << same << ": " << files.trace.front();
  }
  MemoryFiles files;
  ReplicaRequest none = Request();
  none.replicaDir.clear();
  EXPECT_TRUE(ReplicateBackups(files, none, kNow).complete) << "no second folder: nothing to do";
  EXPECT_TRUE(files.trace.empty());
}

TEST(ReplicaTest, LargeFilePassesThroughOneChunkSizedBuffer) {
  MemoryFiles files;
  constexpr std::uint64_t kSize = 50ull * 1024 * 1024 + 12345;
  files.add(kNew, "", kNow);
  files.files.at(kNew).generated = kSize;  // produced as it is read, never held whole

  ASSERT_EQ(ReplicateBackups(files, Request(), kNow).lines, std::vector<std::string>{Copied(kNewName)});

  const std::string& copy = files.files.at(kCopy + kNewName).content;
  ASSERT_EQ(copy.size(), kSize);
  std::uint64_t differences = 0;
  for (std::uint64_t i = 0; i < kSize; ++i) differences += copy[i] != testing::GeneratedByte(i);
  EXPECT_EQ(differences, 0u);
  EXPECT_EQ(files.largestRead, kChunk) << "every read asks for one chunk at most";
  EXPECT_EQ(files.largestWrite, kChunk);
  const auto writes = std::count_if(files.trace.begin(), files.trace.end(),
                                    [](const std::string& op) { return op.rfind("write ", 0) == 0; });
  EXPECT_EQ(writes, 51) << "50 whole chunks and the rest";
}

TEST(ReplicaTest, StopEndsThePassBetweenTwoChunksWithoutALine) {
  MemoryFiles files;
  files.add(kNew, Content(5 * kChunk), kNow);
  std::atomic<bool> stop{false};
  int writes = 0;
  files.afterEachOperation = [&] {
    if (files.trace.back().rfind("write ", 0) == 0 && ++writes == 2) stop = true;
  };
  const ReplicaReport report = ReplicateBackups(files, Request(), kNow, &stop);
  EXPECT_TRUE(report.lines.empty());
  EXPECT_FALSE(report.complete);
  EXPECT_EQ(writes, 2);
  EXPECT_EQ(Names(files, kCopy), std::vector<std::string>{});
}

}  // namespace
}  // namespace bakwyn
