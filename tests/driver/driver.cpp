// bakwyn-driver: drives a running Bakwyn from a second process, for tests and scripts.
//   bakwyn-driver wait [timeout_ms]     waits for the main window, prints its handle
//   bakwyn-driver caption               prints the main window's caption (UTF-8)
//   bakwyn-driver visible               prints 1 or 0
//   bakwyn-driver close                 posts WM_CLOSE to the main window
//   bakwyn-driver idle                  returns once the program's thread handles messages again
//   bakwyn-driver controls              one line per named control with a window:
//                                       name, class, enabled, visible, style (hex), text
//   bakwyn-driver text NAME             prints the text of a named control
//   bakwyn-driver settext NAME TEXT     sets it, as typing would (the program hears of it)
//   bakwyn-driver click NAME [part]     clicks a button or check box (part: an edit's button)
//   bakwyn-driver menu NAME             chooses a tray menu item (N1 shows the window)
//   bakwyn-driver pick NAME INDEX       chooses item INDEX (from 0) of a pick list, as the user would
//   bakwyn-driver page N                shows page N (0 to 2) of the page control
//   bakwyn-driver answer ID [timeout]   waits for a message box "注意", prints its text,
//                                       presses button ID (1 OK, 2 Cancel, 6 Yes, 7 No)
//   bakwyn-driver restore wait [timeout_ms]   waits for the restore window ("恢复数据库...")
//   bakwyn-driver restore controls      its named controls, as "controls" prints them
//   bakwyn-driver restore text NAME     prints the text of one of its controls
//   bakwyn-driver restore settext NAME TEXT   sets it, as typing would
//   bakwyn-driver restore click NAME    clicks a button or a radio button, as the mouse would
//   bakwyn-driver restore rows          one line per backup listed: its columns, tab-separated
//   bakwyn-driver restore select INDEX  chooses row INDEX (from 0) of the list
//   bakwyn-driver record-url FILE ARG...  appends one line to FILE: the ARGs, UTF-8,
//                                       separated by blanks (registered as a protocol's
//                                       open command, it shows what the shell was given)
// Exit code 0 on success, 1 when the window or control is not there, 2 on bad usage.
#include <windows.h>

#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/driver/Remote.h"
#include "form/FrmMainIds.h"
#include "form/RestoreForm.h"

namespace {

using namespace bakwyn;

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

int Controls(HWND main) {
  for (std::string_view name : form::kFrmMainComponents) {
    HWND hwnd = remote::FindControl(main, name);
    if (!hwnd) continue;
    char style[16];
    std::snprintf(style, sizeof style, "%08lx", static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE)));
    Print(std::string(name) + "\t" + remote::Utf8(remote::ClassName(hwnd)) + "\t" + (IsWindowEnabled(hwnd) ? "1" : "0") +
          "\t" + (IsWindowVisible(hwnd) ? "1" : "0") + "\t" + style + "\t" + remote::Text(hwnd));
  }
  return 0;
}

HWND FindRestore(DWORD pid) {
  return remote::FindTopLevel(pid, [](HWND hwnd) {
    return remote::ClassName(hwnd) == bakwyn::form::kFrmRestoreClass && IsWindowVisible(hwnd);
  });
}

HWND RestoreControl(HWND window, std::string_view name) {
  const int id = form::RestoreControlId(name);
  return id == 0 ? nullptr : remote::FindById(window, id);
}

// The restore window's commands: argv[2] is the command, then its arguments.
int Restore(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring command = argv[2];
  if (command == L"wait") {
    const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 10000;
    HWND hwnd = remote::WaitFor(&FindRestore, 0, timeout);
    if (!hwnd) return 1;
    std::printf("%p\n", static_cast<void*>(hwnd));
    return 0;
  }
  HWND window = FindRestore(0);
  if (!window) return 1;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (command == L"controls") {
    for (std::string_view name : form::kFrmRestoreComponents) {
      HWND hwnd = RestoreControl(window, name);
      if (!hwnd) continue;
      char style[16];
      std::snprintf(style, sizeof style, "%08lx", static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE)));
      Print(std::string(name) + "\t" + remote::Utf8(remote::ClassName(hwnd)) + "\t" +
            (IsWindowEnabled(hwnd) ? "1" : "0") + "\t" + (IsWindowVisible(hwnd) ? "1" : "0") + "\t" + style + "\t" +
            remote::Text(hwnd));
    }
    return 0;
  }
  if (command == L"rows" || command == L"select") {
    HWND list = RestoreControl(window, "mavTree1");
    if (!list) return 1;
    if (command == L"rows") {
      for (const std::vector<std::string>& row : remote::ListViewRows(list, pid)) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) line += (i ? "\t" : "") + row[i];
        Print(line);
      }
      return 0;
    }
    if (argc < 4) return 2;
    const int index = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    return remote::SelectListViewRow(list, pid, index) ? 0 : 1;
  }
  if (argc < 4) return 2;
  HWND control = RestoreControl(window, remote::Utf8(argv[3]));
  if (!control) return 1;
  if (command == L"text") {
    Print(remote::Text(control));
  } else if (command == L"settext") {
    if (argc < 5) return 2;
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
  } else if (command == L"click") {
    const LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    if (remote::ClassName(control) == L"Button" && (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON)) {
      // A radio button checks itself as the mouse clicks it; nothing modal follows.
      SendMessageW(control, BM_CLICK, 0, 0);
    } else {
      // Posted, since a click may open a modal box.
      PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                   reinterpret_cast<LPARAM>(control));
    }
  } else {
    return 2;
  }
  return 0;
}

// Needs no window: the shell starts it on its own.
int RecordArguments(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::string line;
  for (int i = 3; i < argc; ++i) line += (i > 3 ? " " : "") + remote::Utf8(argv[i]);
  line += "\n";
  // Appended and shared, so that two quick starts both leave their line.
  HANDLE file = CreateFileW(argv[2], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == line.size() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Lines end with "\n" alone, whoever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) {
    std::fputs("usage: bakwyn-driver wait|caption|visible|close|controls|text|settext|click|pick|menu|page|answer|restore|"
               "record-url\n",
               stderr);
    return 2;
  }
  const std::wstring command = argv[1];
  const std::string arg2 = argc > 2 ? remote::Utf8(argv[2]) : std::string();
  if (command == L"record-url") return RecordArguments(argc, argv);
  if (command == L"restore") return Restore(argc, argv);
  if (command == L"wait") {
    const DWORD timeout = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 10000;
    HWND hwnd = remote::WaitFor(&remote::FindMain, 0, timeout);
    if (!hwnd) return 1;
    std::printf("%p\n", static_cast<void*>(hwnd));
    return 0;
  }
  HWND main = remote::FindMain();
  if (!main) return 1;
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  if (command == L"caption") {
    Print(remote::Text(main));
  } else if (command == L"visible") {
    std::printf("%d\n", IsWindowVisible(main) ? 1 : 0);
  } else if (command == L"idle") {
    // The program waits in its message loop with nothing left to do; the sent
    // message then makes sure what was posted before has been handled.
    if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid)) {
      WaitForInputIdle(process, 20000);
      CloseHandle(process);
    }
    SendMessageW(main, WM_NULL, 0, 0);
  } else if (command == L"close") {
    PostMessageW(main, WM_CLOSE, 0, 0);
  } else if (command == L"controls") {
    return Controls(main);
  } else if (command == L"text" || command == L"settext" || command == L"click") {
    if (argc < 3) return 2;
    const bool part = command == L"click" && argc > 3 && std::wstring(argv[3]) == L"part";
    HWND control = remote::FindControl(main, arg2, part);
    if (!control) return 1;
    if (command == L"text") {
      Print(remote::Text(control));
    } else if (command == L"settext") {
      if (argc < 4) return 2;
      SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3]));
    } else {
      if (remote::ClassName(control) == L"Button" &&
          (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
        // A real click toggles the box before the parent hears of it.
        const LRESULT state = SendMessageW(control, BM_GETCHECK, 0, 0);
        SendMessageW(control, BM_SETCHECK, state == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
      }
      // As the button reports a click to its parent; posted, since a click may open a modal box.
      PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                   reinterpret_cast<LPARAM>(control));
    }
  } else if (command == L"pick") {
    if (argc < 4) return 2;
    HWND control = remote::FindControl(main, arg2);
    if (!control || remote::ClassName(control) != L"ComboBox") return 1;
    const int index = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    if (index < 0 || index >= static_cast<int>(SendMessageW(control, CB_GETCOUNT, 0, 0))) return 1;
    // The selection set by a message reports nothing; the list then tells its
    // parent as it does after the user's choice.
    SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(control));
  } else if (command == L"menu") {
    const int id = form::FrmMainControlId(arg2);
    if (id == 0) return 1;
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, 0), 0);
  } else if (command == L"page") {
    HWND tabs = remote::FindControl(main, "PageControl1");
    if (!tabs) return 1;
    const int index = argc > 2 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 0;
    SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  } else if (command == L"answer") {
    if (argc < 3) return 2;
    const int button = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 10000;
    HWND box = remote::WaitFor(&remote::FindMessageBox, pid, timeout);
    if (!box) return 1;
    Print(remote::MessageBoxText(box));
    if (!remote::PressMessageBoxButton(box, button)) return 1;
  } else {
    return 2;
  }
  return 0;
}
