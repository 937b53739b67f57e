// The history file: every line with its full date and whole, kept within its
// size bound by rotation, and a file of the program's own for the lines the
// shared one refuses. The faults (a write failing half-way, a file that cannot
// be renamed, no rights) come from the fake file system; the rest also runs in
// the real file system of the platform (natively through a mapped drive, under
// Wine as Windows).
#include "engine/History.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/EngineFakes.h"
#include "tests/engine/TestDirectory.h"

namespace bakwyn {
namespace {

using testing::TestDirectory;

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(History, AppendsDatedLinesIntoAFolderItCreates) {
  TestDirectory dir;
  History history(dir.files(), dir.windowsRoot() + "程序数据\\Bakwyn\\Bakwyn.log");
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 1, 0}, "开始备份数据库..."));
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 9, 0}, "数据库备份成功!  [文件名:T:\\b\\2026年12月10日02时00分.bak]"));
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "程序数据\\Bakwyn\\Bakwyn.log")),
            "2026-12-10 02:00:01 开始备份数据库...\r\n"
            "2026-12-10 02:00:09 数据库备份成功!  [文件名:T:\\b\\2026年12月10日02时00分.bak]\r\n");
}

TEST(History, RotationKeepsTheNewestLinesWithinTheBound) {
  TestDirectory dir;
  // Lines of 30 bytes ("2026-12-10 02:00:00 " + 8 + CR LF); 100 bytes hold three.
  History history(dir.files(), dir.windowsRoot() + "Bakwyn.log", {}, 100, 2);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, i, 0}, "line " + std::to_string(i) + "  "));
  const auto line = [](int i) { return "2026-12-10 02:00:0" + std::to_string(i) + " line " + std::to_string(i) + "  \r\n"; };
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.log")), line(9));
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.1.log")), line(6) + line(7) + line(8));
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.2.log")), line(3) + line(4) + line(5));
  EXPECT_FALSE(std::filesystem::exists(dir.local(dir.windowsRoot() + "Bakwyn.3.log"))) << "only two older files are kept";
  for (const char* name : {"Bakwyn.log", "Bakwyn.1.log", "Bakwyn.2.log"})
    EXPECT_LE(std::filesystem::file_size(dir.local(dir.windowsRoot() + name)), 100u) << name;
}

TEST(History, ALineThatCannotBeWrittenIsReportedAndTheNextOneTriesAgain) {
  testing::MemoryFiles files;
  History history(files, "C:\\ProgramData\\Bakwyn\\Bakwyn.log");
  files.failAppend = true;
  EXPECT_FALSE(history.append({2026, 12, 10, 2, 0, 0, 0}, "lost"));
  files.failAppend = false;
  // Without a file of its own to fall back on, the very next line tries again.
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 0, 1, 0}, "kept"));
  EXPECT_EQ(files.text("C:\\ProgramData\\Bakwyn\\Bakwyn.log"), "2026-12-10 02:00:01 kept\r\n");
  EXPECT_EQ(history.olderPath(2), "C:\\ProgramData\\Bakwyn\\Bakwyn.2.log");
}

const std::string kShared = "C:\\ProgramData\\Bakwyn\\Bakwyn.log";
const std::string kOwn = "C:\\Users\\林小姐\\AppData\\Local\\Bakwyn\\Bakwyn.log";

// A line must never be glued to a piece of another: every line of the file is
// whole, or at worst a piece of one on a line of its own.
const std::string kFirst = "2026-12-10 02:00:00 备份记录:\r\n";
const LocalDateTime kLostAt{2026, 12, 10, 2, 0, 5, 0};
const std::string kLost = "开始备份数据库...";  // "2026-12-10 02:00:05 开始备份数据库...\r\n", 46 bytes
const std::string kPiece = "2026-12-10 02:00:05 开";  // its first 23 bytes
const LocalDateTime kNextAt{2026, 12, 10, 2, 0, 9, 0};
const std::string kNextText = "数据库备份失败!";
const std::string kNext = "2026-12-10 02:00:09 数据库备份失败!\r\n";
// Lines of the other writer of the same file (the service, or the tray program).
const std::string kOthers = "2026-12-10 02:00:06 备份服务已停止\r\n";  // 43 bytes: with the piece, more than the lost line
const std::string kOthersShort = "2026-12-10 02:00:06 停止\r\n";  // 28 bytes: less than the lost line

struct WholeLineCase {
  const char* name;
  std::optional<std::string> before;  // the file as this run finds it; nothing: there is none
  // The run's first line fails after writing this many bytes of it; nothing:
  // the run's first line is the next one (a start after a crash).
  std::optional<std::size_t> failedLineWrites;
  std::function<void(std::string&)> meanwhile;  // what the other writer does before the next line
  bool cutFails = false;
  std::string after;  // the file once the next line is written
};
void PrintTo(const WholeLineCase& c, std::ostream* os) { *os << c.name; }

class WholeLines : public ::testing::TestWithParam<WholeLineCase> {};

TEST_P(WholeLines, TheNextLineIsNeverGluedToAPiece) {
  const WholeLineCase& c = GetParam();
  testing::MemoryFiles files;
  if (c.before) files.text(kShared) = *c.before;
  files.failTruncate = c.cutFails;
  History history(files, kShared);
  if (c.failedLineWrites) {
    files.appendWritesOnly = c.failedLineWrites;
    EXPECT_FALSE(history.append(kLostAt, kLost));
    files.appendWritesOnly.reset();
  }
  if (c.meanwhile) c.meanwhile(files.text(kShared));
  EXPECT_TRUE(history.append(kNextAt, kNextText));
  EXPECT_EQ(files.text(kShared), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WholeLines,
    ::testing::Values(
        WholeLineCase{"AHistoryLineWrittenInTwoAppendsWithAFailureBetweenThem", kFirst, 23, {}, false, kFirst + kNext},
        WholeLineCase{"APieceThatCannotBeCutOutEndsOnALineOfItsOwn", kFirst, 23, {}, true,
                      kFirst + kPiece + "\r\n" + kNext},
        WholeLineCase{"APieceThatStartedTheFile", std::nullopt, 23, {}, false, kNext},
        WholeLineCase{"AllButTheLastByte", kFirst, 45, {}, false, kFirst + kNext},
        WholeLineCase{"NothingOfTheLineWasWritten", kFirst, 0, {}, false, kFirst + kNext},
        // The other writer's lines are never cut, even when they could be
        // taken for what the failed line left.
        WholeLineCase{"AnotherWritersLineAfterThePiece", kFirst, 23, [](std::string& f) { f += kOthers; }, false,
                      kFirst + kPiece + kOthers + kNext},
        WholeLineCase{"AnotherWritersShortLineWhereThePieceCouldBe", kFirst, 0,
                      [](std::string& f) { f += kOthersShort; }, false, kFirst + kOthersShort + kNext},
        WholeLineCase{"TheOtherWriterRotatedTheFileMeanwhile", kFirst + kFirst, 23,
                      [](std::string& f) { f = kOthersShort; }, false, kOthersShort + kNext},
        // A crash or a power cut during a write of an earlier run.
        WholeLineCase{"AStartAfterACrashInTheMiddleOfALine", kFirst + kPiece, std::nullopt, {}, false,
                      kFirst + kPiece + "\r\n" + kNext},
        WholeLineCase{"AStartAfterAWholeLine", kFirst, std::nullopt, {}, false, kFirst + kNext},
        WholeLineCase{"AStartWithAnEmptyFile", "", std::nullopt, {}, false, kNext}),
    [](const ::testing::TestParamInfo<WholeLineCase>& info) { return std::string(info.param.name); });

TEST(History, APieceIsCutOutOnlyOnceAndAfterwardsLinesAreWrittenPlainly) {
  testing::MemoryFiles files;
  files.text(kShared) = kFirst;
  History history(files, kShared);
  files.appendWritesOnly = 23;
  EXPECT_FALSE(history.append(kLostAt, kLost));
  files.appendWritesOnly.reset();
  ASSERT_TRUE(history.append(kNextAt, kNextText));
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 10, 0}, "x"));
  EXPECT_EQ(files.text(kShared), kFirst + kNext + "2026-12-10 02:00:10 x\r\n");
  EXPECT_EQ(files.done("truncate"), (std::vector<std::string>{kShared + " " + std::to_string(kFirst.size())}));
}

// Rotation when a file cannot move. Lines of 34 bytes, 110 bytes a file, three
// older files kept.
const std::string kBase = "C:\\ProgramData\\Bakwyn\\Bakwyn";
const std::string kCurrent = kBase + ".log";
const std::string kMoving = kBase + ".rotating.log";
std::string Older(int n) { return kBase + "." + std::to_string(n) + ".log"; }
std::string Line(int hour, int minute, int second) {
  char text[40];
  std::snprintf(text, sizeof text, "2026-12-10 %02d:%02d:%02d 一行文字\r\n", hour, minute, second);
  return text;
}
const std::string kFull = Line(1, 0, 0) + Line(1, 0, 1) + Line(1, 0, 2);  // 102 bytes: the next line rotates
const std::string kLine = Line(2, 0, 0);

using Files = std::map<std::string, std::string>;

struct RotationCase {
  const char* name;
  Files before;
  std::set<std::string> held;  // open in another program: they cannot be renamed
  Files after;
};
void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }

class Rotation : public ::testing::TestWithParam<RotationCase> {};

TEST_P(Rotation, NoFileIsLostAndTheLineIsKept) {
  const RotationCase& c = GetParam();
  testing::MemoryFiles files;
  files.put(c.before);
  files.held = c.held;
  History history(files, kCurrent, {}, 110, 3);
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 0, 0, 0}, "一行文字"));
  EXPECT_EQ(files.contents(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rotation,
    ::testing::Values(
        RotationCase{"EveryFileMoves",
                     {{kCurrent, kFull}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}, {Older(3), "三\r\n"}},
                     {},
                     {{kCurrent, kLine}, {Older(1), kFull}, {Older(2), "一\r\n"}, {Older(3), "二\r\n"}}},
        // The older files stay where they are and the line goes on into the current file.
        RotationCase{"TheCurrentFileCannotBeRenamed",
                     {{kCurrent, kFull}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}, {Older(3), "三\r\n"}},
                     {kCurrent},
                     {{kCurrent, kFull + kLine}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}, {Older(3), "三\r\n"}}},
        // The current file waits under its temporary name: nothing is renamed onto "1".
        RotationCase{"AnOlderFileCannotMove",
                     {{kCurrent, kFull}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}, {Older(3), "三\r\n"}},
                     {Older(1)},
                     {{kCurrent, kLine}, {kMoving, kFull}, {Older(1), "一\r\n"}, {Older(3), "二\r\n"}}},
        RotationCase{"ARotationACrashLeftHalfDoneIsFinishedFirst",
                     {{kCurrent, kFull}, {kMoving, "旧\r\n"}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}},
                     {},
                     {{kCurrent, kLine}, {Older(1), kFull}, {Older(2), "旧\r\n"}, {Older(3), "一\r\n"}}},
        RotationCase{"AHalfDoneRotationThatCannotBeFinishedKeepsTheCurrentFile",
                     {{kCurrent, kFull}, {kMoving, "旧\r\n"}, {Older(1), "一\r\n"}},
                     {Older(1)},
                     {{kCurrent, kFull + kLine}, {kMoving, "旧\r\n"}, {Older(1), "一\r\n"}}}),
    [](const ::testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

std::size_t Count(const std::vector<std::string>& all, const std::string& one) {
  return static_cast<std::size_t>(std::count(all.begin(), all.end(), one));
}

TEST(History, ARotationThatFailedIsTriedAgainAfterAMinuteOfLineTimes) {
  testing::MemoryFiles files;
  files.put({{kCurrent, kFull}, {Older(1), "一\r\n"}});
  files.held = {kCurrent};
  History history(files, kCurrent, {}, 110, 3);
  const std::string move = kCurrent + " -> " + kMoving;
  std::string lines;
  const auto append = [&](int hour, int minute, int second) {
    ASSERT_TRUE(history.append({2026, 12, 10, hour, minute, second, 0}, "一行文字"));
    lines += Line(hour, minute, second);
  };
  append(2, 0, 0);
  EXPECT_EQ(Count(files.done("rename"), move), 1u);
  append(2, 0, 30);
  append(2, 0, 59);
  EXPECT_EQ(Count(files.done("rename"), move), 1u) << "not within the minute";
  append(2, 1, 0);
  EXPECT_EQ(Count(files.done("rename"), move), 2u);
  // The clock set back an hour does not put the next try off for an hour.
  append(1, 1, 0);
  EXPECT_EQ(Count(files.done("rename"), move), 3u);
  EXPECT_EQ(files.contents(), (Files{{kCurrent, kFull + lines}, {Older(1), "一\r\n"}}));

  files.held.clear();
  append(1, 1, 59);
  EXPECT_EQ(Count(files.done("rename"), move), 3u);
  EXPECT_EQ(files.contents().size(), 2u);
  append(1, 2, 0);
  EXPECT_EQ(files.contents(), (Files{{kCurrent, Line(1, 2, 0)},
                                 {Older(1), kFull + lines.substr(0, lines.size() - kLine.size())},
                                 {Older(2), "一\r\n"}}));
}

TEST(History, ARotationStoppedByAnOlderFileIsFinishedAMinuteLater) {
  testing::MemoryFiles files;
  files.put({{kCurrent, kFull}, {Older(1), "一\r\n"}, {Older(2), "二\r\n"}});
  files.held = {Older(1)};
  History history(files, kCurrent, {}, 110, 3);
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 0, 0}, "一行文字"));
  files.held.clear();
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 30, 0}, "一行文字"));
  EXPECT_EQ(files.text(kMoving), kFull) << "not within the minute";
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 1, 0, 0}, "一行文字"));
  EXPECT_EQ(files.contents(), (Files{{kCurrent, Line(2, 0, 0) + Line(2, 0, 30) + Line(2, 1, 0)},
                                 {Older(1), kFull},
                                 {Older(2), "一\r\n"},
                                 {Older(3), "二\r\n"}}));
}

// A program without the rights to the shared history (a user's tray program,
// where the service's administrator created the file) keeps its lines in its
// own, and goes back to the shared one once it may.
TEST(History, LinesTheSharedHistoryRefusesGoToTheProgramsOwnUntilItTakesThemAgain) {
  testing::MemoryFiles files;
  const std::string service = "2026-12-10 01:00:00 备份服务已启动: 不需要用户登录也会定时备份\r\n";
  files.text(kShared) = service;
  files.readOnly = {"C:\\ProgramData\\Bakwyn\\"};
  History history(files, kShared, kOwn);
  EXPECT_EQ(history.path(), kShared);
  EXPECT_EQ(history.ownPath(), kOwn);
  EXPECT_EQ(history.shownPath(), kShared) << "before any line";
  EXPECT_FALSE(history.usedOwn());

  EXPECT_TRUE(history.append({2026, 12, 10, 2, 0, 0, 0}, "备份记录:"));
  EXPECT_TRUE(history.usedOwn());
  EXPECT_EQ(history.shownPath(), kOwn);
  EXPECT_EQ(Count(files.done("mkdir"), "C:\\Users\\林小姐\\AppData\\Local\\Bakwyn\\"), 1u);
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 0, 30, 0}, "数据库连接成功!"));
  files.readOnly.clear();  // an administrator gave the users the right to write it
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 0, 59, 0}, "保存成功!"));
  EXPECT_EQ(Count(files.done("append"), kShared), 1u) << "one refusal a minute, not one a line";
  EXPECT_EQ(history.shownPath(), kOwn);

  EXPECT_TRUE(history.append({2026, 12, 10, 2, 1, 0, 0}, "开始备份数据库..."));
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 1, 3, 0}, "数据库备份成功!  [文件名:D:\\bak\\x.bak]"));
  EXPECT_EQ(history.shownPath(), kShared);
  EXPECT_TRUE(history.usedOwn()) << "a line of this run is still in the own file";
  EXPECT_EQ(files.text(kOwn),
            "2026-12-10 02:00:00 备份记录:\r\n"
            "2026-12-10 02:00:30 数据库连接成功!\r\n"
            "2026-12-10 02:00:59 保存成功!\r\n");
  EXPECT_EQ(files.text(kShared), service +
                                       "2026-12-10 02:01:00 开始备份数据库...\r\n"
                                       "2026-12-10 02:01:03 数据库备份成功!  [文件名:D:\\bak\\x.bak]\r\n");
}

TEST(History, ALineNeitherFileTakesIsReportedLost) {
  testing::MemoryFiles files;
  files.readOnly = {"C:\\ProgramData\\Bakwyn\\", kOwn};
  History history(files, kShared, kOwn);
  EXPECT_FALSE(history.append({2026, 12, 10, 2, 0, 0, 0}, "备份记录:"));
  EXPECT_FALSE(history.usedOwn());
  EXPECT_EQ(history.shownPath(), kShared);
  EXPECT_TRUE(files.contents().empty());
}

TEST(History, TheOwnHistoryRotatesByTheSameRules) {
  testing::MemoryFiles files;
  files.readOnly = {"C:\\ProgramData\\Bakwyn\\"};
  History history(files, kShared, kOwn, 110, 1);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, i, 0}, "一行文字"));
  EXPECT_EQ(files.contents(), (Files{{kOwn, Line(2, 0, 3)},
                                 {"C:\\Users\\林小姐\\AppData\\Local\\Bakwyn\\Bakwyn.1.log",
                                  Line(2, 0, 0) + Line(2, 0, 1) + Line(2, 0, 2)}}));
}

// The same rules on the platform's own file system.
TEST(History, ARunAfterACrashInTheMiddleOfALineStartsOnALineOfItsOwn) {
  TestDirectory dir;
  const std::string path = dir.windowsRoot() + "Bakwyn.log";
  dir.write(path, kFirst + kPiece);
  History history(dir.files(), path);
  ASSERT_TRUE(history.append(kNextAt, kNextText));
  EXPECT_EQ(Contents(dir.local(path)), kFirst + kPiece + "\r\n" + kNext);
}

TEST(History, ASharedHistoryThatCannotBeWrittenLeavesTheLinesInTheOwnOne) {
  TestDirectory dir;
  // A file where the shared history's folder should be: it cannot be made.
  dir.write(dir.windowsRoot() + "程序数据", "not a folder");
  const std::string shared = dir.windowsRoot() + "程序数据\\Bakwyn\\Bakwyn.log";
  const std::string own = dir.windowsRoot() + "用户\\林小姐\\Bakwyn\\Bakwyn.log";
  History history(dir.files(), shared, own);
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 0, 0}, "备份记录:"));
  EXPECT_EQ(history.shownPath(), own);
  std::filesystem::remove(dir.local(dir.windowsRoot() + "程序数据"));
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 1, 0, 0}, "开始备份数据库..."));
  EXPECT_EQ(history.shownPath(), shared);
  EXPECT_EQ(Contents(dir.local(own)), "2026-12-10 02:00:00 备份记录:\r\n");
  EXPECT_EQ(Contents(dir.local(shared)), "2026-12-10 02:01:00 开始备份数据库...\r\n");
}

#ifdef _WIN32
// Another program holding the current file open (without sharing its
// deletion) keeps Windows from renaming it: the older files stay, the lines go on.
TEST(History, ACurrentFileHeldOpenIsNotRotatedAndKeepsItsOlderFiles) {
  TestDirectory dir;
  const std::string path = dir.windowsRoot() + "Bakwyn.log";
  dir.write(path, kFull);
  dir.write(dir.windowsRoot() + "Bakwyn.1.log", "一\r\n");
  History history(dir.files(), path, {}, 110, 3);
  {
    std::FILE* open = _wfopen(dir.local(path).c_str(), L"rb");
    ASSERT_NE(open, nullptr);
    ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, 0, 0}, "一行文字"));
    std::fclose(open);
  }
  EXPECT_EQ(Contents(dir.local(path)), kFull + kLine);
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.1.log")), "一\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.local(dir.windowsRoot() + "Bakwyn.2.log")));
  ASSERT_TRUE(history.append({2026, 12, 10, 2, 1, 0, 0}, "一行文字"));
  EXPECT_EQ(Contents(dir.local(path)), Line(2, 1, 0));
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.1.log")), kFull + kLine);
  EXPECT_EQ(Contents(dir.local(dir.windowsRoot() + "Bakwyn.2.log")), "一\r\n");
}
#endif

// A window following the history that a service writes: each whole line once,
// the tail first, a line still being written only when it is whole, and the
// new file's lines after a rotation.
TEST(HistoryFollower, GivesTheTailThenEachNewWholeLineOnce) {
  TestDirectory dir;
  const std::string path = dir.windowsRoot() + "Bakwyn.log";
  History history(dir.files(), path, {}, 200, 1);
  HistoryFollower follower(dir.files(), path);
  EXPECT_TRUE(follower.newLines().empty()) << "no history yet";
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, i, 0}, "第" + std::to_string(i) + "行"));
  EXPECT_EQ(follower.newLines(), (std::vector<std::string>{"2026-12-10 02:00:01 第1行", "2026-12-10 02:00:02 第2行",
                                                            "2026-12-10 02:00:03 第3行", "2026-12-10 02:00:04 第4行"}))
      << "lines written before the first look but after the follower began are all new";
  EXPECT_TRUE(follower.newLines().empty());

  // Another writer's line arrives in two pieces.
  {
    std::ofstream out(dir.local(path), std::ios::binary | std::ios::app);
    out << "2026-12-10 02:00:05 半";
  }
  EXPECT_TRUE(follower.newLines().empty()) << "half a line waits";
  {
    std::ofstream out(dir.local(path), std::ios::binary | std::ios::app);
    out << "行\r\n";
  }
  EXPECT_EQ(follower.newLines(), (std::vector<std::string>{"2026-12-10 02:00:05 半行"}));

  // Past 200 bytes the file rotates: the follower reads the new one from its start.
  for (int i = 6; i <= 9; ++i) ASSERT_TRUE(history.append({2026, 12, 10, 2, 0, i, 0}, "第" + std::to_string(i) + "行"));
  std::vector<std::string> seen = follower.newLines();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), "2026-12-10 02:00:09 第9行");
  EXPECT_TRUE(follower.newLines().empty());
}

TEST(HistoryFollower, AFirstLookAtALongHistoryGivesItsLastLinesWhole) {
  TestDirectory dir;
  const std::string path = dir.windowsRoot() + "Bakwyn.log";
  {
    std::ofstream out(dir.local(path), std::ios::binary);
    for (int i = 0; i < 5000; ++i) out << "2026-12-10 02:00:00 line " << i << " ........................\r\n";
  }
  HistoryFollower follower(dir.files(), path);
  EXPECT_EQ(follower.newLines(2), (std::vector<std::string>{"2026-12-10 02:00:00 line 4998 ........................",
                                                             "2026-12-10 02:00:00 line 4999 ........................"}));
  // A tail longer than what one look reads starts at a whole line.
  HistoryFollower all(dir.files(), path);
  const std::vector<std::string> tail = all.newLines(100000);
  ASSERT_FALSE(tail.empty());
  EXPECT_LT(tail.size(), 5000u);
  EXPECT_EQ(tail.front().rfind("2026-12-10 02:00:00 line ", 0), 0u) << tail.front();
}

}  // namespace
}  // namespace bakwyn
