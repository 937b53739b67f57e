#pragma once
// Finding and reading the program's window from another process. Child
// windows have no names, so a control is found by the control ID that the
// window's table (form/FrmMainIds.h) gives its name. Header-only: the driver and
// the tests that play the second process share it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "form/FrmMainIds.h"

namespace bakwyn::remote {

inline std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

inline std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The build tree of the running test program, which sits at <build>/tests/<folder>/.
inline std::wstring BuildDir() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  for (int i = 0; i < 3; ++i) path = path.substr(0, path.find_last_of(L"\\/"));
  return path;
}

inline std::wstring ExePath() { return BuildDir() + L"\\app\\Bakwyn.exe"; }
inline std::wstring DriverPath() { return BuildDir() + L"\\tests\\driver\\bakwyn-driver.exe"; }

// WM_GETTEXT crosses processes; GetWindowTextW does not read another process's controls.
inline std::string Text(HWND hwnd) {
  const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return Utf8(text);
}

inline std::wstring ClassName(HWND hwnd) {
  wchar_t name[128] = {};
  GetClassNameW(hwnd, name, 128);
  return name;
}

// The first top-level window of process `pid` (of any process for 0) that `match` accepts.
template <typename Match>
HWND FindTopLevel(DWORD pid, Match match) {
  struct Search {
    DWORD pid;
    Match* match;
    HWND found;
  } search{pid, &match, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        if ((s->pid == 0 || owner == s->pid) && (*s->match)(hwnd)) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The main window; of one process when pid is not 0.
inline HWND FindMain(DWORD pid = 0) {
  return FindTopLevel(pid, [](HWND hwnd) { return ClassName(hwnd) == L"TFrmMain"; });
}

inline HWND WaitFor(HWND (*find)(DWORD), DWORD pid, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (HWND hwnd = find(pid)) return hwnd;
    if (GetTickCount64() >= end) return nullptr;
    Sleep(20);
  }
}

// The window with control ID `id` among the descendants of the main window.
inline HWND FindById(HWND main, int id) {
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  EnumChildWindows(
      main,
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        if (GetDlgCtrlID(hwnd) != s->id) return TRUE;
        s->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A named control; `part` asks for the second window of a two-window control
// (the button of an edit with a button, the up-down of a spin editor).
inline HWND FindControl(HWND main, std::string_view name, bool part = false) {
  const int id = form::FrmMainControlId(name);
  if (id == 0) return nullptr;
  return FindById(main, part ? id + form::kPartIdOffset : id);
}

// Memory in another process, for the list view's messages that take a pointer.
class RemoteMemory {
 public:
  RemoteMemory(DWORD pid, size_t size)
      : process_(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid)),
        address_(process_ ? VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE) : nullptr) {}
  ~RemoteMemory() {
    if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;
  void* address() const { return address_; }
  bool write(const void* data, size_t size, size_t offset = 0) {
    return address_ && WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
  }
  bool read(void* data, size_t size, size_t offset = 0) {
    return address_ && ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
  }

 private:
  HANDLE process_;
  void* address_;
};

// Every row of a report-style list view of process `pid`: its columns' texts.
inline std::vector<std::vector<std::string>> ListViewRows(HWND list, DWORD pid) {
  std::vector<std::vector<std::string>> rows;
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  constexpr size_t kChars = 1024;
  RemoteMemory remote(pid, sizeof(LVITEMW) + kChars * sizeof(wchar_t));
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> row;
    for (int c = 0; c < std::max(columns, 1); ++c) {
      LVITEMW item{};
      item.iSubItem = c;
      item.cchTextMax = static_cast<int>(kChars);
      item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote.address()) + sizeof(LVITEMW));
      remote.write(&item, sizeof item);
      const LRESULT length =
          SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote.address()));
      std::wstring text(static_cast<size_t>(length), L'\0');
      remote.read(text.data(), text.size() * sizeof(wchar_t), sizeof(LVITEMW));
      row.push_back(Utf8(text));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// Selects row `index` of a list view of process `pid` alone, focused, as a
// click would; the list tells its parent.
inline bool SelectListViewRow(HWND list, DWORD pid, int index) {
  if (index < 0 || index >= static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0))) return false;
  RemoteMemory remote(pid, sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = 0;
  remote.write(&item, sizeof item);
  SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(remote.address()));
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  remote.write(&item, sizeof item);
  return SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote.address())) !=
         FALSE;
}

// A message box of process `pid` with the caption "注意".
inline HWND FindMessageBox(DWORD pid) {
  return FindTopLevel(pid, [](HWND hwnd) {
    return ClassName(hwnd) == L"#32770" && Text(hwnd) == "\xE6\xB3\xA8\xE6\x84\x8F" && IsWindowVisible(hwnd);
  });
}

// The static text of a message box (the one child that is neither a button nor an icon).
inline std::string MessageBoxText(HWND box) {
  std::string text;
  struct Search {
    std::string* text;
  } search{&text};
  EnumChildWindows(
      box,
      [](HWND hwnd, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        if (ClassName(hwnd) == L"Static" || ClassName(hwnd) == L"STATIC") {
          if ((GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
          *s->text = Text(hwnd);
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return text;
}

// Presses a button of a message box by its identifier (IDOK, IDYES, IDNO, ...),
// as the button itself reports a click to the box. Posted: the box's owner runs
// a modal loop and answers in its own time. (BM_CLICK may be ignored while the
// box is not the active window, which it need not be here.)
inline bool PressMessageBoxButton(HWND box, int buttonId) {
  HWND button = GetDlgItem(box, buttonId);
  if (!button) return false;
  return PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != FALSE;
}

}  // namespace bakwyn::remote
