#include "tests/support/ExeHarness.h"

#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace bakwyn::exe {

using remote::FindControl;
using remote::Text;

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 256;
  GetComputerNameW(name, &size);
  return Utf8(name);
}

// ---- Registry ----------------------------------------------------------------------

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

bool WriteRawString(const std::string& keyPath, const std::string& name, const std::wstring& data) {
  HKEY key = nullptr;
  const LSTATUS opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath).c_str(), 0, nullptr, 0,
                                         KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (opened != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot create " << keyPath << ": " << opened;
    return false;
  }
  // The size counts every character of `data` and the terminator, so an
  // embedded NUL is stored as it is.
  const LSTATUS written =
      RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (written != ERROR_SUCCESS) ADD_FAILURE() << "cannot write " << keyPath << "\\" << name << ": " << written;
  return written == ERROR_SUCCESS;
}

bool WriteString(const std::string& keyPath, const std::string& name, const std::string& text) {
  return WriteRawString(keyPath, name, Wide(text));
}

std::optional<std::string> Stored(const std::string& control, const std::string& name) {
  return ReadString(kStateKey + "\\" + control, name);
}

bool Store(const std::string& control, const std::string& name, const std::string& text) {
  return WriteString(kStateKey + "\\" + control, name, text);
}

bool StoreConnection(const std::string& server, const std::string& user, const std::string& password,
                     const std::string& database, const std::string& folder) {
  return Store("mEdt2", "TEXT", server) && Store("mEdt3", "TEXT", user) && Store("mEdt4", "TEXT", password) &&
         Store("mEdt1", "TEXT", database) && Store("mavBEdit2", "TEXT", folder);
}

bool StoreSlot(int slot, const std::string& hhnn) {
  return Store("dxCheckEdit" + std::to_string(slot), "CHECKED", "-1") &&
         Store("dxTimeEdit" + std::to_string(slot), "TEXT", hhnn);
}

bool StoreRaw(const std::string& control, const std::string& name, const std::wstring& data) {
  return WriteRawString(kStateKey + "\\" + control, name, data);
}

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

bool ForgetStoredStateRestoreTestOff() {
  ForgetStoredState();
  return WriteString(kStatusKey, "RestoreTestEvery", "0");
}

void ForgetStoredState() {
  const std::wstring parent = Wide(kStateKey.substr(0, kStateKey.find_last_of('\\')));
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
      RegDeleteTreeW(key, L"FrmMain");
      RegCloseKey(key);
    }
    // What the program keeps beside the control states: the last backup, the
    // dates the slots last ran on (a slot stamped today by an earlier test
    // would not run again today), the second folder.
    const std::wstring status = Wide(kStatusKey.substr(0, kStatusKey.find_last_of('\\')));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, status.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
      RegDeleteTreeW(key, Wide(kStatusKey.substr(kStatusKey.find_last_of('\\') + 1)).c_str());
      RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kRunKey).c_str(), 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, Wide(kRunValue).c_str());
      RegCloseKey(key);
    }
  }
}

namespace {

const wchar_t kInstanceNames[] = L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\Instance Names\\SQL";
const wchar_t kDefaultInstance[] = L"MSSQLSERVER";

}  // namespace

InstalledSqlServer::InstalledSqlServer() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstanceNames, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot list an SQL Server instance";
    return;
  }
  wchar_t data[256] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, kDefaultInstance, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) == ERROR_SUCCESS &&
      type == REG_SZ)
    before_ = data;
  const std::wstring entry = L"MSSQL16.MSSQLSERVER";
  RegSetValueExW(key, kDefaultInstance, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.c_str()),
                 static_cast<DWORD>((entry.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

InstalledSqlServer::~InstalledSqlServer() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstanceNames, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return;
  if (before_)
    RegSetValueExW(key, kDefaultInstance, 0, REG_SZ, reinterpret_cast<const BYTE*>(before_->c_str()),
                   static_cast<DWORD>((before_->size() + 1) * sizeof(wchar_t)));
  else
    RegDeleteValueW(key, kDefaultInstance);
  RegCloseKey(key);
}

std::string LaneDirectory() {
  // The runner names the lane (scripts/wine-run); without it, the build tree is lane 1.
  for (const char* name : {"BAKWYN_LANE_DIR", "BAKWYN_BINARY_DIR"})
    if (const char* dir = std::getenv(name); dir && *dir) return dir;
  return {};
}

std::string DefaultBackupFolder() {
  return GetDriveTypeW(L"D:\\") == DRIVE_FIXED ? "D:\\数据库自动备份目录" : "C:\\数据库自动备份目录";
}

// ---- Time ----------------------------------------------------------------------------

std::string Two(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", n);
  return text;
}

namespace {

ULONGLONG Ticks(FILETIME f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

}  // namespace

std::string Minute::hhnn() const { return Two(at.wHour) + ":" + Two(at.wMinute); }

std::string Minute::fileName() const {
  return std::to_string(at.wYear) + "年" + Two(at.wMonth) + "月" + Two(at.wDay) + "日" + Two(at.wHour) + "时" +
         Two(at.wMinute) + "分.bak";
}

ULONGLONG Minute::msFromNow() const {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME a, b;
  SystemTimeToFileTime(&at, &a);
  SystemTimeToFileTime(&now, &b);
  return Ticks(a) > Ticks(b) ? (Ticks(a) - Ticks(b)) / 10000 : 0;
}

Minute ComingMinute(int leadSeconds) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME f;
  SystemTimeToFileTime(&now, &f);
  ULONGLONG t = Ticks(f);
  const ULONGLONG minute = 60ull * 10000000ull;
  t = (t / minute + 1) * minute;
  if (now.wSecond + leadSeconds >= 60) t += minute;
  f.dwHighDateTime = static_cast<DWORD>(t >> 32);
  f.dwLowDateTime = static_cast<DWORD>(t);
  Minute m;
  FileTimeToSystemTime(&f, &m.at);
  return m;
}

std::string FarFromNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return Two((now.wHour + 12) % 24) + ":30";
}

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

std::vector<std::string> Texts(const std::vector<std::string>& lines) {
  std::vector<std::string> texts;
  for (const std::string& line : lines) {
    const auto parsed = ParseStamped(line);
    texts.push_back(parsed ? parsed->text : "(no stamp) " + line);
  }
  return texts;
}

// ---- Waiting ---------------------------------------------------------------------------

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void ExpectVerifiedBackup(const std::vector<test::StandInStatement>& statements, size_t first,
                          const std::string& database, const std::string& path, int position) {
  ASSERT_GE(statements.size(), first + 3) << "the backup and its verification";
  const test::StandInStatement& backup = statements[first];
  const test::StandInStatement& header = statements[first + 1];
  const test::StandInStatement& verify = statements[first + 2];
  EXPECT_EQ(backup.text.rfind("BACKUP DATABASE ", 0), 0u) << backup.text;
  EXPECT_EQ(backup.database, database);
  const std::string checksum = ",  CHECKSUM";
  EXPECT_TRUE(backup.text.size() > checksum.size() &&
              backup.text.compare(backup.text.size() - checksum.size(), checksum.size(), checksum) == 0)
      << "written with checksums: " << backup.text;
  EXPECT_EQ(header.text.rfind("RESTORE HEADERONLY FROM DISK = ", 0), 0u) << header.text;
  EXPECT_EQ(verify.text.rfind("RESTORE VERIFYONLY FROM DISK = ", 0), 0u) << verify.text;
  const std::string options = " WITH FILE = " + std::to_string(position) + ", CHECKSUM";
  EXPECT_TRUE(verify.text.size() > options.size() &&
              verify.text.compare(verify.text.size() - options.size(), options.size(), options) == 0)
      << verify.text;
  for (const test::StandInStatement* s : {&backup, &header, &verify})
    EXPECT_EQ(s->disks, std::vector<std::string>{path}) << s->text;
}

bool RecordedAsVerified(const std::string& path, int position) {
  const size_t slash = path.rfind('\\');
  const std::string record =
      ReadWholeFile(std::filesystem::path(Wide(path.substr(0, slash + 1) + kVerifiedRecord)));
  const std::string line = path.substr(slash + 1) + "\t" + std::to_string(position) + "\t";
  return record.rfind(line, 0) == 0 || record.find("\n" + line) != std::string::npos;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= end) return done();
    Sleep(stepMs);
  }
}

bool WaitForBackupFile(const Minute& minute, const std::wstring& path) {
  Sleep(static_cast<DWORD>(minute.msFromNow()));
  return WaitUntil([&] { return std::filesystem::is_regular_file(std::filesystem::path(path)); }, 30000, 100);
}

// ---- Processes -------------------------------------------------------------------------

bool Process::start(const std::wstring& exe, const std::wstring& args, HANDLE out) {
  close();
  std::wstring cmd = L"\"" + exe + L"\"";
  if (!args.empty()) cmd += L" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (out) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  return CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, out != nullptr, 0, nullptr, nullptr, &si, &pi) !=
         FALSE;
}

bool Process::ended(DWORD timeoutMs) const {
  return pi.hProcess && WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

DWORD Process::exitCode() const {
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  return code;
}

void Process::close() {
  if (!pi.hProcess) return;
  if (!ended(0)) TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  pi = {};
}

std::string RunDriver(const std::wstring& args, DWORD* exitCode) {
  wchar_t tmp[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  GetTempFileNameW(tmp, L"drv", 0, file);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
  DWORD code = 99;
  {
    Process driver;
    const bool started = driver.start(remote::DriverPath(), args, out);
    CloseHandle(out);
    if (started && driver.ended(20000)) code = driver.exitCode();
  }
  if (exitCode) *exitCode = code;
  std::ifstream in(file, std::ios::binary);
  std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileW(file);
  return printed;
}

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

// ---- The program -------------------------------------------------------------------------

namespace {

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

// A visible dialog box of process `pid` other than the exit question's "注意".
HWND FindOtherDialog(DWORD pid) {
  return remote::FindTopLevel(pid, [](HWND hwnd) {
    return remote::ClassName(hwnd) == L"#32770" && IsWindowVisible(hwnd) && Text(hwnd) != "注意";
  });
}

Box ReadBox(HWND box) {
  const auto shown = [&](int id) {
    HWND b = GetDlgItem(box, id);
    return b && IsWindowVisible(b);
  };
  return Box{Text(box), remote::MessageBoxText(box), shown(IDOK) && !shown(IDCANCEL) && !shown(IDYES) && !shown(IDNO)};
}

}  // namespace

App::~App() {
  if (process_.pi.hProcess && !process_.ended(0)) {
    dismissOtherBox();
    PostMessageW(main_, WM_CLOSE, 0, 0);
    if (HWND box = remote::WaitFor(&remote::FindMessageBox, pid(), 5000)) remote::PressMessageBoxButton(box, IDYES);
    process_.ended(10000);
  }
}

void App::start() {
  process_.close();
  main_ = nullptr;
  ASSERT_TRUE(process_.start(remote::ExePath())) << GetLastError();
  main_ = remote::WaitFor(&remote::FindMain, pid(), 20000);
  ASSERT_NE(main_, nullptr) << "the main window never appeared";
  // Start-up runs before the message loop and asks for no messages of its own
  // (it only waits on the shell for its tray icon): the process is first idle
  // when its loop waits for input, that is, when start-up is over.
  ASSERT_EQ(WaitForInputIdle(process_.pi.hProcess, 30000), 0u) << "start-up did not end";
}

// Returns once the program has handled what was posted to it before. A sent
// message would not do: the thread takes sent messages before posted ones.
// So a mark is posted behind them, a text limit of the read-only pane, and
// read back until it arrives.
//
// Until the window is first shown it has no controls, and nothing posted to it
// shows when it arrives. Then a sent message is all there is, and it may be
// answered before what was posted: callers wait for what they posted to show
// (menu("N1") waits for the window).
void App::idle() {
  static WPARAM counter = 0x100000;
  HWND probe = FindControl(main_, "mavMemo2");
  if (!probe) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &ignored);
    return;
  }
  const WPARAM mark = ++counter;
  PostMessageW(probe, EM_SETLIMITTEXT, mark, 0);
  const ULONGLONG end = GetTickCount64() + 30000;
  while (!process_.ended(0) && static_cast<WPARAM>(SendMessageW(probe, EM_GETLIMITTEXT, 0, 0)) != mark &&
         GetTickCount64() < end)
    Sleep(10);
}

HWND App::control(const std::string& name, bool part) const {
  HWND hwnd = FindControl(main_, name, part);
  EXPECT_NE(hwnd, nullptr) << name;
  return hwnd;
}

std::string App::text(const std::string& name) const { return Text(control(name)); }

bool App::checked(const std::string& name) const {
  return SendMessageW(control(name), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool App::enabled(const std::string& name) const { return IsWindowEnabled(control(name)) != FALSE; }

bool App::visible() const { return IsWindowVisible(main_) != FALSE; }

void App::type(const std::string& name, const std::string& text) {
  HWND edit = control(name);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  SendMessageW(edit, WM_CHAR, VK_BACK, 0);
  for (wchar_t c : Wide(text)) SendMessageW(edit, WM_CHAR, c, 0);
}

void App::typeAt(const std::string& name, int caret, const std::string& chars) {
  HWND edit = control(name);
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(caret), caret);
  for (wchar_t c : Wide(chars)) SendMessageW(edit, WM_CHAR, c, 0);
}

void App::typeTime(const std::string& name, const std::string& hhnn) {
  std::string digits;
  for (char c : hhnn)
    if (c != ':') digits += c;
  typeAt(name, 0, digits);
}

void App::setText(const std::string& name, const std::string& text) {
  const std::wstring wide = Wide(text);
  SendMessageW(control(name), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void App::click(const std::string& name, bool part) {
  HWND button = control(name, part);
  if ((GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX)
    SendMessageW(button, BM_SETCHECK, checked(name) ? BST_UNCHECKED : BST_CHECKED, 0);
  PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}

void App::clickLabel(const std::string& name) {
  HWND label = control(name);
  PostMessageW(GetParent(label), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(label), STN_CLICKED),
               reinterpret_cast<LPARAM>(label));
  idle();
}

void App::menu(const std::string& name) {
  PostMessageW(main_, WM_COMMAND, MAKEWPARAM(form::FrmMainControlId(name), 0), 0);
  // "设置界面" shows the window, which may build its controls first.
  if (name == "N1") WaitUntil([&] { return visible() && FindControl(main_, "mavMemo2"); }, 20000, 20);
  idle();
}

void App::focus(const std::string& name) {
  HWND target = control(name);
  PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  idle();
}

HWND App::focused() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(main_, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

std::vector<std::string> App::listRows() const {
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

void App::clickListRow(const std::string& text) {
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

std::optional<Box> App::answer(int button) {
  HWND box = remote::WaitFor(&remote::FindMessageBox, pid(), 20000);
  if (!box) return std::nullopt;
  Box result = ReadBox(box);
  EXPECT_TRUE(remote::PressMessageBoxButton(box, button));
  idle();
  return result;
}

bool App::boxShown() const { return remote::FindMessageBox(pid()) != nullptr; }

std::optional<Box> App::dismissOtherBox() {
  HWND box = FindOtherDialog(pid());
  if (!box) return std::nullopt;
  Box result = ReadBox(box);
  for (int id : {IDOK, IDCANCEL, IDNO})
    if (remote::PressMessageBoxButton(box, id)) break;
  WaitUntil([&] { return !IsWindowVisible(box); }, 5000, 20);
  return result;
}

std::vector<std::string> MemoLines(HWND memo) {
  const std::string all = Text(memo);
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at; (at = all.find("\r\n", from)) != std::string::npos; from = at + 2)
    lines.push_back(all.substr(from, at - from));
  if (from < all.size()) lines.push_back(all.substr(from));
  return lines;
}

std::vector<std::string> App::log() const { return MemoLines(control("mavMemo1")); }

std::vector<std::string> App::waitForLog(size_t count) {
  std::vector<std::string> lines;
  WaitUntil(
      [&] {
        lines = log();
        return lines.size() >= count;
      },
      20000);
  return lines;
}

std::vector<std::string> App::waitForLogText(const std::string& text, DWORD timeoutMs) {
  std::vector<std::string> lines;
  WaitUntil(
      [&] {
        lines = log();
        const std::vector<std::string> texts = Texts(lines);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
      },
      timeoutMs);
  return lines;
}

bool App::quit() {
  PostMessageW(main_, WM_CLOSE, 0, 0);
  const auto box = answer(IDYES);
  EXPECT_TRUE(box) << "no exit question";
  if (box) EXPECT_EQ(box->text, kExitQuestion);
  return process_.ended(20000);
}

// ---- Fixture ---------------------------------------------------------------------------

void ProgramTest::SetUp() {
  ASSERT_TRUE(ForgetStoredStateRestoreTestOff());
  standIn_.reset();
  ASSERT_EQ(test::PointDriverAtStandIn(standIn_.tdsPort()), "");
  const std::string lane = LaneDirectory();
  ASSERT_NE(lane, "");
  // The prefix's T: and its fixed disk D:, where the default backup folder lies.
  standIn_.setDrives({{"T", lane + "/testdrive"}, {"D", lane + "/ddrive"}});
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(Wide(kFolder)), ignored);
}

void ProgramTest::TearDown() {
  app_.reset();
  standIn_.listen(true);
  ForgetStoredState();
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(Wide(kFolder)), ignored);
}

}  // namespace bakwyn::exe
