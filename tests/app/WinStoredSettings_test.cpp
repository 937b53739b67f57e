// Bakwyn.exe started on stored settings that no save of this version would
// write: numbers out of range or not numbers at all, times that are no times,
// text with a NUL in it, an autostart value of an older version, and a backup
// folder holding a file dated in the future. The program must show what it
// runs on, say what it skipped, and keep backing up.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using namespace bakwyn::exe;

const std::string kUser = "备份员", kPassword = "pw'{x}";

std::string Unreadable(const std::string& control, const std::string& stored) {
  return "无法读取存储的设置: " + control + " \"" + stored + "\",已忽略";
}

std::string TimeNotRun(const std::string& slotWord, const std::string& stored) {
  return "备份时间" + slotWord + ": 存储的时间 \"" + stored + "\" 无效,此备份时间不会运行";
}

const std::string kCleanupHeld = "自动删除已停止: 存储的保留天数无法读取,重新保存设置之前不会删除任何备份";

struct StoredValue {
  std::string control, name;
  std::wstring data;  // written whole, embedded NULs included
};

// Settings as a save of this version leaves them, armed, with one slot far
// from now; each row below changes some of them.
std::vector<StoredValue> ValidSettings(const std::string& folder) {
  return {
      {"mEdt2", "TEXT", Wide(ComputerName())},
      {"mEdt3", "TEXT", Wide(kUser)},
      {"mEdt4", "TEXT", Wide(kPassword)},
      {"mEdt1", "TEXT", L"shop"},
      {"mavBEdit2", "TEXT", Wide(folder)},
      {"dxCheckEdit3", "CHECKED", L"-1"},
      {"dxTimeEdit3", "TEXT", Wide(FarFromNow())},
      {"dxCheckEdit5", "CHECKED", L"-1"},
      {"mavSpinEdit1", "VALUE", L"7"},
  };
}

void StoreAll(const std::vector<StoredValue>& values) {
  for (const StoredValue& v : values) StoreRaw(v.control, v.name, v.data);
}

// The log without its header, sorted: the order of the lines about skipped
// values is the order of loading and applying, which is not what is tested.
std::vector<std::string> SortedAfterHeader(const std::vector<std::string>& lines) {
  std::vector<std::string> texts = Texts(lines);
  if (!texts.empty() && texts.front() == "(no stamp) " + kHeader) texts.erase(texts.begin());
  std::sort(texts.begin(), texts.end());
  return texts;
}

class WinStoredSettings : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    standIn_.setUsers({{kUser, kPassword}});
    standIn_.setDatabases({"master", "shop"});
  }
};

struct StoredCase {
  const char* name;
  std::vector<StoredValue> change;  // written over the valid settings
  std::vector<std::string> lines;   // log lines after the header, any order
  std::vector<std::pair<std::string, std::string>> shows;  // control -> text
  std::vector<std::pair<std::string, bool>> checks;        // check box -> checked
};

TEST_F(WinStoredSettings, EachStoredValueIsShownAsItRunsOrReportedAndSkipped) {
  const std::string folder = kFolder + "\\已存";
  const StoredCase cases[] = {
      {"days at the maximum", {{"mavSpinEdit1", "VALUE", L"999999"}}, {}, {{"mavSpinEdit1", "999999"}}, {}},
      {"days above the maximum", {{"mavSpinEdit1", "VALUE", L"1000000"}}, {}, {{"mavSpinEdit1", "999999"}}, {}},
      {"days below the minimum", {{"mavSpinEdit1", "VALUE", L"-5"}}, {}, {{"mavSpinEdit1", "1"}}, {}},
      {"days zero", {{"mavSpinEdit1", "VALUE", L"0"}}, {}, {{"mavSpinEdit1", "1"}}, {}},
      // What is kept never comes back shorter than stored.
      {"days beyond any integer", {{"mavSpinEdit1", "VALUE", L"9999999999"}}, {}, {{"mavSpinEdit1", "999999"}},
       {{"dxCheckEdit5", true}}},
      {"days of text: cleanup held off",
       {{"mavSpinEdit1", "VALUE", L"abc"}},
       {Unreadable("mavSpinEdit1", "abc"), kCleanupHeld},
       {{"mavSpinEdit1", "3"}},
       {{"dxCheckEdit5", true}}},
      {"check state a word",
       {{"dxCheckEdit5", "CHECKED", L"abc"}},
       {Unreadable("dxCheckEdit5", "abc")},
       {{"mavSpinEdit1", "7"}},
       {{"dxCheckEdit5", false}}},
      {"check state in Chinese",
       {{"dxCheckEdit2", "CHECKED", L"是"}},
       {Unreadable("dxCheckEdit2", "是")},
       {},
       {{"dxCheckEdit2", false}}},
      {"check state as the word True",
       {{"dxCheckEdit2", "CHECKED", L"tRUE"}, {"dxTimeEdit2", "TEXT", Wide(FarFromNow())}},
       {},
       {},
       {{"dxCheckEdit2", true}}},
      {"time with hour 25",
       {{"dxCheckEdit1", "CHECKED", L"-1"}, {"dxTimeEdit1", "TEXT", L"25:00"}},
       {TimeNotRun("一", "25:00")},
       {{"dxTimeEdit1", "00:00"}},
       {{"dxCheckEdit1", false}}},
      {"time without its zeros",
       {{"dxTimeEdit3", "TEXT", L"7:5"}},
       {TimeNotRun("三", "7:5")},
       {{"dxTimeEdit3", "00:00"}},
       {{"dxCheckEdit3", false}}},
      {"time of letters",
       {{"dxCheckEdit4", "CHECKED", L"-1"}, {"dxTimeEdit4", "TEXT", L"abcdefgh"}},
       {TimeNotRun("四", "abcdefgh")},
       {{"dxTimeEdit4", "00:00"}},
       {{"dxCheckEdit4", false}}},
      {"database name cut at a NUL", {{"mEdt1", "TEXT", std::wstring(L"shop\0junk", 9)}}, {}, {}, {}},
  };
  for (const StoredCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ForgetStoredStateRestoreTestOff());
    StoreAll(ValidSettings(folder));
    StoreAll(c.change);
    App& a = app();
    a.start();
    if (const auto box = a.dismissOtherBox()) ADD_FAILURE() << "box at start-up: " << box->text;
    EXPECT_FALSE(a.boxShown());
    a.menu("N1");

    const std::vector<std::string> lines = a.log();
    EXPECT_EQ(SortedAfterHeader(lines), [&] {
      std::vector<std::string> sorted = c.lines;
      std::sort(sorted.begin(), sorted.end());
      return sorted;
    }());
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto stamped = ParseStamped(lines[i]);
      EXPECT_TRUE(stamped && stamped->date == Today()) << lines[i];
    }
    // Everything else loaded, and applied: the folder gets its separator.
    EXPECT_EQ(a.text("mEdt3"), kUser);
    EXPECT_EQ(a.text("mEdt1"), "shop");
    EXPECT_EQ(a.text("mavBEdit2"), folder + "\\");
    for (const auto& [control, text] : c.shows) EXPECT_EQ(a.text(control), text) << control;
    for (const auto& [control, checked] : c.checks) EXPECT_EQ(a.checked(control), checked) << control;
    // A slot that is not run is not shown as armed either.
    for (const char* digit : {"1", "2", "3", "4"}) {
      const std::string box = std::string("dxCheckEdit") + digit, editor = std::string("dxTimeEdit") + digit;
      EXPECT_EQ(a.enabled(editor), a.checked(box)) << editor;
    }
    EXPECT_EQ(a.enabled("mavSpinEdit1"), a.checked("dxCheckEdit5"));
    EXPECT_TRUE(a.quit());
  }
}

TEST_F(WinStoredSettings, AutostartValueIsTheQuotedProgramPathWhateverWasThere) {
  const std::string path = Utf8(remote::ExePath());
  const std::string quoted = "\"" + path + "\"";
  const struct {
    const char* name;
    const char* before;  // nullptr: no value
  } cases[] = {
      {"no value", nullptr},
      {"this path unquoted, as older versions wrote it", path.c_str()},
      {"this path quoted already", quoted.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ForgetStoredStateRestoreTestOff());
    if (c.before) WriteString(kRunKey, kRunValue, c.before);
    app().start();
    EXPECT_EQ(ReadString(kRunKey, kRunValue), quoted);
    EXPECT_TRUE(app().quit());
  }
}

// One start and one minute for several things that only a running schedule
// shows: a value that cannot be read does not disarm it, a slot with an
// invalid time does not run while another does, the database name is cut at
// its NUL in the statement too, and the log pane, written while the window is
// shown, leaves the keyboard focus where the user put it.
TEST_F(WinStoredSettings, FlawedStoredSettingsStillBackUpAtTheirMinuteWithoutTakingTheFocus) {
  const std::string folder = kFolder + "\\armed";
  const Minute minute = ComingMinute(15);
  StoreAll({
      {"mEdt2", "TEXT", Wide(ComputerName())},
      {"mEdt3", "TEXT", Wide(kUser)},
      {"mEdt4", "TEXT", Wide(kPassword)},
      {"mEdt1", "TEXT", std::wstring(L"shop\0junk", 9)},
      {"mavBEdit2", "TEXT", Wide(folder)},
      {"dxCheckEdit1", "CHECKED", L"-1"},
      {"dxTimeEdit1", "TEXT", L"25:00"},
      {"dxCheckEdit2", "CHECKED", L"-1"},
      {"dxTimeEdit2", "TEXT", Wide(minute.hhnn())},
      {"dxCheckEdit5", "CHECKED", L"abc"},
      {"mavSpinEdit1", "VALUE", L"7"},
  });
  App& a = app();
  a.start();
  if (const auto box = a.dismissOtherBox()) ADD_FAILURE() << "box at start-up: " << box->text;
  a.menu("N1");
  ASSERT_TRUE(a.visible());
  EXPECT_EQ(a.text("mEdt1"), "shop");
  EXPECT_FALSE(a.checked("dxCheckEdit1"));
  EXPECT_EQ(a.text("dxTimeEdit1"), "00:00");
  EXPECT_TRUE(a.checked("dxCheckEdit2"));
  EXPECT_EQ(a.text("mavSpinEdit1"), "7");

  a.focus("mEdt3");
  ASSERT_EQ(a.focused(), a.control("mEdt3")) << "the focus could not be put into mEdt3";

  const std::string path = folder + "\\" + minute.fileName();
  ASSERT_TRUE(WaitForBackupFile(minute, Wide(path)))
      << path << "\n"
      << (a.process().ended(0) ? "the program ended, code " + std::to_string(a.process().exitCode())
                               : ::testing::PrintToString(a.log()));
  const std::vector<std::string> lines = a.waitForLogText(Succeeded(path));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), kHeader);
  std::vector<std::string> expected = {Unreadable("dxCheckEdit5", "abc"), TimeNotRun("一", "25:00"), kStarted,
                                       Succeeded(path)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortedAfterHeader(lines), expected);
  const std::vector<std::string> texts = Texts(lines);
  EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()), (std::vector<std::string>{kStarted, Succeeded(path)}));
  for (size_t i = texts.size() - 2; i < texts.size(); ++i) {
    const auto stamped = ParseStamped(lines[i]);
    ASSERT_TRUE(stamped);
    EXPECT_EQ(stamped->hhnn, minute.hhnn()) << "not run at its minute";
  }

  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.statements.size(), 3u) << "the backup, then its verification, as by default";
  ExpectVerifiedBackup(record.statements, 0, "shop", path, 1);

  a.idle();
  EXPECT_EQ(a.focused(), a.control("mEdt3")) << "the log pane took the focus";
}

// Cleanup keeps the newest backup so that a folder is never left empty. A file
// dated in the future (a clock that was set wrong once) must not count as that
// newest backup, or the last real one would go. The server is down, so the
// slot writes no new backup and only the cleanup changes the folder.
TEST_F(WinStoredSettings, CleanupKeepsTheNewestRealBackupWhenAFileIsDatedInTheFuture) {
  const std::string folder = kFolder + "\\cleanup";
  const fs::path dir(Wide(folder));
  fs::create_directories(dir);
  const struct {
    const wchar_t* name;
    LONGLONG hoursFromNow;
    bool kept;
  } files[] = {
      {L"三天前.bak", -72, false},
      {L"两天前.bak", -48, true},
      {L"明天.bak", +24, true},
  };
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const LONGLONG nowTicks = static_cast<LONGLONG>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  for (const auto& f : files) {
    const fs::path file = dir / f.name;
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const ULONGLONG ticks = static_cast<ULONGLONG>(nowTicks + f.hoursFromNow * 3600LL * 10000000LL);
    const FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(SetFileTime(h, &when, &when, &when));
    CloseHandle(h);
  }
  // Both kept ones were verified (empty files, set 1): the newest proven
  // backup the cleanup keeps is the newest dated up to now, not the one dated
  // tomorrow, which would let the one of two days ago go.
  {
    std::ofstream record(dir / Wide(kVerifiedRecord), std::ios::binary);
    record << "两天前.bak\t1\t0\t2026-01-01 00:00:00\n明天.bak\t1\t0\t2026-01-01 00:00:00\n";
  }

  const Minute minute = ComingMinute(10);
  StoreAll({
      {"mEdt2", "TEXT", Wide(ComputerName())},
      {"mEdt3", "TEXT", Wide(kUser)},
      {"mEdt4", "TEXT", Wide(kPassword)},
      {"mEdt1", "TEXT", L"shop"},
      {"mavBEdit2", "TEXT", Wide(folder)},
      {"dxCheckEdit1", "CHECKED", L"-1"},
      {"dxTimeEdit1", "TEXT", Wide(minute.hhnn())},
      {"dxCheckEdit5", "CHECKED", L"-1"},
      {"mavSpinEdit1", "VALUE", L"1"},
  });
  standIn_.listen(false);
  App& a = app();
  a.start();
  a.menu("N1");  // for the log
  ASSERT_TRUE(a.checked("dxCheckEdit5"));
  Sleep(static_cast<DWORD>(minute.msFromNow()));
  // The slot ran (and failed, as the server is down; a line with the cause may follow).
  std::vector<std::string> texts = Texts(a.waitForLogText(kFailed, 30000));
  texts.resize(std::min<size_t>(texts.size(), 3));
  EXPECT_EQ(texts, (std::vector<std::string>{"(no stamp) " + kHeader, kStarted, kFailed}));
  for (const auto& f : files) EXPECT_EQ(fs::exists(dir / f.name), f.kept) << Utf8(f.name);
}

// A stored number of days that cannot be read, with cleanup on and backups 5
// and 500 days old: none is deleted, and the log says why. The cleanup runs
// before the backup that a missed backup time, made up at start, brings.
TEST_F(WinStoredSettings, StoredDaysThatCannotBeReadNeverDeleteABackup) {
  const struct {
    const wchar_t* days;
    std::vector<std::string> said;  // besides the backup's own lines
  } cases[] = {
      {L"9999999999", {}},
      {L"abc", {Unreadable("mavSpinEdit1", "abc"), kCleanupHeld}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.days));
    ASSERT_TRUE(ForgetStoredStateRestoreTestOff());
    const std::string folder = kFolder + "\\days";
    const fs::path dir(Wide(folder));
    fs::remove_all(dir);
    fs::create_directories(dir);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const LONGLONG nowTicks =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    for (const auto& [name, days] : {std::pair{L"五天前.bak", 5}, std::pair{L"五百天前.bak", 500}}) {
      HANDLE h = CreateFileW((dir / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      const ULONGLONG ticks = static_cast<ULONGLONG>(nowTicks - days * 24LL * 3600LL * 10000000LL);
      const FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
      EXPECT_TRUE(SetFileTime(h, &when, &when, &when));
      CloseHandle(h);
    }
    // The newer one was verified: what holds the older one back is the days alone.
    {
      std::ofstream record(dir / Wide(kVerifiedRecord), std::ios::binary);
      record << "五天前.bak\t1\t0\t2026-01-01 00:00:00\n";
    }
    // A backup time that has passed today, made up at start.
    for (SYSTEMTIME t{}; GetLocalTime(&t), t.wHour == 0 && t.wMinute == 0;) Sleep(1000);
    StoreAll(ValidSettings(folder));
    StoreAll({{"dxCheckEdit1", "CHECKED", L"-1"}, {"dxTimeEdit1", "TEXT", L"00:00"}, {"mavSpinEdit1", "VALUE", c.days}});
    ASSERT_TRUE(WriteString(kStatusKey, "MakeUpMissed", "1"));
    App& a = app();
    a.start();
    a.menu("N1");
    std::vector<std::string> texts;
    for (int waited = 0; waited < 300; ++waited, Sleep(100)) {
      texts = Texts(a.log());
      if (std::any_of(texts.begin(), texts.end(), [](const std::string& t) { return t.rfind("数据库备份", 0) == 0; })) break;
    }
    ASSERT_NE(std::find(texts.begin(), texts.end(), kStarted), texts.end()) << ::testing::PrintToString(texts);
    // (The far slot of the valid settings may have passed today too.)
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.rfind("补做错过的备份 (00:00", 0) == 0; }))
        << "the cleanup ran: " << ::testing::PrintToString(texts);
    EXPECT_TRUE(fs::exists(dir / L"五天前.bak"));
    EXPECT_TRUE(fs::exists(dir / L"五百天前.bak"));
    for (const std::string& line : c.said) EXPECT_NE(std::find(texts.begin(), texts.end(), line), texts.end()) << line;
    EXPECT_TRUE(a.quit());
    WriteString(kStatusKey, "MakeUpMissed", "0");
  }
}

}  // namespace
}  // namespace bakwyn
