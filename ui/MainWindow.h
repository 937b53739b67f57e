#pragma once
// The settings window on the screen: the Win32 side of form::SettingsForm.
//
// Until it is first shown, the window is only a hidden top-level window with
// the tray icon and the timer: the tray program that waits all day holds no
// widgets, fonts or common controls. The first time it is shown it builds a
// widget for every component of the model, in creation order. From then on the
// widgets show what the model holds, and every control ID and window message is
// mapped to a hook of the model; the handlers set the hooks.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "form/SettingsForm.h"
#include "ui/MessageHelper.h"
#include "ui/Widgets.h"
#include "ui/Window.h"

namespace bakwyn::ui {

// Registered message by which a second start of the program asks the running one
// to open its settings window.
inline constexpr wchar_t kShowSettingsMessage[] = L"Bakwyn.ShowSettings";
// Argument of a start that opens the settings window at once: the program
// restarted with administrator rights to save them.
inline constexpr wchar_t kSettingsArgument[] = L"/settings";

class MainWindow : public Window {
 public:
  // Creates the window hidden, with the tray icon and the timer of `form`,
  // which must outlive the window.
  explicit MainWindow(form::SettingsForm& form);
  ~MainWindow() override;

  form::SettingsForm& form() { return form_; }
  const TrayIconView& trayView() const { return *tray_; }
  bool widgetsBuilt() const { return !views_.empty(); }

  // Shown and in front (restored if it went to the tray by minimising); builds
  // the widgets first when they do not exist yet.
  void show();
  void hide();
  // Asks the window to close; the model's onCloseQuery decides. Posted, so the
  // menu or button that asked has finished before the question.
  void requestClose();
  void focus(const form::Control& control);

  int ShowMessageCode(std::int32_t code, const std::string& text);
  MessageBoxFunction messageBox = SystemMessageBox();

  // The window of a named control (the edit of a two-part control), or null.
  HWND controlWindow(const std::string& name) const;

  // Runs after the window is destroyed (the program ends with it).
  std::function<void()> onDestroyed;

 protected:
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void buildWidgets();
  template <typename View, typename... Args>
  View& attach(form::Control& model, int id, Args&&... args);
  void drawPicture(HDC dc, const RECT& rc) const;
  void showTrayMenu(POINT screenPoint);
  bool isLink(HWND hwnd) const;

  form::SettingsForm& form_;
  UINT taskbarCreated_;
  UINT showSettings_;
  std::unique_ptr<TrayIconView> tray_;
  std::unique_ptr<TimerView> timer_;
  std::unique_ptr<TimerView> timer2_;
  // Built on first show.
  UniqueFont font_;
  UniqueFont linkFont_;
  UniqueBrush white_;
  std::vector<std::pair<form::Control*, std::unique_ptr<ControlView>>> views_;  // creation order
  std::unordered_map<int, Widget*> widgets_;  // by control ID
  HWND header_ = nullptr;
  std::vector<HWND> whitePanes_;
  std::vector<HWND> links_;
};

}  // namespace bakwyn::ui
