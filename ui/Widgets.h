#pragma once
// The Win32 side of the main window's components.
//
// Every component is a model object from form/Controls.h; each gets a view
// below that shows the model in a Win32 widget and writes user edits back with
// Source::User, or runs the model's hook when the user acts on it.
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "form/Controls.h"
#include "ui/TrayIcon.h"
#include "ui/Window.h"
#include "base/WinHandles.h"

namespace bakwyn::ui {

using form::ControlView;
using form::Source;
using form::TdxButtonEdit;
using form::TdxCheckEdit;
using form::TdxEdit;
using form::TdxInplaceTextEdit;
using form::TdxPickEdit;
using form::TdxPopupEdit;
using form::TdxSpinEdit;
using form::TdxTimeEdit;
using form::TdxTreeList;
using form::TreeColumn;
using form::TreeNode;

// Where and how a widget is created; named fields instead of a long argument list.
struct WidgetArgs {
  HWND parent = nullptr;
  int x = 0, y = 0, width = 0, height = 0;
  std::string text;
  DWORD style = 0;  // added to WS_CHILD | WS_VISIBLE
  DWORD exStyle = 0;
};

// A child of `parent` at that place and size, with `style` added.
WidgetArgs At(HWND parent, int x, int y, int width, int height, DWORD style = 0);
// The width `text` takes in `font`, as `hwnd` draws it.
int TextWidth(HWND hwnd, HFONT font, const std::string& text);

HWND CreateChildWindow(const wchar_t* className, int id, const WidgetArgs& args, HFONT font);

// Receives the WM_COMMAND and WM_NOTIFY messages of its control IDs; the window
// dispatches them by ID.
class Widget {
 public:
  virtual ~Widget() = default;
  virtual void command(int /*id*/, WORD /*code*/) {}
  virtual LRESULT notify(const NMHDR& /*header*/) { return 0; }
};

// ---- Views of the plain components ------------------------------------------

// A view with one window of its own.
class SingleView : public ControlView {
 public:
  HWND hwnd() const { return hwnd_; }
  void showEnabled(bool enabled) override { EnableWindow(hwnd_, enabled); }

 protected:
  HWND hwnd_ = nullptr;
};

// A container of our own window class. It forwards its children's notifications
// (commands, notifies, colours, cursors) to the top-level window that owns it,
// so one place handles them wherever a control sits.
class PanelView : public ControlView, public Window {
 public:
  PanelView(int id, const WidgetArgs& args, COLORREF background, bool visible = true);
  ~PanelView() override;
  std::function<void(HDC, const RECT&)> onPaint;
  std::function<void()> onDeactivate;  // a drop-down panel lost the keyboard focus

 protected:
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  UniqueBrush background_;
};

class LabelView : public SingleView {
 public:
  LabelView(const form::Label& model, int id, const WidgetArgs& args, HFONT font);
};

// A label that acts as a web link: blue, underlined, hand cursor; a click runs
// the model's onClick.
class LinkView : public LabelView, public Widget {
 public:
  LinkView(form::LinkLabel& model, int id, const WidgetArgs& args, HFONT underlinedFont);
  void command(int id, WORD code) override;

 private:
  form::LinkLabel& model_;
};

class ButtonView : public SingleView, public Widget {
 public:
  ButtonView(form::Button& model, int id, const WidgetArgs& args, HFONT font);
  void command(int id, WORD code) override;

 private:
  form::Button& model_;
};

// An etched line: horizontal when wider than high.
class BevelView : public SingleView {
 public:
  BevelView(int id, const WidgetArgs& args);
};

// Tabs drawn as flat buttons; each page is a PanelView inside the tab control.
class PageControlView : public SingleView, public Widget {
 public:
  // The tabs come from the model, so that pageRect() knows the tab row's height;
  // the page panels are then created by the caller inside hwnd() over pageRect().
  PageControlView(const form::PageControl& model, int id, const WidgetArgs& args, HFONT font);
  RECT pageRect() const;
  void setPage(int index, PanelView& page);
  void select(int index);
  int selected() const;
  LRESULT notify(const NMHDR& header) override;

 private:
  void showPage(int index);
  static LRESULT CALLBACK TabProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR self);
  std::vector<PanelView*> pages_;
};

// A multi-line text without word wrap that keeps every line (the edit
// control's default limit of 32K characters is lifted).
//
// Appended lines wait in a buffer until the edit control next receives any
// message, and then enter it in one piece. Whoever looks at the pane (painting,
// reading its text, the caret moving) goes through a message, so nobody sees
// the buffer; but a burst of lines costs one insertion instead of one each.
// Some edit controls (Wine's) walk all lines on every insertion.
class MemoView : public SingleView {
 public:
  MemoView(int id, const WidgetArgs& args, HFONT font, bool readOnly);
  void showText(const std::string& text) override;
  void showAppended(const std::string& lines) override;

 private:
  void flush();
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self);
  std::u16string pending_;
  bool flushing_ = false;
};

class StatusBarView : public SingleView {
 public:
  StatusBarView(const form::StatusBar& model, int id, HWND parent, HFONT font);
  int height() const;
};

// Shows the menu at a point in screen coordinates; the chosen item arrives at
// `owner` as WM_COMMAND with the item's control ID.
void PopupMenuAt(const form::PopupMenu& menu, HWND owner, POINT screenPoint);

// The notification-area icon of the model's TrayIcon: shown while it is visible.
class TrayIconView : public ControlView {
 public:
  // `alarmIcon` stands for the program while the model is alarmed.
  TrayIconView(HWND owner, UINT id, UINT callbackMessage, HICON icon, HICON alarmIcon, std::string tip);
  void showVisible(bool visible) override;
  void showTip(const std::string& tip) override;
  void showAlarm(bool on) override;
  void showBalloon(const std::string& title, const std::string& text) override;
  // After the shell re-created the taskbar.
  void reAdd();
  bool versionFour() const;  // see TrayIcon
  UINT id() const { return id_; }
  UINT callbackMessage() const { return callback_; }

 private:
  HWND owner_;
  UINT id_;
  UINT callback_;
  HICON iconHandle_;
  HICON alarmIcon_;
  bool alarmed_ = false;
  std::string tip_;
  std::optional<TrayIcon> icon_;
};

// A window timer: while the model is enabled, WM_TIMER with the timer's ID
// arrives at the owner window every interval.
class TimerView : public ControlView {
 public:
  TimerView(HWND owner, int id, unsigned intervalMs) : owner_(owner), id_(id), interval_(intervalMs) {}
  ~TimerView() override { showEnabled(false); }
  void showEnabled(bool enabled) override;
  int id() const { return id_; }

 private:
  HWND owner_;
  int id_;
  unsigned interval_;
  bool running_ = false;
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
  PopupEditView(TdxPopupEdit& model, int id, const WidgetArgs& args, HFONT font, PanelView& panel);
  HWND button() const { return button_; }
  void command(int id, WORD code) override;

 private:
  void showPopup(bool open);
  TdxPopupEdit& popupModel_;
  PanelView& popup_;
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

// A drop-down list of the model's items: the user picks one, nothing can be
// typed. `args.height` is the height of the field with its list dropped down.
class PickView : public ControlView, public Widget {
 public:
  PickView(TdxPickEdit& model, int id, const WidgetArgs& args, HFONT font);
  HWND hwnd() const { return hwnd_; }
  void showText(const std::string& text) override;
  void showEnabled(bool enabled) override;
  void command(int id, WORD code) override;

 private:
  TdxPickEdit& model_;
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
