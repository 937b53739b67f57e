// The history file: every line with its full date, in the real file system of
// the platform (natively through a mapped drive, under Wine as Windows), kept
// within its size bound by rotation.
#include "engine/History.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/EngineFakes.h"
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
  History history(dir.files(), dir.windowsRoot() + "Bakwyn.log", 100, 2);
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
  testing::FakeFiles files;
  History history(files, "C:\\ProgramData\\Bakwyn\\Bakwyn.log");
  files.failAppend = true;
  EXPECT_FALSE(history.append({2026, 12, 10, 2, 0, 0, 0}, "lost"));
  files.failAppend = false;
  EXPECT_TRUE(history.append({2026, 12, 10, 2, 1, 0, 0}, "kept"));
  EXPECT_EQ(files.others["C:\\ProgramData\\Bakwyn\\Bakwyn.log"], "2026-12-10 02:01:00 kept\r\n");
  EXPECT_EQ(history.olderPath(2), "C:\\ProgramData\\Bakwyn\\Bakwyn.2.log");
}

// A window following the history that a service writes: each whole line once,
// the tail first, a line still being written only when it is whole, and the
// new file's lines after a rotation.
TEST(HistoryFollower, GivesTheTailThenEachNewWholeLineOnce) {
  TestDirectory dir;
  const std::string path = dir.windowsRoot() + "Bakwyn.log";
  History history(dir.files(), path, 200, 1);
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
