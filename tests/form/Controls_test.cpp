#include "form/Controls.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <cmath>
#include <string>
#include <vector>

namespace bakwyn::form {
namespace {

// Records what the model asked its view to show, in order.
class RecordingView : public ControlView {
 public:
  std::vector<std::string> calls;
  void showText(const std::string& text) override { calls.push_back("text:" + text); }
  void showEnabled(bool on) override { calls.push_back(on ? "enabled" : "disabled"); }
  void showChecked(bool on) override { calls.push_back(on ? "checked" : "unchecked"); }
  void showValue(double value) override { calls.push_back("value:" + std::to_string(static_cast<int>(value))); }
  void showColumnWidth(int column, int width) override {
    calls.push_back("width:" + std::to_string(column) + "=" + std::to_string(width));
  }
  void showRows() override { calls.push_back("rows"); }
};

struct TextCase {
  const char* name;
  std::string text;
  int maxLength;
  std::string tText, sText, lText, sMaxText;
};

std::string Repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

const std::vector<TextCase>& TextCases() {
  static const std::vector<TextCase> cases = {
      {"empty", "", 0, "", "''", "'%%'", "'做做做'"},
      {"only blanks and controls", " \t\r\n\x01 ", 0, "", "''", "'%%'", "'做做做'"},
      {"single quote", "a'b", 0, "a'b", "'a'+CHAR(39)+'b'", "'%a'+CHAR(39)+'b%'", "'a'+CHAR(39)+'b'"},
      {"double quote", "say \"hi\"", 0, "say \"hi\"", "'say '+CHAR(34)+'hi'+CHAR(34)+''",
       "'%say '+CHAR(34)+'hi'+CHAR(34)+'%'", "'say '+CHAR(34)+'hi'+CHAR(34)+''"},
      {"trimmed at both ends only", " \t a  b \r\n", 0, "a  b", "'a  b'", "'%a  b%'", "'a  b'"},
      {"brackets semicolons braces", "[x];{y}--", 0, "[x];{y}--", "'[x];{y}--'", "'%[x];{y}--%'", "'[x];{y}--'"},
      {"chinese", " 数据库 ", 0, "数据库", "'数据库'", "'%数据库%'", "'数据库'"},
      {"cut counts characters not bytes", "数据库备份", 3, "数据库备份", "'数据库'", "'%数据库备份%'", "'数据库备份'"},
      {"cut after trimming keeps an inner blank", "  ab cd", 3, "ab cd", "'ab '", "'%ab cd%'", "'ab cd'"},
      {"cut before a quote drops it", "ab'c", 2, "ab'c", "'ab'", "'%ab'+CHAR(39)+'c%'", "'ab'+CHAR(39)+'c'"},
      {"cut keeps a quote at the edge", "ab'c", 3, "ab'c", "'ab'+CHAR(39)+''", "'%ab'+CHAR(39)+'c%'",
       "'ab'+CHAR(39)+'c'"},
      {"limit longer than the text", "abc", 10, "abc", "'abc'", "'%abc%'", "'abc'"},
      {"very long text with a limit", Repeat("库", 5000), 4000, Repeat("库", 5000), "'" + Repeat("库", 4000) + "'",
       "'%" + Repeat("库", 5000) + "%'", "'" + Repeat("库", 5000) + "'"},
  };
  return cases;
}

template <typename Edit>
void ExpectCommonAccessors(const TextCase& c) {
  Edit edit("edit");
  edit.setText(c.text);
  edit.setMaxLength(c.maxLength);
  EXPECT_EQ(edit.tText(), c.tText);
  EXPECT_EQ(edit.sText(), c.sText);
  EXPECT_EQ(edit.lText(), c.lText);
}

TEST(TextAccessors, EveryEditClassAgreesOnEveryCase) {
  for (const TextCase& c : TextCases()) {
    SCOPED_TRACE(c.name);
    ExpectCommonAccessors<TmEdt>(c);
    ExpectCommonAccessors<TmavBEdit>(c);
    ExpectCommonAccessors<TmavPopEdit>(c);
    TmEdt edit("mEdt1");
    edit.setText(c.text);
    edit.setMaxLength(c.maxLength);
    EXPECT_EQ(edit.sMaxText(), c.sMaxText);
    TmavBEdit button("mavBEdit1");
    button.setText(c.text);
    button.setMaxLength(c.maxLength);
    EXPECT_EQ(button.sMaxText(), c.sMaxText);
  }
}

TEST(TimeAccessor, BlanksBecomeZeros) {
  const struct {
    const char* text;
    const char* dText;
  } cases[] = {{"08:05", "08:05"}, {" 8: 5", "08:05"}, {"  :  ", "00:00"}, {"", ""}, {"21:3 ", "21:30"}};
  for (const auto& c : cases) {
    TmavTimeEdit edit("dxTimeEdit1");
    edit.setText(c.text);
    EXPECT_EQ(edit.dText(), c.dText) << "'" << c.text << "'";
  }
}

TEST(SpinAccessors, TruncateTowardZeroThenClampToTheRange) {
  const struct {
    const char* name;
    double value, min, max;
    int expected;
  } cases[] = {
      {"zero below the minimum", 0, 1, 999999, 1},
      {"inside", 3, 1, 999999, 3},
      {"at the maximum", 999999, 1, 999999, 999999},
      {"above the maximum", 1000000, 1, 999999, 999999},
      {"fraction cut", 2.9, 1, 999999, 2},
      {"negative fraction cut toward zero, no range", -2.9, 0, 0, -2},
      {"negative inside a range", -2.9, -5, 5, -2},
      {"no range keeps large values", 1234567, 0, 0, 1234567},
      {"beyond int saturates", 1e12, 0, 0, INT_MAX},
      {"far below int saturates", -1e12, 0, 0, INT_MIN},
      {"a range only at one end still clamps", -4, 0, 10, 0},
  };
  for (const auto& c : cases) {
    TmavSpinEdit spin("mavSpinEdit1");
    spin.setRange(c.min, c.max);
    spin.setValue(c.value);
    EXPECT_EQ(spin.mIntValue(), c.expected) << c.name;
    EXPECT_EQ(spin.sIntValue(), std::to_string(c.expected)) << c.name;
  }
}

// A -> A1 -> A1a, A -> A2, B, C -> C1: depth-first A A1 A1a A2 B C C1.
class SmallTree : public ::testing::Test {
 protected:
  SmallTree() {
    tree.columns().push_back(TreeColumn{"name"});
    TreeNode& a = tree.addTopNode({"A"});
    a.children.push_back(Node("A1"));
    a.children[0]->children.push_back(Node("A1a"));
    a.children.push_back(Node("A2"));
    tree.addTopNode({"B"});
    tree.addTopNode({"C"}).children.push_back(Node("C1"));
  }
  static std::unique_ptr<TreeNode> Node(const std::string& value) {
    auto node = std::make_unique<TreeNode>();
    node->values = {value};
    return node;
  }
  TmavTree tree{"mavTree1"};
};

TEST_F(SmallTree, NodesFollowDepthFirstOrder) {
  const std::vector<std::string> order = {"A", "A1", "A1a", "A2", "B", "C", "C1"};
  for (int i = 0; i < static_cast<int>(order.size()); ++i) {
    ASSERT_NE(tree.mNodes(i), nullptr) << i;
    EXPECT_EQ(tree.mNodes(i)->values[0], order[static_cast<size_t>(i)]);
  }
  EXPECT_EQ(tree.mNodes(7), nullptr);
  EXPECT_EQ(tree.mNodes(-1), nullptr);
  ASSERT_NE(tree.mLastNode(), nullptr);
  EXPECT_EQ(tree.mLastNode()->values[0], "C1");
  EXPECT_EQ(tree.AllRowCount(), 7);
}

TEST(TreeAccessors, EmptyListHasNoNodes) {
  TmavTree tree("mavTree1");
  EXPECT_EQ(tree.mNodes(0), nullptr);
  EXPECT_EQ(tree.mLastNode(), nullptr);
  EXPECT_EQ(tree.AllRowCount(), 0);
}

TEST(TreeDeleteKey, ClearsSelectedRowsOnlyWhenEveryConditionHolds) {
  const struct {
    const char* name;
    bool rowSelect;
    bool canDelete;
    int key;
    std::vector<int> selected;  // depth-first positions
    TreeColumn column;
    bool cleared;
  } cases[] = {
      {"all conditions hold", false, true, 46, {0, 2}, TreeColumn{"c"}, true},
      {"a selected child counts", false, true, 46, {1, 3}, TreeColumn{"c"}, true},
      {"row selection on", true, true, 46, {0, 2}, TreeColumn{"c"}, false},
      {"one row selected", false, true, 46, {2}, TreeColumn{"c"}, false},
      {"deleting not allowed", false, false, 46, {0, 2}, TreeColumn{"c"}, false},
      {"another key", false, true, 45, {0, 2}, TreeColumn{"c"}, false},
      {"read-only column", false, true, 46, {0, 2}, TreeColumn{"c", 50, 0, true, true, false}, false},
      {"check-box column", false, true, 46, {0, 2}, TreeColumn{"c", 50, 0, true, false, true}, false},
      {"hidden column", false, true, 46, {0, 2}, TreeColumn{"c", 50, 0, false, false, false}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TmavTree tree("mavTree1");
    tree.columns().push_back(c.column);
    tree.rowSelect = c.rowSelect;
    tree.CanDeleteRow = c.canDelete;
    TreeNode& first = tree.addTopNode({"one"});
    auto child = std::make_unique<TreeNode>();
    child->values = {"one.child"};
    first.children.push_back(std::move(child));
    tree.addTopNode({"two"});
    tree.addTopNode({"three"});
    for (int position : c.selected) tree.mNodes(position)->selected = true;
    RecordingView view;
    tree.attach(&view);
    view.calls.clear();

    tree.keyDown(c.key);

    for (int i = 0; i < tree.AllRowCount(); ++i) {
      const TreeNode* node = tree.mNodes(i);
      const bool expectEmpty = c.cleared && node->selected;
      EXPECT_EQ(node->values[0].empty(), expectEmpty) << "row " << i;
    }
    EXPECT_EQ(view.calls, c.cleared ? std::vector<std::string>{"rows"} : std::vector<std::string>{});
  }
}

TEST(TreeDeleteKey, TheDatabaseListWithRowSelectionNeverClears) {
  TmavTree tree("mavTree1");
  tree.columns().push_back(TreeColumn{"数据库名称", 57, 10});
  tree.rowSelect = true;
  for (const char* name : {"master", "库一", "库二"}) tree.addTopNode({name}).selected = true;
  tree.keyDown(46);
  EXPECT_EQ(tree.mNodes(1)->values[0], "库一");
  EXPECT_EQ(tree.mLastNode()->values[0], "库二");
}

TEST(TreeColumns, WidthKeepsToTheMinimumAndIgnoresUnknownColumns) {
  TmavTree tree("mavTree1");
  tree.columns().push_back(TreeColumn{"数据库名称", 57, 10});
  RecordingView view;
  tree.attach(&view);
  view.calls.clear();
  tree.setColumnWidth(0, 120);
  EXPECT_EQ(tree.columns()[0].width, 120);
  tree.setColumnWidth(0, 3);
  EXPECT_EQ(tree.columns()[0].width, 10);
  tree.setColumnWidth(1, 80);
  tree.setColumnWidth(-1, 80);
  EXPECT_EQ(view.calls, (std::vector<std::string>{"width:0=120", "width:0=10"}));
}

TEST(CheckEdit, ChangeHandlerRunsOnlyWhenTheStateChanges) {
  TdxCheckEdit check("dxCheckEdit1");
  RecordingView view;
  check.attach(&view);
  view.calls.clear();
  std::vector<bool> seen;
  check.onChange = [&](TdxCheckEdit& sender) { seen.push_back(sender.checked()); };

  check.setChecked(false);                // unchanged
  check.setChecked(true);                 // program: shown and handled
  check.setChecked(true);                 // unchanged
  check.setChecked(false, Source::User);  // user: handled, the widget already shows it

  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
  EXPECT_EQ(view.calls, std::vector<std::string>{"checked"});
}

TEST(Views, ProgramChangesAreShownAndUserChangesAreNotEchoed) {
  TmEdt edit("mEdt3");
  TdxSpinEdit spin("mavSpinEdit1");
  RecordingView editView, spinView;
  edit.attach(&editView);
  spin.attach(&spinView);
  editView.calls.clear();
  spinView.calls.clear();

  edit.setText("sa");
  edit.setText("typed", Source::User);
  edit.setEnabled(false);
  spin.setValue(7);
  spin.setValue(8, Source::User);

  EXPECT_EQ(edit.text(), "typed");
  EXPECT_EQ(spin.value(), 8);
  EXPECT_EQ(editView.calls, (std::vector<std::string>{"text:sa", "disabled"}));
  EXPECT_EQ(spinView.calls, std::vector<std::string>{"value:7"});

  edit.attach(nullptr);
  edit.setText("detached");  // must not reach the old view
  EXPECT_EQ(editView.calls.size(), 2u);
}

TEST(Views, AttachingShowsTheWholeState) {
  TdxCheckEdit check("dxCheckEdit5");
  check.setChecked(true);
  check.setEnabled(false);
  TmavTimeEdit time("dxTimeEdit1");
  time.setText("08:05");
  RecordingView checkView, timeView;
  check.attach(&checkView);
  time.attach(&timeView);
  EXPECT_EQ(checkView.calls, (std::vector<std::string>{"disabled", "checked"}));
  EXPECT_EQ(timeView.calls, (std::vector<std::string>{"enabled", "text:08:05"}));
}

TEST(PopupEdit, OpensWithItsHandlersInOrderAndClosesOnce) {
  TmavPopEdit edit("mEdt1");
  std::vector<std::string> events;
  edit.onInitPopup = [&](TdxPopupEdit&) { events.push_back("init"); };
  edit.onPopup = [&](TdxPopupEdit&) { events.push_back("popup"); };
  edit.onDropDownChanged = [&](bool open) { events.push_back(open ? "open" : "closed"); };

  edit.dropDown();
  EXPECT_TRUE(edit.droppedDown());
  edit.dropDown();  // already open
  edit.closeUp(true);
  EXPECT_FALSE(edit.droppedDown());
  edit.closeUp(false);  // already closed

  EXPECT_EQ(events, (std::vector<std::string>{"init", "popup", "open", "closed"}));
}

TEST(ComponentOwner, FindsByNameWithoutRegardToLetterCase) {
  ComponentOwner window("FrmMain");
  auto& time1 = window.add<TmavTimeEdit>("dxTimeEdit1");
  auto& time3 = window.add<TmavTimeEdit>("dxTimeEdit3");
  window.add<Component>("数据库");
  EXPECT_EQ(window.find("dxTimeEdit3"), &time3);
  EXPECT_EQ(window.find("DXTIMEEDIT1"), &time1);
  EXPECT_NE(window.find("数据库"), nullptr);
  EXPECT_EQ(window.find("dxTimeEdit"), nullptr);
  EXPECT_EQ(window.find(""), nullptr);
}

// A pick list holds one of its items: an index outside them changes nothing,
// a text set from elsewhere that is none of them counts as no item, and the
// change hook runs once per change, whoever made it.
TEST(PickEdit, ChoosesOnlyItsItemsAndTellsEachChange) {
  TdxPickEdit pick("dxPickEdit1");
  pick.setItems({"不测试", "每周", "每天"});
  RecordingView view;
  pick.attach(&view);
  std::vector<std::string> changes;
  pick.onChange = [&](TdxPickEdit& sender) { changes.push_back(sender.text()); };
  struct Step {
    const char* name;
    std::function<void()> act;
    std::string text;
    int index;
    std::vector<std::string> changes;  // what the hook saw, all steps so far
    std::vector<std::string> shown;    // what the view was told, all steps so far
  };
  const Step steps[] = {
      {"nothing chosen yet", [] {}, "", -1, {}, {"enabled", "text:"}},
      {"the program chooses", [&] { pick.setItemIndex(2); }, "每天", 2, {"每天"}, {"enabled", "text:", "text:每天"}},
      {"the same item again", [&] { pick.setItemIndex(2); }, "每天", 2, {"每天"},
       {"enabled", "text:", "text:每天", "text:每天"}},
      {"the user chooses: not echoed", [&] { pick.setItemIndex(0, Source::User); }, "不测试", 0, {"每天", "不测试"},
       {"enabled", "text:", "text:每天", "text:每天"}},
      {"past the last item", [&] { pick.setItemIndex(3); }, "不测试", 0, {"每天", "不测试"},
       {"enabled", "text:", "text:每天", "text:每天"}},
      {"below the first", [&] { pick.setItemIndex(-1); }, "不测试", 0, {"每天", "不测试"},
       {"enabled", "text:", "text:每天", "text:每天"}},
      {"a text of no item", [&] { pick.setText("每月"); }, "每月", -1, {"每天", "不测试", "每月"},
       {"enabled", "text:", "text:每天", "text:每天", "text:每月"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    EXPECT_EQ(pick.text(), step.text);
    EXPECT_EQ(pick.itemIndex(), step.index);
    EXPECT_EQ(changes, step.changes);
    EXPECT_EQ(view.calls, step.shown);
  }
}

}  // namespace
}  // namespace bakwyn::form
