#pragma once
// The Win32 side of the main window's components.
//
// Controls whose state is stored (edits, check boxes, the spin and time editors,
// the database list) are model objects from ui/Controls.h; each gets a view
// below that shows the model in a Win32 widget and writes user edits back with
// Source::User. The other components (labels, buttons, panels, the log pane,
// the menu, the timer, ...) are plain components that own their widget.
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/Controls.h"
#include "ui/TrayIcon.h"
#include "ui/Window.h"
#include "ui/WinHandles.h"

namespace bakwyn::ui {

// Where and how a widget is created; named fields instead of a long argument list.
struct WidgetArgs {
  HWND parent = nullptr;
  int x = 0, y = 0, width = 0, height = 0;
  std::string text;
  DWORD style = 0;  // added to WS_CHILD | WS_VISIBLE
  DWORD exStyle = 0;
};

HWND CreateChildWindow(const wchar_t* className, int id, const WidgetArgs& args, HFONT font);

// Receives the WM_COMMAND and WM_NOTIFY messages of its control IDs; the window
// dispatches them by ID.
class Widget {
 public:
  virtual ~Widget() = default;
  virtual void command(int /*id*/, WORD /*code*/) {}
  virtual LRESULT notify(const NMHDR& /*header*/) { return 0; }
};

// ---- Plain components ---------------------------------------------------

// A container of our own window class. It forwards its children's notifications
// (commands, notifies, colours, cursors) to the top-level window that owns it,
// so one place handles them wherever a control sits.
class Panel : public Component, public Window {
 public:
  Panel(std::string name, int id, const WidgetArgs& args, COLORREF background, bool visible = true);
  ~Panel() override;
  std::function<void(HDC, const RECT&)> onPaint;
  std::function<void()> onDeactivate;  // a drop-down panel lost the keyboard focus

 protected:
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  UniqueBrush background_;
};

class Label : public Component {
 public:
  Label(std::string name, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  std::string caption() const { return WindowTextUtf8(hwnd_); }

 protected:
  HWND hwnd_;
};

// A label that acts as a web link: blue, underlined, hand cursor, click event.
class LinkLabel : public Label, public Widget {
 public:
  LinkLabel(std::string name, int id, const WidgetArgs& args, HFONT underlinedFont);
  std::function<void(LinkLabel&)> onClick;
  void command(int id, WORD code) override;
};

class Button : public Component, public Widget {
 public:
  Button(std::string name, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  std::function<void()> onClick;
  void command(int id, WORD code) override;

 private:
  HWND hwnd_;
};

// An etched line: horizontal when wider than high.
class Bevel : public Component {
 public:
  Bevel(std::string name, int id, const WidgetArgs& args);
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_;
};

// Tabs drawn as flat buttons; each page is a Panel inside the tab control.
class PageControl : public Component, public Widget {
 public:
  PageControl(std::string name, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  // The page's area in the tab control's client coordinates.
  RECT pageRect() const;
  // Tabs first, so that pageRect() knows the height of the tab row; the page
  // panels are then created by the caller inside hwnd() over pageRect().
  void addTab(const std::string& caption);
  void setPage(int index, Panel& page);
  void select(int index);
  int selected() const;
  LRESULT notify(const NMHDR& header) override;

 private:
  void showPage(int index);
  static LRESULT CALLBACK TabProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR self);
  HWND hwnd_;
  std::vector<Panel*> pages_;
};

// A multi-line text without word wrap. The log pane is one: lines are only ever
// appended or all cleared, and it keeps every line (the edit control's default
// limit of 32K characters is lifted).
//
// Appended lines wait in a buffer until the edit control next receives any
// message, and then enter it in one piece. Whoever looks at the pane (painting,
// reading its text, the caret moving) goes through a message, so nobody sees
// the buffer; but a burst of lines costs one insertion instead of one each.
// Some edit controls (Wine's) walk all lines on every insertion.
class Memo : public Component {
 public:
  Memo(std::string name, int id, const WidgetArgs& args, HFONT font, bool readOnly);
  HWND hwnd() const { return hwnd_; }
  void addLine(const std::string& line);
  void clear();
  std::string text() const { return WindowTextUtf8(hwnd_); }

 private:
  void flush();
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self);
  HWND hwnd_;
  std::u16string pending_;
  bool flushing_ = false;
};

class StatusBar : public Component {
 public:
  StatusBar(std::string name, int id, HWND parent, const std::vector<int>& panelWidths, HFONT font);
  HWND hwnd() const { return hwnd_; }
  int height() const;

 private:
  HWND hwnd_;
};

class MenuItem : public Component {
 public:
  MenuItem(std::string name, int id, std::string caption) : Component(std::move(name)), id_(id), caption_(std::move(caption)) {}
  int id() const { return id_; }
  const std::string& caption() const { return caption_; }  // "-" is a separator
  std::function<void()> onClick;

 private:
  int id_;
  std::string caption_;
};

class PopupMenu : public Component {
 public:
  explicit PopupMenu(std::string name);
  void add(MenuItem& item);
  HMENU handle() const { return menu_.get(); }
  const std::vector<MenuItem*>& items() const { return items_; }
  MenuItem* itemById(int id) const;
  // Shows the menu at a point in screen coordinates; the choice arrives at
  // `owner` as WM_COMMAND.
  void popup(HWND owner, POINT screenPoint) const;

 private:
  UniqueMenu menu_;
  std::vector<MenuItem*> items_;
};

// The notification-area icon as a component: visible means a TrayIcon exists.
class TrayIconComponent : public Component {
 public:
  TrayIconComponent(std::string name, HWND owner, UINT id, UINT callbackMessage, HICON icon, std::string tip);
  bool visible() const { return icon_.has_value(); }
  void setVisible(bool visible);
  // After the shell re-created the taskbar.
  void reAdd();
  bool versionFour() const;  // see TrayIcon
  bool minimizeToTray = true;
  UINT id() const { return id_; }
  UINT callbackMessage() const { return callback_; }

 private:
  HWND owner_;
  UINT id_;
  UINT callback_;
  HICON iconHandle_;
  std::string tip_;
  std::optional<TrayIcon> icon_;
};

// A window timer: WM_TIMER with the component's ID arrives at the owner window,
// which runs onTimer.
class Timer : public Component {
 public:
  Timer(std::string name, HWND owner, int id, UINT intervalMs);
  ~Timer() override;
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  UINT interval() const { return interval_; }
  int id() const { return id_; }
  std::function<void()> onTimer;

 private:
  HWND owner_;
  int id_;
  UINT interval_;
  bool enabled_ = false;
};

class Action : public Component {
 public:
  Action(std::string name) : Component(name), caption_(std::move(name)) {}
  const std::string& caption() const { return caption_; }
  std::function<void()> onExecute;
  void execute() {
    if (onExecute) onExecute();
  }

 private:
  std::string caption_;
};

// ---- Views of the model controls --------------------------------------------

// A single-line edit showing a text control of the model.
class EditView : public ControlView, public Widget {
 public:
  EditView(TdxInplaceTextEdit& model, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return edit_; }
  void showText(const std::string& text) override;
  void showEnabled(bool enabled) override;
  void command(int id, WORD code) override;

 protected:
  TdxInplaceTextEdit& model_;
  HWND edit_;
  HWND button_ = nullptr;  // the second window of edits with a button
  bool showing_ = false;   // set while the program changes the widget
};

// An edit with a button on its right; the button runs the model's onButtonClick.
class ButtonEditView : public EditView {
 public:
  ButtonEditView(TdxButtonEdit& model, int id, const WidgetArgs& args, HFONT font);
  HWND button() const { return button_; }
  void command(int id, WORD code) override;

 private:
  TdxButtonEdit& buttonModel_;
};

// An edit whose button drops a panel down below it. The panel is a hidden child
// of the top-level window, shown above the other controls while dropped down,
// and closed when the keyboard focus leaves it.
class PopupEditView : public EditView {
 public:
  PopupEditView(TdxPopupEdit& model, int id, const WidgetArgs& args, HFONT font, Panel& panel);
  HWND button() const { return button_; }
  void command(int id, WORD code) override;

 private:
  void showPopup(bool open);
  TdxPopupEdit& popupModel_;
  Panel& popup_;
  // A press on the drop-down button while the panel is open first takes the
  // focus from the panel, which closes it; the click that follows must not
  // open it again.
  bool closedByButtonPress_ = false;
};

// Hours and minutes as "HH:MM". Typing overwrites digits in place and skips
// the separator; erased positions become blanks, which dText reads as zeros.
class TimeEditView : public EditView {
 public:
  TimeEditView(TdxTimeEdit& model, int id, const WidgetArgs& args, HFONT font);
};

// An integer editor: right-aligned digits with an up-down on the right.
class SpinEditView : public ControlView, public Widget {
 public:
  SpinEditView(TdxSpinEdit& model, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return edit_; }
  HWND upDown() const { return upDown_; }
  // Holds typing to the digits of the model's maximum; again after the range changes.
  void limitDigits();
  void showValue(double value) override;
  void showEnabled(bool enabled) override;
  void command(int id, WORD code) override;
  LRESULT notify(const NMHDR& header) override;

 private:
  TdxSpinEdit& model_;
  HWND edit_;
  HWND upDown_;
  bool showing_ = false;
};

class CheckView : public ControlView, public Widget {
 public:
  CheckView(TdxCheckEdit& model, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  void showChecked(bool checked) override;
  void showEnabled(bool enabled) override;
  void command(int id, WORD code) override;

 private:
  TdxCheckEdit& model_;
  HWND hwnd_;
};

// The tree list as a list view in report mode; child rows follow their parent.
class TreeListView : public ControlView, public Widget {
 public:
  TreeListView(TdxTreeList& model, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  void showColumnWidth(int column, int width) override;
  void showRows() override;
  void showEnabled(bool enabled) override;
  LRESULT notify(const NMHDR& header) override;
  std::function<void()> onFocusLost;

 private:
  TdxTreeList& model_;
  HWND hwnd_;
  int columnsShown_ = 0;
};

// A number as the spin editor shows it: integers without a decimal point.
std::string SpinText(double value);

}  // namespace bakwyn::ui
