#include "form/Controls.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "base/Text.h"
#include "base/SqlText.h"

namespace bakwyn::form {
namespace {

// Keeps the first `count` characters (UTF-8 code points) of `text`. A
// character is a lead byte plus its continuation bytes, so a cut never splits
// one in the middle.
std::string FirstCharacters(const std::string& text, int count) {
  int seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == count) return text.substr(0, i);
    ++seen;
  }
  return text;
}

std::string Enclosed(const std::string& escaped) { return "'" + escaped + "'"; }

std::string SqlTextOf(const std::string& text, int maxLength) {
  std::string trimmed = TrimControl(text);
  if (maxLength > 0) trimmed = FirstCharacters(trimmed, maxLength);
  // Not QuoteSqlText: that trims again, and a cut may leave a blank at the end
  // that belongs to the literal.
  return Enclosed(EscapeSqlQuotes(trimmed));
}

std::string LikeTextOf(const std::string& text) {
  return "'%" + EscapeSqlQuotes(TrimControl(text)) + "%'";
}

std::string MaxTextOf(const std::string& text) {
  const std::string trimmed = TrimControl(text);
  // A blank field must still match nothing in a query, so it becomes a text
  // no real name carries.
  if (trimmed.empty()) return "'做做做'";
  return Enclosed(EscapeSqlQuotes(trimmed));
}

// Depth-first walk over the rows; stops when `visit` returns false.
template <typename Visit>
bool WalkDepthFirst(const std::vector<std::unique_ptr<TreeNode>>& nodes, Visit&& visit) {
  for (const auto& node : nodes) {
    if (!visit(*node)) return false;
    if (!WalkDepthFirst(node->children, visit)) return false;
  }
  return true;
}

}  // namespace

void Control::setEnabled(bool enabled) {
  enabled_ = enabled;
  if (view_) view_->showEnabled(enabled);
}

void Control::attach(ControlView* view) {
  view_ = view;
  if (view_) showState(*view_);
}

void Control::showState(ControlView& view) const { view.showEnabled(enabled_); }

void TdxInplaceTextEdit::setText(const std::string& text, Source source) {
  const bool changed = text != text_;
  text_ = text;
  // The widget already shows what the user typed; echoing it back would move
  // the caret.
  if (source == Source::Program && view_) view_->showText(text_);
  if (changed) textChanged();
}

int TdxPickEdit::itemIndex() const {
  const auto found = std::find(items_.begin(), items_.end(), text());
  return found == items_.end() ? -1 : static_cast<int>(found - items_.begin());
}

void TdxPickEdit::setItemIndex(int index, Source source) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return;
  setText(items_[static_cast<size_t>(index)], source);
}

void TdxInplaceTextEdit::showState(ControlView& view) const {
  Control::showState(view);
  view.showText(text_);
}

void TdxPopupEdit::dropDown() {
  if (droppedDown_) return;
  if (onInitPopup) onInitPopup(*this);
  if (onPopup) onPopup(*this);
  droppedDown_ = true;
  if (onDropDownChanged) onDropDownChanged(true);
}

void TdxPopupEdit::closeUp(bool accept) {
  (void)accept;  // the caller acts on the choice; the model only tracks the panel
  if (!droppedDown_) return;
  droppedDown_ = false;
  if (onDropDownChanged) onDropDownChanged(false);
}

void Memo::addLine(const std::string& line) {
  const std::string added = line + "\r\n";
  text_ += added;
  if (view_) view_->showAppended(added);
}

void Memo::clear() { setText({}); }

void Memo::setText(const std::string& text) {
  text_ = text;
  if (view_) view_->showText(text_);
}

void Memo::showState(ControlView& view) const {
  Control::showState(view);
  view.showText(text_);
}

void TrayIcon::setVisible(bool visible) {
  visible_ = visible;
  if (view_) view_->showVisible(visible);
}

void TrayIcon::setTip(const std::string& tip) {
  tip_ = tip;
  if (view_) view_->showTip(tip_);
}

void TrayIcon::setAlarmed(bool on) {
  alarmed_ = on;
  if (view_) view_->showAlarm(on);
}

void TrayIcon::notify(const std::string& title, const std::string& text) {
  if (view_) view_->showBalloon(title, text);
}

void TrayIcon::showState(ControlView& view) const {
  Control::showState(view);
  view.showTip(tip_);
  view.showAlarm(alarmed_);
  view.showVisible(visible_);
}

void TdxSpinEdit::setValue(double value, Source source) {
  value_ = value;
  if (source == Source::Program && view_) view_->showValue(value_);
}

void TdxSpinEdit::showState(ControlView& view) const {
  Control::showState(view);
  view.showValue(value_);
}

void TdxCheckEdit::setChecked(bool checked, Source source) {
  if (checked == checked_) return;
  checked_ = checked;
  if (source == Source::Program && view_) view_->showChecked(checked_);
  if (onChange) onChange(*this);
}

void TdxCheckEdit::showState(ControlView& view) const {
  Control::showState(view);
  view.showChecked(checked_);
}

void TdxTreeList::setColumnWidth(int column, int width) {
  if (column < 0 || column >= static_cast<int>(columns_.size())) return;
  TreeColumn& c = columns_[static_cast<size_t>(column)];
  c.width = std::max(width, c.minWidth);
  if (view_) view_->showColumnWidth(column, c.width);
}

TreeNode& TdxTreeList::addTopNode(std::vector<std::string> values) {
  auto node = std::make_unique<TreeNode>();
  node->values = std::move(values);
  TreeNode& ref = *node;
  top_.push_back(std::move(node));
  changed();
  return ref;
}

void TdxTreeList::clear() {
  focused_ = nullptr;
  top_.clear();
  changed();
}

void TdxTreeList::setFocusedNode(TreeNode* node, Source source) {
  (void)source;  // the view has no focus display of its own to update
  focused_ = node;
}

void TdxTreeList::changed() {
  if (view_) view_->showRows();
}

void TdxTreeList::showState(ControlView& view) const {
  Control::showState(view);
  for (size_t i = 0; i < columns_.size(); ++i) view.showColumnWidth(static_cast<int>(i), columns_[i].width);
  view.showRows();
}

std::string TmEdt::tText() const { return TrimControl(text()); }
std::string TmEdt::sText() const { return SqlTextOf(text(), maxLength()); }
std::string TmEdt::lText() const { return LikeTextOf(text()); }
std::string TmEdt::sMaxText() const { return MaxTextOf(text()); }

std::string TmavBEdit::tText() const { return TrimControl(text()); }
std::string TmavBEdit::sText() const { return SqlTextOf(text(), maxLength()); }
std::string TmavBEdit::lText() const { return LikeTextOf(text()); }
std::string TmavBEdit::sMaxText() const { return MaxTextOf(text()); }

std::string TmavPopEdit::tText() const { return TrimControl(text()); }
std::string TmavPopEdit::sText() const { return SqlTextOf(text(), maxLength()); }
std::string TmavPopEdit::lText() const { return LikeTextOf(text()); }

std::string TimeDigits(std::string_view text) {
  // The mask shows untyped positions as blanks; the schedule compares "HH:NN".
  std::string out(text);
  std::replace(out.begin(), out.end(), ' ', '0');
  return out;
}

std::string TmavTimeEdit::dText() const { return TimeDigits(text()); }

int TmavSpinEdit::mIntValue() const {
  double v = value();
  if (std::isnan(v)) return 0;
  if (!(minValue() == 0 && maxValue() == 0)) v = std::clamp(v, minValue(), maxValue());
  // Outside int the conversion would be undefined; saturate instead.
  v = std::clamp(std::trunc(v), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX));
  return static_cast<int>(v);
}

std::string TmavSpinEdit::sIntValue() const { return std::to_string(mIntValue()); }

TreeNode* TmavTree::mNodes(int position) const {
  if (position < 0) return nullptr;
  TreeNode* found = nullptr;
  int steps = 0;
  WalkDepthFirst(topNodes(), [&](TreeNode& node) {
    if (steps++ == position) {
      found = &node;
      return false;
    }
    return true;
  });
  return found;
}

TreeNode* TmavTree::mLastNode() const {
  TreeNode* last = nullptr;
  WalkDepthFirst(topNodes(), [&](TreeNode& node) {
    last = &node;
    return true;
  });
  return last;
}

int TmavTree::AllRowCount() const {
  int count = 0;
  WalkDepthFirst(topNodes(), [&](TreeNode&) {
    ++count;
    return true;
  });
  return count;
}

void TmavTree::keyDown(int virtualKey) {
  TdxTreeList::keyDown(virtualKey);
  constexpr int kDelete = 46;
  if (virtualKey != kDelete || !CanDeleteRow || rowSelect) return;
  std::vector<TreeNode*> selected;
  WalkDepthFirst(topNodes(), [&](TreeNode& node) {
    if (node.selected) selected.push_back(&node);
    return true;
  });
  if (selected.size() < 2) return;
  const bool editable = std::any_of(columns().begin(), columns().end(), [](const TreeColumn& c) {
    return c.visible && !c.readOnly && !c.checkBox;
  });
  if (!editable) return;
  for (TreeNode* node : selected) {
    for (std::string& value : node->values) value.clear();
  }
  changed();
}

Component* ComponentOwner::find(const std::string& componentName) const {
  // Component names compare like identifiers of the form designer: letter case
  // does not matter.
  for (const auto& component : components_) {
    if (EqualsIgnoringAsciiCase(component->name(), componentName)) return component.get();
  }
  return nullptr;
}

}  // namespace bakwyn::form
