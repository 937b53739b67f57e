// Program entry: the main window is created hidden, so the program starts in the tray.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/UnitMain.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/WindowsFileSystem.h"
#include "server/OdbcServerSession.h"
#include "settings/DpapiProtector.h"
#include "settings/WindowsRegistry.h"

namespace {

// COM for the folder browser, initialised once for the program's only thread.
class ComApartment {
 public:
  ComApartment() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    // Only a successful initialisation is balanced by an uninitialisation.
    if (ok_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool ok_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ComApartment com;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES |
                                                     ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);

  bakwyn::BackupSettings settings;
  bakwyn::SystemClock clock;
  bakwyn::OdbcServerSession session;
  bakwyn::WindowsFileSystem files;
  auto registry = bakwyn::settings::MachineRegistry();
  bakwyn::settings::DpapiProtector protector;

  bakwyn::app::TFrmMain form(settings, clock, session, files, *registry, protector);
  form.FormCreate();

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Tab and Shift+Tab move between the controls as in a dialog.
    if (IsDialogMessageW(form.hwnd(), &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
