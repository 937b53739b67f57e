// Bakwyn.exe telling why a backup failed and keeping its history over a crash,
// and handing over to a start with administrator rights, driven from a second
// process against the stand-in server.
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

const std::string kUser = "sa", kPassword = "备份'pw";
const fs::path kHistory = L"C:\\ProgramData\\Bakwyn\\Bakwyn.log";

// The texts after "数据库备份失败!": the cause line that follows each failure.
std::vector<std::string> CausesAfterFailures(const std::vector<std::string>& texts) {
  std::vector<std::string> causes;
  for (size_t i = 0; i + 1 < texts.size(); ++i) {
    if (texts[i] == kFailed) causes.push_back(texts[i + 1]);
  }
  return causes;
}

class WinHistory : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop"});
    std::error_code ignored;
    fs::remove_all(kHistory.parent_path(), ignored);
  }
  void TearDown() override {
    ProgramTest::TearDown();
    std::error_code ignored;
    fs::remove_all(kHistory.parent_path(), ignored);
  }

  // Settings as a save leaves them, slot 1 at `minute`, backing up into `folder`.
  void storeArmed(const std::string& server, const std::string& folder, const Minute& minute) {
    StoreConnection(server, kUser, kPassword, "shop", folder);
    StoreSlot(1, minute.hhnn());
  }
};

TEST_F(WinHistory, AFailureSaysWhyAndTheHistoryKeepsBothRunsOverAKill) {
  const Minute minute = ComingMinute(12);
  storeArmed(ComputerName(), kFolder + "\\refused\\", minute);
  // The server's service account may not write the folder.
  test::StandInFault denied;
  denied.kind = "denied";
  standIn_.arm(denied);
  app().start();
  app().menu("N1");  // the log pane is built with the window
  Sleep(static_cast<DWORD>(minute.msFromNow()));
  std::vector<std::string> first = Texts(app().waitForLogText(kFailed, 60000));
  first = Texts(app().waitForLog(first.size() + 1));
  const std::vector<std::string> refused = CausesAfterFailures(first);
  ASSERT_EQ(refused.size(), 1u) << ::testing::PrintToString(first);
  EXPECT_EQ(refused[0].rfind("原因: 3201 ", 0), 0u) << refused[0];
  EXPECT_NE(refused[0].find("Operating system error 5"), std::string::npos) << refused[0];

  // Killed, as by a crash or a power cut; the server is then stopped, and the
  // program started again runs the slot of this minute once more.
  app().process().close();
  endApp();
  standIn_.listen(false);
  app().start();
  app().menu("N1");
  std::vector<std::string> second = Texts(app().waitForLogText(kFailed, 60000));
  second = Texts(app().waitForLog(second.size() + 1));
  const std::vector<std::string> stopped = CausesAfterFailures(second);
  ASSERT_EQ(stopped.size(), 1u) << ::testing::PrintToString(second);
  EXPECT_EQ(stopped[0].rfind("原因: ", 0), 0u) << stopped[0];
  EXPECT_EQ(stopped[0].find("3201"), std::string::npos) << "the cause of this failure, not of the first";

  // The history holds the lines of both runs, each with its full date.
  const std::string history = ReadWholeFile(kHistory);
  size_t starts = 0;
  for (size_t at = history.find(" 备份记录:\r\n"); at != std::string::npos; at = history.find(" 备份记录:\r\n", at + 1))
    ++starts;
  EXPECT_EQ(starts, 2u) << history;
  EXPECT_NE(history.find(" " + refused[0] + "\r\n"), std::string::npos) << history;
  EXPECT_NE(history.find(" " + stopped[0] + "\r\n"), std::string::npos) << history;
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::string date = std::to_string(now.wYear) + "-" + Two(now.wMonth) + "-" + Two(now.wDay) + " ";
  EXPECT_EQ(history.rfind(date, 0), 0u) << "every line starts with its full date: " << history.substr(0, 40);
}

TEST_F(WinHistory, AStartWithAdministratorRightsWaitsForTheRunningOneAndOpensItsSettings) {
  Store("mEdt1", "TEXT", "shop");
  Store("dxCheckEdit1", "CHECKED", "-1");
  Store("dxTimeEdit1", "TEXT", FarFromNow());
  app().start();
  // As the restart with administrator rights starts it: with "/settings".
  Process restarted;
  ASSERT_TRUE(restarted.start(remote::ExePath(), L"/settings"));
  // Never two schedulers: while the first runs, the second waits without a window.
  Sleep(2000);
  EXPECT_FALSE(restarted.ended(0)) << "it waits for the running one to end";
  EXPECT_EQ(remote::FindMain(restarted.pi.dwProcessId), nullptr);
  EXPECT_EQ(MainWindowCount(), 1);
  ASSERT_TRUE(app().quit());
  HWND window = remote::WaitFor(&remote::FindMain, restarted.pi.dwProcessId, 30000);
  ASSERT_NE(window, nullptr) << "the restarted program took over";
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(window) != FALSE; }, 20000)) << "with its settings window open";
  EXPECT_EQ(MainWindowCount(), 1);
  restarted.close();
}

}  // namespace
}  // namespace bakwyn
