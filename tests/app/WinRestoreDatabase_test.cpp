// Bakwyn.exe restores a backup from its tray menu's restore window against the
// stand-in server, driven from a second process as a user would: as a new
// database (the backup's files listed first, then restored under the proposed
// name with its own files), and over the current database (a safety backup
// first, then single user, the restore, and multi-user again also when the
// restore fails part-way: the database, left restoring, gets its safety
// backup back and is open to every user).
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "form/RestoreForm.h"
#include "tests/support/ExeHarness.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;

using WinRestoreDatabase = ProgramTest;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The restore window of the program, and its controls by name.
HWND RestoreWindow() { return FindWindowW(form::kFrmRestoreClass, nullptr); }

HWND Control(HWND window, const std::string& name) {
  struct Search {
    int id;
    HWND found;
  } search{form::RestoreControlId(name), nullptr};
  EnumChildWindows(
      window,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (GetDlgCtrlID(child) != s->id) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  EXPECT_NE(search.found, nullptr) << name;
  return search.found;
}

void Click(HWND window, const std::string& name) {
  const HWND button = Control(window, name);
  PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}

// The restore window, opened from the tray menu with its backups listed.
HWND OpenRestoreWindow(App& a) {
  a.menu("N9");
  HWND window = nullptr;
  WaitUntil([&] { return (window = RestoreWindow()) != nullptr && IsWindowVisible(window); }, 20000);
  if (!window) return nullptr;
  const HWND list = Control(window, "mavTree1");
  WaitUntil([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > 0; }, 20000);
  return window;
}

// The statements the stand-in received from `from` on.
std::vector<std::string> Sent(const test::StandInRecord& record, size_t from) {
  std::vector<std::string> texts;
  for (size_t i = from; i < record.statements.size(); ++i) texts.push_back(record.statements[i].text);
  return texts;
}

TEST_F(WinRestoreDatabase, AsANewDatabaseAndOverTheCurrentOneEndingMultiUserWhenTheRestoreFails) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const std::string folder = "T:\\e2e\\恢复窗口\\";
  // New databases' files go to the server's default data folder.
  const std::string data = "T:\\e2e\\恢复窗口数据\\";
  CreateDirectoryW(L"T:\\e2e", nullptr);
  CreateDirectoryW(Wide(data).c_str(), nullptr);
  standIn_.setDefaultDataPath(data);
  const Minute first = ComingMinute(10);
  StoreConnection(ComputerName(), "sa", "pw", "shop", folder);
  StoreSlot(1, first.hhnn());
  ASSERT_TRUE(WriteString(kStatusKey, "RestoreTestEvery", "0"));

  App& a = app();
  a.start();
  a.menu("N1");
  const std::string backup = folder + first.fileName();
  ASSERT_TRUE(WaitForBackupFile(first, Wide(backup))) << backup;
  a.waitForLogText(Succeeded(backup), 30000);
  a.click("BitBtn3");

  // As a new database, the default, under the name proposed.
  HWND window = OpenRestoreWindow(a);
  ASSERT_NE(window, nullptr);
  // The driver reads the list as a script would: the slot's backup, in the
  // backup folder, verified; and chooses it.
  DWORD code = 1;
  const std::string rows = RunDriver(L"restore rows", &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 1) << rows;
  EXPECT_NE(rows.find("\t备份目录\t是"), std::string::npos) << rows;
  RunDriver(L"restore select 0", &code);
  EXPECT_EQ(code, 0u);
  const std::string name = remote::Text(Control(window, "mEdt1"));
  ASSERT_TRUE(StartsWith(name, "shop_恢复_")) << name;
  const HWND progress = Control(window, "mavMemo2");
  std::vector<std::string> lines;

  // A name the server has, by the server's own comparison: refused before
  // anything is restored.
  size_t from = standIn_.record().statements.size();
  RunDriver(L"restore settext mEdt1 SHOP", &code);
  EXPECT_EQ(code, 0u);
  Click(window, "BitBtn2");
  EXPECT_TRUE(WaitUntil(
      [&] {
        lines = MemoLines(progress);
        return std::find(lines.begin(), lines.end(), "无法恢复: 数据库名称已被占用: SHOP") != lines.end();
      },
      20000))
      << ::testing::PrintToString(lines);
  for (const std::string& s : Sent(standIn_.record(), from)) EXPECT_FALSE(StartsWith(s, "RESTORE DATABASE ")) << s;
  RunDriver(L"restore settext mEdt1 " + Wide(name), &code);
  EXPECT_EQ(remote::Text(Control(window, "mEdt1")), name);

  from = standIn_.record().statements.size();
  Click(window, "BitBtn2");
  ASSERT_TRUE(WaitUntil(
      [&] {
        lines = MemoLines(progress);
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return StartsWith(l, "数据库恢复成功: "); });
      },
      30000))
      << ::testing::PrintToString(lines);
  std::vector<std::string> sent = Sent(standIn_.record(), from);
  const auto restore = std::find_if(sent.begin(), sent.end(), [](const std::string& s) {
    return StartsWith(s, "RESTORE DATABASE ");
  });
  ASSERT_NE(restore, sent.end()) << ::testing::PrintToString(sent);
  const auto files = std::find(sent.begin(), sent.end(), "RESTORE FILELISTONLY FROM DISK = N'" + backup + "' WITH FILE = 1");
  EXPECT_LT(files, restore) << "the backup's files are asked first: " << ::testing::PrintToString(sent);
  EXPECT_TRUE(StartsWith(*restore, "RESTORE DATABASE [" + name + "] FROM DISK = N'" + backup + "' WITH FILE = 1"))
      << *restore;
  EXPECT_NE(restore->find(", MOVE N'"), std::string::npos) << *restore;
  EXPECT_NE(restore->find("TO N'" + data + name + ".mdf'"), std::string::npos) << *restore;
  EXPECT_EQ(restore->find("REPLACE"), std::string::npos) << *restore;
  const std::vector<std::string> log = Texts(a.log());
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) { return StartsWith(l, "数据库恢复成功: "); }))
      << "the restore's lines are in the program's log too";

  // Over the current database: asked first, then a safety backup, single user,
  // the restore the server refuses half-way, and multi-user again.
  test::StandInFault full;
  full.kind = "disk_full";
  full.on = "restore";
  standIn_.arm(full);
  from = standIn_.record().statements.size();
  // A radio button is clicked as the mouse would: it checks itself first.
  RunDriver(L"restore click RadioButton2", &code);
  EXPECT_EQ(code, 0u);
  Click(window, "BitBtn2");
  const auto question = a.answer(IDYES);
  ASSERT_TRUE(question) << ::testing::PrintToString(MemoLines(progress));
  EXPECT_NE(question->text.find("shop"), std::string::npos) << question->text;
  ASSERT_TRUE(WaitUntil(
      [&] {
        lines = MemoLines(progress);
        return std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return StartsWith(l, "数据库恢复失败: "); });
      },
      60000))
      << ::testing::PrintToString(lines);
  Sleep(1000);  // the last statements after the failure's line
  sent = Sent(standIn_.record(), from);
  std::vector<std::string> steps;
  for (const std::string& s : sent) {
    if (StartsWith(s, "BACKUP DATABASE [shop]")) steps.push_back("safety");
    if (s == "ALTER DATABASE [shop] SET SINGLE_USER WITH ROLLBACK IMMEDIATE") steps.push_back("single");
    if (StartsWith(s, "RESTORE DATABASE [shop] FROM DISK = N'" + backup + "'")) steps.push_back("restore");
    if (StartsWith(s, "RESTORE DATABASE [shop] FROM DISK = N'" + folder) && s.find("恢复前.bak'") != std::string::npos)
      steps.push_back("restore the safety backup");
    if (StartsWith(s, "ALTER DATABASE [shop] SET MULTI_USER")) steps.push_back("multi");
  }
  ASSERT_GE(steps.size(), 4u) << ::testing::PrintToString(sent);
  EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 4),
            (std::vector<std::string>{"safety", "single", "restore", "multi"}))
      << ::testing::PrintToString(sent);
  EXPECT_EQ(steps.back(), "multi") << ::testing::PrintToString(sent);
  bool open = false;
  for (const test::StandInDatabase& d : standIn_.catalog())
    open |= d.name == "shop" && d.state == "ONLINE" && d.userAccess == "MULTI_USER";
  EXPECT_TRUE(open) << "the database is usable again: " << ::testing::PrintToString(lines);
  const auto safety = std::find_if(sent.begin(), sent.end(), [](const std::string& s) {
    return StartsWith(s, "BACKUP DATABASE [shop]");
  });
  EXPECT_NE(safety->find("COPY_ONLY"), std::string::npos) << *safety;
  EXPECT_NE(safety->find("恢复前.bak'"), std::string::npos) << *safety;
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("安全备份") != std::string::npos && l.find("恢复前.bak") != std::string::npos;
  })) << "the safety backup is named: " << ::testing::PrintToString(lines);
  EXPECT_TRUE(IsWindowEnabled(Control(window, "BitBtn2"))) << "ready for another try";
}

}  // namespace
}  // namespace bakwyn
