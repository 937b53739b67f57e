// Bakwyn.exe copying every backup to a second folder on another drive letter:
// identical copies, a folder that cannot be reached logged with its cause while
// the backup still counts as done, the missed file copied once the folder is
// back, and the second folder's own retention. Driven from a second process
// against the stand-in server.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using namespace bakwyn::exe;

const std::string kUser = "sa", kPassword = "pw";
const std::string kCopies = "D:\\e2e-copies";  // the prefix's second disk

class WinCopies : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop"});
    std::error_code ignored;
    fs::remove_all(fs::path(Wide(kCopies)), ignored);
  }
  void TearDown() override {
    ProgramTest::TearDown();
    std::error_code ignored;
    fs::remove_all(fs::path(Wide(kCopies)), ignored);
  }
};

TEST_F(WinCopies, EveryBackupReachesTheSecondFolderOnceItCanBeReached) {
  const Minute first = ComingMinute(12);
  Minute second = first;
  {
    // The minute after the first.
    FILETIME t;
    SystemTimeToFileTime(&first.at, &t);
    ULARGE_INTEGER v{{t.dwLowDateTime, t.dwHighDateTime}};
    v.QuadPart += 60ULL * 10000000ULL;
    t = {v.LowPart, v.HighPart};
    FileTimeToSystemTime(&t, &second.at);
  }
  const std::string folder = kFolder + "\\bak\\";
  StoreConnection(ComputerName(), kUser, kPassword, "shop", folder);
  StoreSlot(1, first.hhnn());
  StoreSlot(2, second.hhnn());
  Store("dxCheckEdit5", "CHECKED", "-1");
  Store("mavSpinEdit1", "VALUE", "1");
  ASSERT_TRUE(WriteString(kStatusKey, "CopyFolder", kCopies));
  // The second folder cannot be made: a file stands where it would be.
  { std::ofstream(fs::path(Wide(kCopies)), std::ios::binary) << "in the way"; }

  app().start();
  app().menu("N1");
  EXPECT_EQ(app().text("mavBEdit3"), kCopies) << "the window shows the second folder";
  // Nothing of it among the control states, which older versions read.
  EXPECT_FALSE(Stored("mavBEdit3", "TEXT").has_value());

  const std::wstring firstFile = Wide(folder + first.fileName());
  ASSERT_TRUE(WaitForBackupFile(first, firstFile));
  // This computer's copies of this database go to a folder of their own in it.
  const std::string mine = kCopies + "\\" + ComputerName() + "\\shop";
  const std::string failed = "备份复制失败: " + folder + first.fileName() + " -> " + mine + "\\ (";
  std::vector<std::string> texts;
  const auto isFailure = [&](const std::string& t) { return t.rfind(failed, 0) == 0; };
  WaitUntil([&] {
    texts = Texts(app().log());
    return std::any_of(texts.begin(), texts.end(), isFailure);
  }, 30000);
  const auto failure = std::find_if(texts.begin(), texts.end(), isFailure);
  ASSERT_NE(failure, texts.end()) << ::testing::PrintToString(texts);
  EXPECT_GT(failure->size(), failure->find(" (") + 3) << "with its cause: " << *failure;
  EXPECT_NE(std::find(texts.begin(), texts.end(), Succeeded(folder + first.fileName())), texts.end())
      << "the backup itself counts as done";
  EXPECT_EQ(std::count(texts.begin(), texts.end(), kFailed), 0);

  // The folder is back, with an old copy the retention of one day deletes, and
  // one that an earlier version left at its top, which stays.
  fs::remove(fs::path(Wide(kCopies)));
  fs::create_directories(fs::path(Wide(mine)));
  const fs::path old = fs::path(Wide(mine)) / L"2026年01月01日02时00分.bak";
  const fs::path top = fs::path(Wide(kCopies)) / L"2026年01月01日02时00分.bak";
  for (const fs::path& file : {old, top}) {
    { std::ofstream(file, std::ios::binary) << "an old copy"; }
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(24 * 9));
  }

  const std::wstring secondFile = Wide(folder + second.fileName());
  ASSERT_TRUE(WaitForBackupFile(second, secondFile));
  const fs::path copies = fs::path(Wide(mine));
  ASSERT_TRUE(WaitUntil([&] {
    return fs::exists(copies / Wide(first.fileName())) && fs::exists(copies / Wide(second.fileName())) &&
           !fs::exists(old);
  }, 60000)) << "both backups copied, the expired copy deleted";
  for (const std::string& name : {first.fileName(), second.fileName()}) {
    EXPECT_EQ(ReadWholeFile(copies / Wide(name)), ReadWholeFile(fs::path(Wide(folder + name)))) << name << ": an identical copy";
  }
  // The worker's lines reach the log at the next tick.
  texts = Texts(app().waitForLogText("备份已复制到: " + mine + "\\" + second.fileName(), 20000));
  for (const std::string& name : {first.fileName(), second.fileName()}) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), "备份已复制到: " + mine + "\\" + name), texts.end()) << name;
  }
  EXPECT_TRUE(fs::exists(top)) << "nothing outside this computer's folder is cleaned";
  // Nothing half-written is left under any name.
  for (const auto& entry : fs::directory_iterator(copies))
    EXPECT_EQ(entry.path().extension(), L".bak") << entry.path().string();
}

}  // namespace
}  // namespace bakwyn
