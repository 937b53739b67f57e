// Bakwyn.exe as a whole, driven from a second process the way a user would
// drive it: first start, tray modes, exit, a second start, saved settings that
// back up at their minute, and a new user's first save with its error paths.
// The program talks to the stand-in server; backups go to drive T:, which the
// Wine prefix maps to <build>/testdrive and the stand-in is told about.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/driver/Remote.h"
#include "tests/support/TdsStandIn.h"

namespace bakwyn {
namespace {

namespace fs = std::filesystem;
using remote::FindControl;
using remote::Text;
using remote::Utf8;
using remote::Wide;

const std::string kStateKey = "Software\\Tarsel软件\\Oskavel\\窗体属性风格\\FrmMain";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kRunValue = "Bakwyn[Vorda免费软件]";
const std::string kConnectFailed =
    "无法联接到你所指定的SQL服务器.\r请检查你输入的各个参数的正确性!\r可能原因:\r1.  指定电脑上并没有安装SQL数据库;\r"
    "2.  SQL服务器还没有启动.\r3.  或者SA密码不正确.\r";
const std::string kHeader = "备份记录:";
const std::string kStarted = "开始备份数据库...";
std::string Succeeded(const std::string& path) { return "数据库备份成功!  [文件名:" + path + "]"; }

using bakwyn::remote::BuildDir;
using bakwyn::remote::ExePath;


std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 256;
  GetComputerNameW(name, &size);
  return Utf8(name);
}

// ---- The registry, 32-bit view, as the program's store keeps it ------------------

std::optional<std::string> ReadString(const std::string& keyPath, const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath).c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) !=
      ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0, bytes = 0;
  const std::wstring value = Wide(name);
  std::optional<std::string> result;
  if (RegQueryValueExW(key, value.c_str(), nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, value.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &bytes) ==
        ERROR_SUCCESS) {
      data.resize(wcsnlen(data.c_str(), data.size()));
      result = Utf8(data);
    }
  }
  RegCloseKey(key);
  return result;
}

void WriteString(const std::string& keyPath, const std::string& name, const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath).c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << keyPath;
  const std::wstring data = Wide(text);
  EXPECT_EQ(RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::optional<std::string> Stored(const std::string& control, const std::string& name) {
  return ReadString(kStateKey + "\\" + control, name);
}

void Store(const std::string& control, const std::string& name, const std::string& text) {
  WriteString(kStateKey + "\\" + control, name, text);
}

// The values under the control keys. Loading creates the keys themselves, so
// "nothing stored" means no values.
int StoredValueCount() {
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kStateKey).c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &root) != ERROR_SUCCESS)
    return 0;
  int count = 0;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(root, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, name, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) continue;
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    count += static_cast<int>(values);
    RegCloseKey(key);
  }
  RegCloseKey(root);
  return count;
}

// Both views, so that a first start is a first start whatever ran before. The
// Run value left behind would make the next wineboot start the program.
void ForgetStoredState() {
  const std::wstring parent = Wide(kStateKey.substr(0, kStateKey.find_last_of('\\')));
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
      RegDeleteTreeW(key, L"FrmMain");
      RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kRunKey).c_str(), 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, Wide(kRunValue).c_str());
      RegCloseKey(key);
    }
  }
}

// ---- Time: the coming minute and the names that go with it ----------------------

std::string Two(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", n);
  return text;
}

struct Minute {
  SYSTEMTIME at{};  // local time, seconds zero
  std::string hhnn() const { return Two(at.wHour) + ":" + Two(at.wMinute); }
  std::string fileName() const {
    return std::to_string(at.wYear) + "年" + Two(at.wMonth) + "月" + Two(at.wDay) + "日" + Two(at.wHour) + "时" +
           Two(at.wMinute) + "分.bak";
  }
  // Milliseconds from now until the minute begins (0 if it has).
  ULONGLONG msFromNow() const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME a, b;
    SystemTimeToFileTime(&at, &a);
    SystemTimeToFileTime(&now, &b);
    const auto ticks = [](FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return ticks(a) > ticks(b) ? (ticks(a) - ticks(b)) / 10000 : 0;
  }
};

// The next minute that leaves at least `leadSeconds` to set things up.
Minute ComingMinute(int leadSeconds) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME f;
  SystemTimeToFileTime(&now, &f);
  ULONGLONG t = (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  const ULONGLONG minute = 60ull * 10000000ull;
  t = (t / minute + 1) * minute;
  if (now.wSecond + leadSeconds >= 60) t += minute;
  f.dwHighDateTime = static_cast<DWORD>(t >> 32);
  f.dwLowDateTime = static_cast<DWORD>(t);
  Minute m;
  FileTimeToSystemTime(&f, &m.at);
  return m;
}

// "[YY-MM-DD HH:NN:SS]: text" -> "HH:NN" and text; nullopt for any other form.
struct LogLine {
  std::string date, hhnn, text;  // date as "YY-MM-DD"
};
std::optional<LogLine> ParseStamped(const std::string& line) {
  static const std::regex pattern(R"(\[(\d\d-\d\d-\d\d) (\d\d:\d\d):\d\d\]: ([\s\S]*))");
  std::smatch m;
  if (!std::regex_match(line, m, pattern)) return std::nullopt;
  return LogLine{m[1], m[2], m[3]};
}

std::string Today() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return Two(now.wYear % 100) + "-" + Two(now.wMonth) + "-" + Two(now.wDay);
}

// The texts of the stamped lines; an unstamped line is kept whole, marked.
std::vector<std::string> Texts(const std::vector<std::string>& lines) {
  std::vector<std::string> texts;
  for (const std::string& line : lines) {
    const auto parsed = ParseStamped(line);
    texts.push_back(parsed ? parsed->text : "(no stamp) " + line);
  }
  return texts;
}

// ---- The program, as another process sees it ----------------------------------

struct Process {
  PROCESS_INFORMATION pi{};
  bool start(const std::wstring& exe) {
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    return CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  }
  bool ended(DWORD timeoutMs) const { return WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0; }
  DWORD exitCode() const {
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  void close() {
    if (!pi.hProcess) return;
    if (!ended(0)) TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = {};
  }
  ~Process() { close(); }
};

// Whether the program's tray icon (window `main`, icon 1) exists: modifying an
// icon succeeds only when it does.
bool TrayIconShown(HWND main) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = main;
  data.uID = 1;
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

int MainWindowCount() {
  int count = 0;
  EnumWindows(
      [](HWND hwnd, LPARAM lp) -> BOOL {
        if (remote::ClassName(hwnd) == L"TFrmMain") ++*reinterpret_cast<int*>(lp);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  return count;
}

// Memory in the program's process, for list-view messages that carry pointers.
struct RemoteBuffer {
  HANDLE process = nullptr;
  void* address = nullptr;
  RemoteBuffer(DWORD pid, size_t size) {
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process) address = VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  }
  void write(const void* data, size_t size) { WriteProcessMemory(process, address, data, size, nullptr); }
  void read(void* data, size_t size, size_t offset = 0) {
    ReadProcessMemory(process, static_cast<char*>(address) + offset, data, size, nullptr);
  }
  ~RemoteBuffer() {
    if (address) VirtualFreeEx(process, address, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
};

struct Box {
  std::string text;
  bool okOnly = false;  // one button, OK: the program's code 1
};

class App {
 public:
  // Starts Bakwyn.exe and returns once its start-up is over.
  void start() {
    process_.close();
    ASSERT_TRUE(process_.start(ExePath())) << GetLastError();
    main_ = remote::WaitFor(&remote::FindMain, pid(), 20000);
    ASSERT_NE(main_, nullptr) << "the main window never appeared";
    // Start-up begins by writing the log's first line; after it, start-up
    // sends no messages, so one sent now is answered by the message loop.
    HWND pane = nullptr;
    const ULONGLONG end = GetTickCount64() + 20000;
    while (GetTickCount64() < end && !(pane = FindControl(main_, "mavMemo1"))) Sleep(20);
    ASSERT_NE(pane, nullptr);
    while (Text(pane).empty() && GetTickCount64() < end) Sleep(20);
    idle();
  }

  DWORD pid() const { return process_.pi.dwProcessId; }
  HWND main() const { return main_; }
  Process& process() { return process_; }

  // Returns once the program has handled what was posted to it before. A sent
  // message would not do: the thread takes sent messages before posted ones.
  // So a mark is posted behind them, a text limit of the read-only pane, and
  // read back until it arrives.
  void idle() {
    static WPARAM counter = 0x100000;
    HWND probe = FindControl(main_, "mavMemo2");
    ASSERT_NE(probe, nullptr);
    const WPARAM mark = ++counter;
    PostMessageW(probe, EM_SETLIMITTEXT, mark, 0);
    const ULONGLONG end = GetTickCount64() + 30000;
    while (!process_.ended(0) && static_cast<WPARAM>(SendMessageW(probe, EM_GETLIMITTEXT, 0, 0)) != mark &&
           GetTickCount64() < end)
      Sleep(10);
  }

  HWND control(const std::string& name, bool part = false) const {
    HWND hwnd = FindControl(main_, name, part);
    EXPECT_NE(hwnd, nullptr) << name;
    return hwnd;
  }
  std::string text(const std::string& name) const { return Text(control(name)); }
  bool checked(const std::string& name) const { return SendMessageW(control(name), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  bool enabled(const std::string& name) const { return IsWindowEnabled(control(name)) != FALSE; }
  bool visible() const { return IsWindowVisible(main_) != FALSE; }

  // Replaces the field's text keystroke by keystroke, as a user would.
  void type(const std::string& name, const std::string& text) {
    HWND edit = control(name);
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_CHAR, VK_BACK, 0);
    for (wchar_t c : Wide(text)) SendMessageW(edit, WM_CHAR, c, 0);
  }
  // A time editor takes digits only, over its mask "HH:MM".
  void typeTime(const std::string& name, const std::string& hhnn) {
    HWND edit = control(name);
    SendMessageW(edit, EM_SETSEL, 0, 0);
    for (char c : hhnn)
      if (c != ':') SendMessageW(edit, WM_CHAR, static_cast<WPARAM>(c), 0);
  }
  // As the button reports a click to its parent (a check box toggles first).
  // Posted: a click may open a modal box.
  void click(const std::string& name, bool part = false) {
    HWND button = control(name, part);
    if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX)
      SendMessageW(button, BM_SETCHECK, checked(name) ? BST_UNCHECKED : BST_CHECKED, 0);
    PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  }
  void menu(const std::string& name) {
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(bakwyn::form::FrmMainControlId(name), 0), 0);
    idle();
  }

  // The first-column texts of the database list, read in the program's memory.
  std::vector<std::string> listRows() const {
    HWND list = control("mavTree1");
    std::vector<std::string> rows;
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    RemoteBuffer remote(pid(), sizeof(LVITEMW) + 512 * sizeof(wchar_t));
    for (int i = 0; i < count; ++i) {
      LVITEMW item{};
      item.iSubItem = 0;
      item.cchTextMax = 512;
      item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.address) + sizeof(LVITEMW));
      remote.write(&item, sizeof item);
      const LRESULT length =
          SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote.address));
      std::wstring text(static_cast<size_t>(length), L'\0');
      remote.read(text.data(), text.size() * sizeof(wchar_t), sizeof(LVITEMW));
      rows.push_back(Utf8(text));
    }
    return rows;
  }

  // Clicks the row showing `text` with the mouse, at the middle of the row.
  void clickListRow(const std::string& text) {
    HWND list = control("mavTree1");
    const std::vector<std::string> rows = listRows();
    const auto found = std::find(rows.begin(), rows.end(), text);
    ASSERT_NE(found, rows.end()) << text;
    RemoteBuffer remote(pid(), sizeof(RECT));
    RECT rect{LVIR_BOUNDS, 0, 0, 0};
    remote.write(&rect, sizeof rect);
    ASSERT_TRUE(SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(found - rows.begin()),
                             reinterpret_cast<LPARAM>(remote.address)));
    remote.read(&rect, sizeof rect);
    POINT point{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    const LPARAM at = MAKELPARAM(point.x, point.y);
    // The pointer goes there too: the list may ask where it is.
    ClientToScreen(list, &point);
    SetCursorPos(point.x, point.y);
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
    idle();
  }

  // Waits for the program's message box, reads it and presses `button`.
  std::optional<Box> answer(int button) {
    HWND box = remote::WaitFor(&remote::FindMessageBox, pid(), 20000);
    if (!box) return std::nullopt;
    const auto shown = [&](int id) {
      HWND b = GetDlgItem(box, id);
      return b && IsWindowVisible(b);
    };
    Box result{remote::MessageBoxText(box), shown(IDOK) && !shown(IDCANCEL) && !shown(IDYES) && !shown(IDNO)};
    EXPECT_TRUE(remote::PressMessageBoxButton(box, button));
    idle();
    return result;
  }
  bool boxShown() const { return remote::FindMessageBox(pid()) != nullptr; }

  std::vector<std::string> log() const {
    const std::string all = Text(control("mavMemo1"));
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = all.find("\r\n", from)) != std::string::npos; from = at + 2)
      lines.push_back(all.substr(from, at - from));
    if (from < all.size()) lines.push_back(all.substr(from));
    return lines;
  }

  // Exit confirmed with Yes; true once the program has ended.
  bool quit() {
    PostMessageW(main_, WM_CLOSE, 0, 0);
    const auto box = answer(IDYES);
    EXPECT_TRUE(box);
    return process_.ended(20000);
  }

  ~App() {
    if (process_.pi.hProcess && !process_.ended(0)) {
      PostMessageW(main_, WM_CLOSE, 0, 0);
      if (HWND box = remote::WaitFor(&remote::FindMessageBox, pid(), 5000)) remote::PressMessageBoxButton(box, IDYES);
      process_.ended(10000);
    }
  }

 private:
  Process process_;
  HWND main_ = nullptr;
};

// ---- Fixture ------------------------------------------------------------------

class WinE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetStoredState();
    standIn_.reset();
    ASSERT_EQ(test::PointDriverAtStandIn(standIn_.tdsPort()), "");
    const char* bin = std::getenv("BAKWYN_BINARY_DIR");
    ASSERT_NE(bin, nullptr);
    // The stand-in is a Unix process: T: is the Unix folder the prefix maps it to.
    standIn_.setDrives({{"T", std::string(bin) + "/testdrive"}});
    fs::remove_all(fs::path(L"T:\\e2e"));
  }
  void TearDown() override {
    app_.reset();
    ForgetStoredState();
    std::error_code ignored;
    fs::remove_all(fs::path(L"T:\\e2e"), ignored);
  }

  App& app() {
    if (!app_) app_ = std::make_unique<App>();
    return *app_;
  }

  // Waits for the minute, then for the backup file; true when it appeared.
  static bool WaitForBackup(const Minute& minute, const std::string& path) {
    Sleep(static_cast<DWORD>(minute.msFromNow()));
    const ULONGLONG end = GetTickCount64() + 30000;
    while (GetTickCount64() < end) {
      if (fs::is_regular_file(fs::path(Wide(path)))) return true;
      Sleep(100);
    }
    return false;
  }
  // Waits until the log holds `count` lines.
  std::vector<std::string> WaitForLog(size_t count) {
    const ULONGLONG end = GetTickCount64() + 20000;
    std::vector<std::string> lines = app().log();
    while (lines.size() < count && GetTickCount64() < end) {
      Sleep(50);
      lines = app().log();
    }
    return lines;
  }

  test::TdsStandIn standIn_;
  std::unique_ptr<App> app_;
};

TEST_F(WinE2E, FirstStartWaitsInTheTrayAndRewritesItsAutostartPath) {
  // A path from an older installation, which every start corrects.
  WriteString(kRunKey, kRunValue, "C:\\Program Files\\旧版本\\Bakwyn.exe");
  app().start();

  EXPECT_FALSE(app().visible());
  EXPECT_TRUE(TrayIconShown(app().main()));
  EXPECT_EQ(app().log(), std::vector<std::string>{kHeader});
  EXPECT_EQ(ReadString(kRunKey, kRunValue), Utf8(ExePath()));
  // Nothing stored, nothing armed: no backup, not even a login.
  EXPECT_TRUE(standIn_.record().logins.empty());
  EXPECT_EQ(StoredValueCount(), 0);
}

TEST_F(WinE2E, TrayModesSwitchAndExitNoKeepsTheMode) {
  App& a = app();
  a.start();
  ASSERT_TRUE(TrayIconShown(a.main()));

  // The settings window replaces the tray icon.
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  // Opening the window again keeps what the user typed; the server is always this computer.
  a.type("mEdt2", "ELSEWHERE");
  a.type("mEdt3", "备份员");
  a.type("mavBEdit2", "T:\\别处");
  PostMessageW(a.main(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  a.idle();
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));

  // A double click on the icon, as the shell reports it (version 4).
  PostMessageW(a.main(), WM_APP + 1, MAKEWPARAM(10, 10), MAKELPARAM(WM_LBUTTONDBLCLK, 1));
  a.idle();
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  EXPECT_EQ(a.text("mEdt3"), "备份员");
  EXPECT_EQ(a.text("mavBEdit2"), "T:\\别处");

  // No keeps the settings window...
  a.click("BitBtn2");
  auto box = a.answer(IDNO);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "确信要退出备份程序?");
  EXPECT_FALSE(a.process().ended(0));
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));

  // ...and the tray, after "伺服运行".
  a.click("BitBtn3");
  a.idle();
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));
  a.menu("N2");
  box = a.answer(IDNO);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "确信要退出备份程序?");
  EXPECT_FALSE(a.process().ended(0));
  EXPECT_FALSE(a.visible());
  EXPECT_TRUE(TrayIconShown(a.main()));
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  a.click("BitBtn3");
  a.idle();

  // Yes ends the program. (Whether it took its icon along cannot be seen from
  // here: Wine's tray drops the icons of windows that are gone by itself.)
  ASSERT_TRUE(a.quit());
  EXPECT_EQ(a.process().exitCode(), 0u);
}

TEST_F(WinE2E, SecondStartShowsTheRunningWindowAndEnds) {
  App& a = app();
  a.start();
  ASSERT_FALSE(a.visible());

  Process second;
  ASSERT_TRUE(second.start(ExePath()));
  ASSERT_TRUE(second.ended(20000)) << "the second start kept running";
  EXPECT_EQ(second.exitCode(), 0u);
  a.idle();
  EXPECT_TRUE(a.visible());
  EXPECT_FALSE(TrayIconShown(a.main()));
  EXPECT_EQ(MainWindowCount(), 1);
  EXPECT_FALSE(a.process().ended(0));
}

TEST_F(WinE2E, SavedSettingsAreLoadedAppliedAndBackUpAtTheirMinute) {
  const std::string user = "备份员", password = "旧的明文'pw", database = "账务 [2026]'";
  standIn_.setUsers({{user, password}});
  standIn_.setDatabases({"master", database});
  const Minute minute = ComingMinute(10);
  // The store's own format; the password in clear, as older versions kept it.
  Store("mEdt2", "TEXT", ComputerName());
  Store("mEdt3", "TEXT", user);
  Store("mEdt4", "TEXT", password);
  Store("mEdt1", "TEXT", database);
  Store("mavBEdit2", "TEXT", "T:\\e2e\\已存");
  Store("dxCheckEdit1", "CHECKED", "0");
  Store("dxCheckEdit2", "CHECKED", "-1");
  Store("dxTimeEdit2", "TEXT", minute.hhnn());
  Store("dxCheckEdit3", "CHECKED", "0");
  Store("dxTimeEdit3", "TEXT", "23:59");
  Store("dxCheckEdit5", "CHECKED", "0");
  Store("mavSpinEdit1", "VALUE", "7");

  App& a = app();
  a.start();
  EXPECT_FALSE(a.visible());
  EXPECT_EQ(a.log().front(), kHeader);
  EXPECT_EQ(a.text("mEdt3"), user);
  EXPECT_EQ(a.text("mEdt1"), database);
  EXPECT_EQ(a.text("mavBEdit2"), "T:\\e2e\\已存\\") << "applied with its separator";
  EXPECT_TRUE(a.checked("dxCheckEdit2"));
  EXPECT_TRUE(a.enabled("dxTimeEdit2"));
  EXPECT_EQ(a.text("dxTimeEdit2"), minute.hhnn());
  EXPECT_FALSE(a.checked("dxCheckEdit3"));
  EXPECT_FALSE(a.enabled("dxTimeEdit3"));
  EXPECT_EQ(a.text("dxTimeEdit3"), "23:59");
  EXPECT_FALSE(a.enabled("dxTimeEdit1"));
  EXPECT_EQ(a.text("mavSpinEdit1"), "7");
  EXPECT_FALSE(a.enabled("mavSpinEdit1"));

  // Opening the window keeps the saved login and folder.
  a.menu("N1");
  EXPECT_TRUE(a.visible());
  EXPECT_EQ(a.text("mEdt2"), ComputerName());
  EXPECT_EQ(a.text("mEdt3"), user);
  EXPECT_EQ(a.text("mavBEdit2"), "T:\\e2e\\已存\\");

  const std::string path = "T:\\e2e\\已存\\" + minute.fileName();
  ASSERT_TRUE(WaitForBackup(minute, path)) << path;
  const std::vector<std::string> lines = WaitForLog(3);
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{"(no stamp) " + kHeader, kStarted, Succeeded(path)}));
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto line = ParseStamped(lines[i]);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->hhnn, minute.hhnn()) << "not run at its minute";
  }
  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.logins.size(), 1u);
  EXPECT_EQ(record.logins[0].user, user);
  EXPECT_EQ(record.logins[0].password, password);
  EXPECT_TRUE(record.logins[0].accepted);
  ASSERT_EQ(record.statements.size(), 1u);
  EXPECT_EQ(record.statements[0].database, database);
  EXPECT_EQ(record.statements[0].disks, std::vector<std::string>{path});
}

TEST_F(WinE2E, NewUserSavesOnceAndTheBackupRunsAndSurvivesARestart) {
  const std::string user = "备份员", password = "p;w'{x}", folder = "T:\\e2e\\新用户 'a'";
  const std::vector<std::string> databases = {"master", "库存'] {x};", "shop"};
  standIn_.setUsers({{user, password}});
  standIn_.setDatabases(databases);

  App& a = app();
  a.start();
  EXPECT_FALSE(a.visible());
  a.menu("N1");
  ASSERT_TRUE(a.visible());
  const Minute minute = ComingMinute(20);

  a.type("mEdt3", user);
  a.type("mEdt4", password);
  a.type("mavBEdit2", folder);
  // The drop-down fills from the server; a click on a row picks it.
  a.click("mEdt1", true);
  a.idle();
  EXPECT_TRUE(IsWindowVisible(a.control("Panel7")));
  // The server lists them by name.
  EXPECT_EQ(a.listRows(), (std::vector<std::string>{"master", "shop", databases[1]}));
  a.clickListRow(databases[1]);
  EXPECT_EQ(a.text("mEdt1"), databases[1]);
  EXPECT_FALSE(IsWindowVisible(a.control("Panel7")));

  a.click("dxCheckEdit1");
  a.idle();
  EXPECT_TRUE(a.enabled("dxTimeEdit1"));
  a.typeTime("dxTimeEdit1", minute.hhnn());
  EXPECT_EQ(a.text("dxTimeEdit1"), minute.hhnn());

  a.click("BitBtn1");
  a.idle();
  EXPECT_FALSE(a.boxShown());
  const std::vector<std::string> saved = a.log();
  ASSERT_EQ(saved.size(), 2u) << ::testing::PrintToString(saved);
  for (const auto& [line, text] : {std::pair{saved[0], "数据库连接成功!"}, std::pair{saved[1], "保存成功!"}}) {
    const auto parsed = ParseStamped(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->text, text);
    EXPECT_EQ(parsed->date, Today());
  }

  // The registry, read back on its own; the password not in clear.
  EXPECT_EQ(Stored("mEdt2", "TEXT"), ComputerName());
  EXPECT_EQ(Stored("mEdt3", "TEXT"), user);
  EXPECT_EQ(Stored("mEdt1", "TEXT"), databases[1]);
  EXPECT_EQ(Stored("mavBEdit2", "TEXT"), folder);
  EXPECT_EQ(Stored("dxCheckEdit1", "CHECKED"), "-1");
  EXPECT_EQ(Stored("dxTimeEdit1", "TEXT"), minute.hhnn());
  const std::string storedPassword = Stored("mEdt4", "TEXT").value_or("");
  EXPECT_FALSE(storedPassword.empty());
  EXPECT_EQ(storedPassword.find(password), std::string::npos) << storedPassword;

  const std::string path = folder + "\\" + minute.fileName();
  ASSERT_TRUE(WaitForBackup(minute, path)) << path;
  const std::vector<std::string> lines = WaitForLog(4);
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{"数据库连接成功!", "保存成功!", kStarted, Succeeded(path)}));
  test::StandInRecord record = standIn_.record();
  ASSERT_FALSE(record.statements.empty());
  EXPECT_EQ(record.statements.back().database, databases[1]);
  EXPECT_EQ(record.statements.back().disks, std::vector<std::string>{path});

  // Ended and started again: the settings are back, and armed: start-up
  // clears the slots' date stamps, so a start within the slot's minute runs it
  // again, with the password read back from its protected form.
  const size_t statementsBefore = record.statements.size();
  ASSERT_TRUE(a.quit());
  a.start();
  EXPECT_FALSE(a.visible());
  EXPECT_EQ(a.text("mEdt3"), user);
  EXPECT_EQ(a.text("mEdt1"), databases[1]);
  EXPECT_EQ(a.text("mavBEdit2"), folder + "\\");
  EXPECT_TRUE(a.checked("dxCheckEdit1"));
  EXPECT_TRUE(a.enabled("dxTimeEdit1"));
  EXPECT_EQ(a.text("dxTimeEdit1"), minute.hhnn());
  EXPECT_EQ(Texts(WaitForLog(3)), (std::vector<std::string>{"(no stamp) " + kHeader, kStarted, Succeeded(path)}));
  record = standIn_.record();
  ASSERT_EQ(record.statements.size(), statementsBefore + 1);
  EXPECT_EQ(record.statements.back().database, databases[1]);
  EXPECT_EQ(record.logins.back().password, password);
  EXPECT_TRUE(record.logins.back().accepted);
}

struct SaveErrorCase {
  const char* name;
  std::string user, password, database, folder;
  bool serverUp;
  std::string message;
  std::vector<std::string> log;  // texts after the save
};

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(WinE2E, EachFailedSaveShowsItsBoxAndStoresNothing) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const SaveErrorCase cases[] = {
      {"stopped server", "sa", "pw", "shop", "T:\\e2e\\x", false, kConnectFailed, {}},
      {"wrong password", "sa", "nope';{}", "shop", "T:\\e2e\\x", true, kConnectFailed, {}},
      {"database not listed", "sa", "pw", "无此库'];{x}", "T:\\e2e\\x", true, "SQL数据库名称无此库'];{x}不存在!",
       {"数据库连接成功!"}},
      {"long database name not listed", "sa", "pw", Repeat("库", 300), "T:\\e2e\\x", true,
       "SQL数据库名称" + Repeat("库", 300) + "不存在!", {"数据库连接成功!"}},
      {"blank user", " \t ", "pw", "shop", "T:\\e2e\\x", true, "SQL数据库用户名不存在!\r通常为:sa", {}},
      {"blank database", "sa", "pw", "  ", "T:\\e2e\\x", true, "SQL数据库名称不存在!", {}},
      {"blank folder", "sa", "pw", "shop", " ", true, "请指定SQL数据库备份目录!", {"数据库连接成功!"}},
      {"blank folder, stopped server", "sa", "pw", "shop", "", false, kConnectFailed, {}},
  };
  App& a = app();
  a.start();
  a.menu("N1");
  ASSERT_TRUE(a.visible());
  for (const SaveErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    standIn_.listen(c.serverUp);
    a.type("mEdt3", c.user);
    a.type("mEdt4", c.password);
    a.type("mEdt1", c.database);
    a.type("mavBEdit2", c.folder);
    // Something for the save to clear.
    SendMessageW(a.control("mavMemo1"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"earlier\r\n"));
    a.click("BitBtn1");
    const auto box = a.answer(IDOK);
    ASSERT_TRUE(box) << "no message box";
    EXPECT_EQ(box->text, c.message);
    EXPECT_TRUE(box->okOnly);
    EXPECT_EQ(Texts(a.log()), c.log);
    EXPECT_EQ(StoredValueCount(), 0);
  }
  standIn_.listen(true);
}

TEST_F(WinE2E, RefreshWithAWrongPasswordEmptiesTheListSilently) {
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop", "库存"});
  App& a = app();
  a.start();
  a.menu("N1");
  a.type("mEdt3", "sa");
  a.type("mEdt4", "pw");
  a.click("SpeedButton1");
  a.idle();
  ASSERT_EQ(a.listRows(), (std::vector<std::string>{"master", "shop", "库存"}));
  const std::vector<std::string> before = a.log();

  a.type("mEdt4", "wrong");
  a.click("SpeedButton1");
  a.idle();
  EXPECT_TRUE(a.listRows().empty());
  EXPECT_FALSE(a.boxShown());
  EXPECT_EQ(a.log(), before);
  const test::StandInRecord record = standIn_.record();
  ASSERT_EQ(record.logins.size(), 2u);
  EXPECT_FALSE(record.logins[1].accepted);
}

}  // namespace
}  // namespace bakwyn
