// Program entry: the main window is created hidden, so the program starts in the tray.
#include <windows.h>


#include <shellapi.h>

#include <string>

#include "app/Service.h"
#include "app/UnitMain.h"
#include "app/WinSystem.h"
#include "base/Text.h"
#include "base/WinHandles.h"
#include "form/FrmMainIds.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/WindowsFileSystem.h"
#include "server/OdbcServerSession.h"
#include "settings/DpapiProtector.h"
#include "settings/WindowsRegistry.h"

namespace {

// One scheduler per computer: two would start the same backup into the same file
// at the same minute. The mutex lives in the global namespace, so that a program
// started at another user's log-on sees it too; it goes with the process.
// `handover`: this start replaces a running instance that is ending (the restart
// with administrator rights), so it waits for that one to go instead of leaving.
bakwyn::UniqueKernelHandle ClaimSingleInstance(bool handover) {
  const ULONGLONG deadline = GetTickCount64() + (handover ? 20000 : 0);
  for (;;) {
    // One program per session: a second user's program runs in its own session
    // and stands by for the scheduler's lock (see SchedulerLock.h).
    bakwyn::UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, L"Local\\Bakwyn.Program"));
    const DWORD error = GetLastError();
    if (mutex && error != ERROR_ALREADY_EXISTS) return mutex;
    if (GetTickCount64() >= deadline) break;
    mutex.reset();
    Sleep(200);
  }
  // Another instance runs in this session: ask it to show its settings window
  // and leave. It is known by its class and its caption, not by a class name
  // any program may use.
  const std::u16string caption = bakwyn::Utf8ToUtf16(bakwyn::form::kFrmMainCaption);
  if (HWND running = FindWindowW(L"TFrmMain", reinterpret_cast<const wchar_t*>(caption.c_str()))) {
    DWORD pid = 0;
    GetWindowThreadProcessId(running, &pid);
    AllowSetForegroundWindow(pid);
    PostMessageW(running, RegisterWindowMessageW(bakwyn::ui::kShowSettingsMessage), 0, 0);
  }
  return {};
}

// The argument after `wanted`; empty when there is none.
std::wstring ArgumentAfter(const wchar_t* wanted) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments) return {};
  std::wstring after;
  for (int i = 1; i + 1 < count && after.empty(); ++i) {
    if (lstrcmpiW(arguments[i], wanted) == 0) after = arguments[i + 1];
  }
  LocalFree(arguments);
  return after;
}

bool HasArgument(const wchar_t* wanted) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments) return false;
  bool found = false;
  for (int i = 1; i < count; ++i) found = found || lstrcmpiW(arguments[i], wanted) == 0;
  LocalFree(arguments);
  return found;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The backup service, and the program started with administrator rights to
  // install or remove it: no window, no one-instance claim (the service runs
  // beside the program in the user's session, which then only shows it).
  if (HasArgument(bakwyn::app::kServiceArgument)) return bakwyn::app::RunAsService();
  if (HasArgument(bakwyn::app::kInstallServiceArgument))
    return static_cast<int>(bakwyn::app::InstallService(bakwyn::app::ProgramPath()));
  if (HasArgument(bakwyn::app::kRemoveServiceArgument)) return static_cast<int>(bakwyn::app::RemoveService());
  // The restore window's request for the service, stored with administrator rights.
  if (HasArgument(bakwyn::app::kRequestRestoreArgument))
    return static_cast<int>(
        bakwyn::app::StoreRestoreRequestArgument(ArgumentAfter(bakwyn::app::kRequestRestoreArgument)));

  const bool openSettings = HasArgument(bakwyn::ui::kSettingsArgument);
  const auto instance = ClaimSingleInstance(openSettings);
  if (!instance) return 0;


  bakwyn::SystemClock clock;
  bakwyn::OdbcServerSession session;
  bakwyn::WindowsFileSystem files;
  auto registry = bakwyn::settings::MachineRegistry();
  bakwyn::settings::DpapiProtector protector;

  bakwyn::app::TFrmMain form(clock, session, files, *registry, protector);
  form.FormCreate();
  if (openSettings) form.showSettings();

  MSG msg{};
  for (;;) {
    // While another holds the scheduler's lock, the loop waits on it beside
    // the messages, and this program takes over the moment it is free.
    if (const HANDLE lock = form.schedulerLockWaitable()) {
      const DWORD woke = MsgWaitForMultipleObjectsEx(1, &lock, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0) {
        form.schedulerLockTaken(woke == WAIT_ABANDONED_0);
        continue;
      }
      if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) continue;
    } else if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
      break;
    }
    if (msg.message == WM_QUIT) break;
    // Tab and Shift+Tab move between the controls as in a dialog.
    if (IsDialogMessageW(form.hwnd(), &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
