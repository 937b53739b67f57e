#pragma once
// The window's components as plain C++ objects, free of Win32.
//
// A component's state lives here; the Win32 window binds each one to its widget
// through a ControlView, which only displays what the model holds. When the
// user changes a widget, the window writes the change back with Source::User,
// which updates the model without echoing it to the widget. Events reach the
// program through the hooks (std::function members) of the components; the
// handlers set each hook once.
// The control-state store walks these objects by kind (dynamic_cast), so the
// class hierarchy below is part of the stored format: the kinds are tested in a
// fixed order and the first that applies decides.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Text.h"

namespace bakwyn::form {

enum class Source { Program, User };

// What the Win32 widget of a control shows. Every method has an empty default,
// so a view implements only what its widget has.
class ControlView {
 public:
  virtual ~ControlView() = default;
  virtual void showText(const std::string&) {}
  virtual void showEnabled(bool) {}
  virtual void showChecked(bool) {}
  virtual void showValue(double) {}
  virtual void showColumnWidth(int /*column*/, int /*width*/) {}
  virtual void showRows() {}  // the tree list's rows changed: redraw them all
  virtual void showAppended(const std::string& /*lines*/) {}  // a memo's new lines, each ending in "\r\n"
  virtual void showVisible(bool) {}
  virtual void showTip(const std::string& /*tip*/) {}
  virtual void showAlarm(bool /*on*/) {}  // the tray icon's distinct look after a failure
  virtual void showBalloon(const std::string& /*title*/, const std::string& /*text*/) {}
};

class Component {
 public:
  explicit Component(std::string name) : name_(std::move(name)) {}
  virtual ~Component() = default;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;
  const std::string& name() const { return name_; }
  // False for a component added after the first version whose state lives
  // elsewhere: the control-state store passes over it, so the keys that older
  // versions read keep exactly their meaning.
  bool keptByStore = true;

 private:
  std::string name_;
};

class Control : public Component {
 public:
  using Component::Component;
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  // Attaching shows the control's whole state in the view; nullptr detaches.
  void attach(ControlView* view);
  ControlView* view() const { return view_; }

 protected:
  // Shows every part of the state in `view`; each kind adds its own parts.
  virtual void showState(ControlView& view) const;
  ControlView* view_ = nullptr;

 private:
  bool enabled_ = true;
};

// Common base of the text editors: a single line of text.
class TdxInplaceTextEdit : public Control {
 public:
  using Control::Control;
  const std::string& text() const { return text_; }
  void setText(const std::string& text, Source source = Source::Program);
  int maxLength() const { return maxLength_; }  // in characters; 0 means no limit
  void setMaxLength(int length) { maxLength_ = length; }

 protected:
  void showState(ControlView& view) const override;
  // After the text changed, whoever changed it.
  virtual void textChanged() {}

 private:
  std::string text_;
  int maxLength_ = 0;
};

class TdxEdit : public TdxInplaceTextEdit {
 public:
  using TdxInplaceTextEdit::TdxInplaceTextEdit;
  bool password() const { return password_; }  // shows "*" for every character
  void setPassword(bool on) { password_ = on; }

 private:
  bool password_ = false;
};

class TdxButtonEdit : public TdxInplaceTextEdit {
 public:
  using TdxInplaceTextEdit::TdxInplaceTextEdit;
  std::function<void(TdxButtonEdit&)> onButtonClick;
};

// One text out of a fixed list of items: nothing else can be typed.
class TdxPickEdit : public TdxInplaceTextEdit {
 public:
  using TdxInplaceTextEdit::TdxInplaceTextEdit;
  // The view lists the items it was attached with.
  const std::vector<std::string>& items() const { return items_; }
  void setItems(std::vector<std::string> items) { items_ = std::move(items); }
  // The text's position among the items; -1 for a text that is none of them.
  int itemIndex() const;
  // Shows the item at `index`; an index outside the items changes nothing.
  void setItemIndex(int index, Source source = Source::Program);
  // Runs when the text changes, whoever changed it.
  std::function<void(TdxPickEdit&)> onChange;

 protected:
  void textChanged() override {
    if (onChange) onChange(*this);
  }

 private:
  std::vector<std::string> items_;
};

class TdxTimeEdit : public TdxInplaceTextEdit {
 public:
  using TdxInplaceTextEdit::TdxInplaceTextEdit;
};

class TdxPopupEdit : public TdxInplaceTextEdit {
 public:
  using TdxInplaceTextEdit::TdxInplaceTextEdit;
  std::function<void(TdxPopupEdit&)> onInitPopup;  // before the drop-down opens
  std::function<void(TdxPopupEdit&)> onPopup;      // as it opens
  bool droppedDown() const { return droppedDown_; }
  // Opening runs onInitPopup then onPopup; the window shows the panel.
  void dropDown();
  // Closing with accept = true keeps the choice (the caller then sets the text).
  void closeUp(bool accept);
  std::function<void(bool /*open*/)> onDropDownChanged;  // the window shows or hides the panel

 private:
  bool droppedDown_ = false;
};

class TdxSpinEdit : public Control {
 public:
  using Control::Control;
  double value() const { return value_; }
  void setValue(double value, Source source = Source::Program);
  double minValue() const { return min_; }
  double maxValue() const { return max_; }
  void setRange(double min, double max) { min_ = min, max_ = max; }

 protected:
  void showState(ControlView& view) const override;

 private:
  double value_ = 0;
  double min_ = 0;
  double max_ = 0;
};

class TdxCheckEdit : public Control {
 public:
  using Control::Control;
  bool checked() const { return checked_; }
  // Runs onChange when the state actually changes, whoever changed it.
  void setChecked(bool checked, Source source = Source::Program);
  const std::string& caption() const { return caption_; }
  void setCaption(std::string caption) { caption_ = std::move(caption); }
  std::function<void(TdxCheckEdit&)> onChange;

 protected:
  void showState(ControlView& view) const override;

 private:
  bool checked_ = false;
  std::string caption_;
};

struct TreeColumn {
  std::string caption;
  int width = 0;
  int minWidth = 0;
  bool visible = true;
  bool readOnly = false;
  bool checkBox = false;  // a check-box column
};

struct TreeNode {
  std::vector<std::string> values;  // one per column
  std::vector<std::unique_ptr<TreeNode>> children;
  bool selected = false;
};

class TdxTreeList : public Control {
 public:
  using Control::Control;
  std::vector<TreeColumn>& columns() { return columns_; }
  const std::vector<TreeColumn>& columns() const { return columns_; }
  // Widths below the column's minimum become the minimum; an index outside the
  // columns is ignored.
  void setColumnWidth(int column, int width);

  const std::vector<std::unique_ptr<TreeNode>>& topNodes() const { return top_; }
  // Both tell the view; edits of a node's values or children call changed().
  TreeNode& addTopNode(std::vector<std::string> values);
  void clear();
  TreeNode* focusedNode() const { return focused_; }
  void setFocusedNode(TreeNode* node, Source source = Source::Program);
  bool rowSelect = false;  // the row-selection option
  std::function<void(TdxTreeList&)> onClick;
  // The list's own key handling; a subclass may add to it.
  virtual void keyDown(int virtualKey) { (void)virtualKey; }
  void changed();  // the rows changed: tell the view

 protected:
  void showState(ControlView& view) const override;

 private:
  std::vector<TreeColumn> columns_;
  std::vector<std::unique_ptr<TreeNode>> top_;
  TreeNode* focused_ = nullptr;
};

// The maker's controls and their read-only accessors.

class TmEdt : public TdxEdit {
 public:
  using TdxEdit::TdxEdit;
  std::string tText() const;
  std::string sText() const;
  std::string lText() const;
  std::string sMaxText() const;
};

class TmavBEdit : public TdxButtonEdit {
 public:
  using TdxButtonEdit::TdxButtonEdit;
  std::string tText() const;
  std::string sText() const;
  std::string lText() const;
  std::string sMaxText() const;
};

class TmavPopEdit : public TdxPopupEdit {
 public:
  using TdxPopupEdit::TdxPopupEdit;
  std::string tText() const;
  std::string sText() const;
  std::string lText() const;
};

class TmavTimeEdit : public TdxTimeEdit {
 public:
  using TdxTimeEdit::TdxTimeEdit;
  std::string dText() const;
};

// A time editor's text with every blank read as "0", as the schedule compares it.
std::string TimeDigits(std::string_view text);
// The schedule's rule for a time, shared with the engine (base/Text.h).
using bakwyn::IsValidTime;

class TmavSpinEdit : public TdxSpinEdit {
 public:
  using TdxSpinEdit::TdxSpinEdit;
  int mIntValue() const;
  std::string sIntValue() const;
};

class TmavTree : public TdxTreeList {
 public:
  using TdxTreeList::TdxTreeList;
  TreeNode* mNodes(int position) const;
  TreeNode* mLastNode() const;
  int AllRowCount() const;
  bool CanDeleteRow = true;
  void keyDown(int virtualKey) override;  // the Delete-key rule
};

// ---- Components that are not stored -------------------------------------------

// Static text; its caption is fixed at creation.
class Label : public Control {
 public:
  Label(std::string name, std::string caption) : Control(std::move(name)), caption_(std::move(caption)) {}
  const std::string& caption() const { return caption_; }

 private:
  std::string caption_;
};

// A label that acts as a web link.
class LinkLabel : public Label {
 public:
  using Label::Label;
  std::function<void(LinkLabel&)> onClick;
};

class Button : public Label {
 public:
  using Label::Label;
  std::function<void()> onClick;
};

// Containers and decorations: a kind and a name, nothing to store.
class Panel : public Control {
 public:
  using Control::Control;
};
class Bevel : public Control {
 public:
  using Control::Control;
};
class PageControl : public Control {
 public:
  using Control::Control;
  std::vector<std::string> tabs;
};
class StatusBar : public Control {
 public:
  using Control::Control;
  std::vector<int> panelWidths;
};

// A multi-line text without word wrap. The log pane is one: lines are only
// ever appended or all cleared.
class Memo : public Control {
 public:
  using Control::Control;
  const std::string& text() const { return text_; }  // every line ends with "\r\n"
  void addLine(const std::string& line);
  void clear();
  void setText(const std::string& text);  // a fixed text, as a read-only page shows it

 protected:
  void showState(ControlView& view) const override;

 private:
  std::string text_;
};

class MenuItem : public Component {
 public:
  MenuItem(std::string name, std::string caption) : Component(std::move(name)), caption_(std::move(caption)) {}
  const std::string& caption() const { return caption_; }  // "-" is a separator
  // A check mark before the caption, shown the next time the menu opens.
  bool checked() const { return checked_; }
  void setChecked(bool checked) { checked_ = checked; }
  // Greyed out while off, shown so the next time the menu opens.
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  std::function<void()> onClick;

 private:
  std::string caption_;
  bool checked_ = false;
  bool enabled_ = true;
};

class PopupMenu : public Component {
 public:
  using Component::Component;
  std::vector<MenuItem*> items;
  // Runs just before the menu opens, to bring its items up to date.
  std::function<void()> onPopup;
};

// The notification-area icon: while visible it stands for the program.
class TrayIcon : public Control {
 public:
  using Control::Control;
  bool visible() const { return visible_; }
  void setVisible(bool visible);
  // While on, minimising the window hides it and shows the icon.
  bool minimizeToTray = false;
  // The text shown when the pointer rests on the icon.
  const std::string& tip() const { return tip_; }
  void setTip(const std::string& tip);
  // The icon's distinct look: the last backup failed, or none succeeded for too long.
  bool alarmed() const { return alarmed_; }
  void setAlarmed(bool on);
  // A notification beside the icon, for a person at the machine to notice.
  void notify(const std::string& title, const std::string& text);

 protected:
  void showState(ControlView& view) const override;

 private:
  bool visible_ = false;
  bool alarmed_ = false;
  std::string tip_;
};

// A timer of the window: while enabled, onTimer runs every interval.
class Timer : public Control {
 public:
  Timer(std::string name, unsigned intervalMs) : Control(std::move(name)), interval_(intervalMs) { setEnabled(false); }
  unsigned interval() const { return interval_; }
  std::function<void()> onTimer;

 private:
  unsigned interval_;
};

class Action : public Component {
 public:
  using Component::Component;
  const std::string& caption() const { return name(); }
  std::function<void()> onExecute;
  void execute() {
    if (onExecute) onExecute();
  }
};

// The components a window owns, in creation order. The window's name and the
// components' names are the registry key names of the control-state store.
class ComponentOwner {
 public:
  explicit ComponentOwner(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  template <typename T, typename... Args>
  T& add(std::string componentName, Args&&... args) {
    auto component = std::make_unique<T>(std::move(componentName), std::forward<Args>(args)...);
    T& ref = *component;
    components_.push_back(std::move(component));
    return ref;
  }
  const std::vector<std::unique_ptr<Component>>& components() const { return components_; }
  // Letter case of the name does not matter; nullptr when there is none.
  Component* find(const std::string& componentName) const;

 private:
  std::string name_;
  std::vector<std::unique_ptr<Component>> components_;
};

}  // namespace bakwyn::form
