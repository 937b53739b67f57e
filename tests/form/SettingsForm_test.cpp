// The model of the settings window: its components in creation order under the
// names the store and the driver use, their initial states and limits, and the
// rules that tie check boxes to their editors.
#include "form/SettingsForm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "form/FrmMainIds.h"

namespace bakwyn::form {
namespace {

TEST(SettingsForm, OwnsItsComponentsInCreationOrderUnderTheirNames) {
  const SettingsForm form;
  EXPECT_EQ(form.name(), "FrmMain");
  std::vector<std::string> all, stored;
  for (const auto& c : form.components()) {
    all.push_back(c->name());
    const Component* p = c.get();
    if (p->keptByStore && (dynamic_cast<const TdxTreeList*>(p) || dynamic_cast<const TdxInplaceTextEdit*>(p) ||
                           dynamic_cast<const TdxSpinEdit*>(p) || dynamic_cast<const TdxCheckEdit*>(p)))
      stored.push_back(c->name());
  }
  // The window's widgets and the driver in another process find components
  // through the ID table: it lists them all, in this order.
  EXPECT_EQ(all, std::vector<std::string>(std::begin(kFrmMainComponents), std::end(kFrmMainComponents)));
  // The control-state store walks exactly these, in this order.
  const std::vector<std::string> expected = {
      "mavTree1",    "mEdt2",        "mEdt3",       "mEdt4",        "mavBEdit2",   "dxCheckEdit1",
      "dxTimeEdit1", "dxCheckEdit2", "dxTimeEdit2", "dxCheckEdit3", "dxTimeEdit3", "dxCheckEdit4",
      "dxTimeEdit4", "mEdt1",        "dxCheckEdit5", "mavSpinEdit1"};
  EXPECT_EQ(stored, expected);
  // Names are keys: no two components share one.
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size());
  // The typed members are the components of those names.
  EXPECT_EQ(form.find("mEdt4"), &form.mEdt4);
  EXPECT_EQ(form.find("dxTimeEdit3"), form.dxTimeEdits[2]);
  EXPECT_EQ(form.find("dxCheckEdit5"), form.dxCheckEdits[4]);
}

// The driver in another process and the window's widgets reach a component
// only through its control ID: every one has an ID that names it back.
TEST(SettingsForm, EveryComponentHasAUniqueNameAndAnIdTheDriverFinds) {
  const SettingsForm form;
  std::set<int> ids;
  for (const auto& c : form.components()) {
    const int id = FrmMainControlId(c->name());
    EXPECT_NE(id, 0) << c->name();
    EXPECT_EQ(FrmMainComponentName(id), c->name());
    EXPECT_EQ(form.find(c->name()), c.get()) << c->name();
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), form.components().size());
  // The tray menu and the actions are components of the window too, each
  // with something to show.
  std::set<const Component*> items;
  for (const MenuItem* item : form.PopupMenu1.items) {
    EXPECT_EQ(form.find(item->name()), item);
    EXPECT_FALSE(item->caption().empty()) << item->name();
    items.insert(item);
  }
  EXPECT_EQ(items.size(), form.PopupMenu1.items.size()) << "no item twice";
  for (const Action* action : {&form.Bak, &form.Action1, &form.deleteoldfile}) {
    EXPECT_EQ(form.find(action->name()), action);
    EXPECT_EQ(action->caption(), action->name());
  }
}

// What a widget was last told to show.
struct ShownState final : ControlView {
  std::optional<bool> enabled, checked, visible;
  std::optional<std::string> text;
  std::optional<double> value;
  std::map<int, int> widths;
  void showText(const std::string& t) override { text = t; }
  void showEnabled(bool on) override { enabled = on; }
  void showChecked(bool on) override { checked = on; }
  void showValue(double v) override { value = v; }
  void showColumnWidth(int column, int width) override { widths[column] = width; }
  void showVisible(bool on) override { visible = on; }
};

// Attached to its widget, every control shows its model's whole state, as
// the form was made and after the handlers change it.
TEST(SettingsForm, EveryWidgetShowsItsModelsState) {
  SettingsForm form;
  form.slotCheck(2).setChecked(true);
  form.dxCheckEdit5.setChecked(true);
  form.mEdt1.setText("数据'库");
  form.mavSpinEdit1.setValue(14);
  form.mavTree1.setColumnWidth(0, 80);
  for (const auto& c : form.components()) {
    auto* control = dynamic_cast<Control*>(c.get());
    if (!control) continue;
    SCOPED_TRACE(control->name());
    ShownState shown;
    control->attach(&shown);
    EXPECT_EQ(shown.enabled, control->enabled());
    if (const auto* edit = dynamic_cast<const TdxInplaceTextEdit*>(control)) EXPECT_EQ(shown.text, edit->text());
    if (const auto* memo = dynamic_cast<const Memo*>(control)) EXPECT_EQ(shown.text, memo->text());
    if (const auto* check = dynamic_cast<const TdxCheckEdit*>(control)) EXPECT_EQ(shown.checked, check->checked());
    if (const auto* spin = dynamic_cast<const TdxSpinEdit*>(control)) EXPECT_EQ(shown.value, spin->value());
    if (const auto* tray = dynamic_cast<const TrayIcon*>(control)) EXPECT_EQ(shown.visible, tray->visible());
    if (const auto* tree = dynamic_cast<const TdxTreeList*>(control)) {
      ASSERT_EQ(shown.widths.size(), tree->columns().size());
      for (size_t i = 0; i < tree->columns().size(); ++i) {
        EXPECT_EQ(shown.widths[static_cast<int>(i)], tree->columns()[i].width);
        EXPECT_GE(tree->columns()[i].width, tree->columns()[i].minWidth);
      }
    }
    control->attach(nullptr);
  }
}

TEST(SettingsForm, StartsWithTheInitialStatesAndLimits) {
  SettingsForm form;
  EXPECT_FALSE(form.mEdt2.enabled()) << "the server is always this computer";
  EXPECT_TRUE(form.mEdt3.enabled());
  EXPECT_TRUE(form.mEdt4.password());
  EXPECT_FALSE(form.mEdt3.password());
  for (int slot = 1; slot <= 4; ++slot) {
    EXPECT_FALSE(form.slotCheck(slot).checked()) << slot;
    EXPECT_FALSE(form.slotTime(slot).enabled()) << slot;
    EXPECT_EQ(form.slotTime(slot).text(), "00:00") << slot;
    EXPECT_EQ(form.slotTime(slot).maxLength(), 5) << "HH:NN";
  }
  // Each check box says what it switches: its own caption.
  std::set<std::string> captions;
  for (const TdxCheckEdit* check : form.dxCheckEdits) captions.insert(check->caption());
  EXPECT_EQ(captions.size(), std::size(form.dxCheckEdits));
  EXPECT_FALSE(form.dxCheckEdit5.checked()) << "nothing is deleted unless asked";
  EXPECT_FALSE(form.mavSpinEdit1.enabled());
  EXPECT_GE(form.mavSpinEdit1.value(), form.mavSpinEdit1.minValue());
  EXPECT_LE(form.mavSpinEdit1.value(), form.mavSpinEdit1.maxValue());
  EXPECT_EQ(form.mavSpinEdit1.value(), 3) << "the days kept when cleanup is ticked and nothing else changed";
  EXPECT_EQ(form.mavSpinEdit1.minValue(), 1) << "a backup is never deleted on the day it was made";
  EXPECT_EQ(form.mavSpinEdit1.maxValue(), 999999) << "the largest number of days the store reads back";
  ASSERT_EQ(form.mavTree1.columns().size(), 1u);
  EXPECT_TRUE(form.mavTree1.rowSelect);

  EXPECT_FALSE(form.Timer1.enabled()) << "idle until the settings are applied";
  EXPECT_GT(form.Timer1.interval(), 0u);
  EXPECT_LT(form.Timer1.interval(), 60'000u) << "a tick in every minute, or a slot's minute passes unseen";
  EXPECT_FALSE(form.dxCheckEdit6.checked()) << "missed backups are not made up unless asked";
  EXPECT_FALSE(form.N6.checked());
  EXPECT_FALSE(form.N7.enabled()) << "no backup runs yet";
  EXPECT_TRUE(form.N8.enabled()) << "a restore test can be asked for from the start";
  EXPECT_TRUE(form.rmTrayIcon1.visible()) << "the program starts in the tray";
  EXPECT_TRUE(form.rmTrayIcon1.minimizeToTray);
  EXPECT_EQ(form.Label10.caption(), kMakerWebAddress);
  EXPECT_EQ(form.Label11.caption(), kMakerWebAddress);
  EXPECT_EQ(form.mavMemo1.text(), "");
}

TEST(SettingsForm, EachSlotsCheckBoxEnablesItsOwnEditorAndCleanupItsDayCount) {
  SettingsForm form;
  for (int slot = 1; slot <= 4; ++slot) {
    SCOPED_TRACE(slot);
    form.slotCheck(slot).setChecked(true);
    for (int other = 1; other <= 4; ++other) EXPECT_EQ(form.slotTime(other).enabled(), other == slot) << other;
    EXPECT_FALSE(form.mavSpinEdit1.enabled());
    form.slotCheck(slot).setChecked(false);
    EXPECT_FALSE(form.slotTime(slot).enabled());
  }
  form.dxCheckEdit5.setChecked(true);
  EXPECT_TRUE(form.mavSpinEdit1.enabled());
  for (int slot = 1; slot <= 4; ++slot) EXPECT_FALSE(form.slotTime(slot).enabled());
  form.dxCheckEdit5.setChecked(false);
  EXPECT_FALSE(form.mavSpinEdit1.enabled());
}

// The options page starts as an older version's store loads: every backup
// verified, a weekly restore test on Sunday right after the first backup.
TEST(SettingsForm, OptionsPageAndTrayItemStartWithTheDefaults) {
  SettingsForm form;
  EXPECT_EQ(form.PageControl1.tabs, (std::vector<std::string>{"数据库的连接设置", "选项", "关于Vorda的其它产品"}));
  EXPECT_EQ(form.dxCheckEdit7.caption(), "备份后校验");
  EXPECT_TRUE(form.dxCheckEdit7.checked());
  EXPECT_EQ(form.Label14.caption(), "恢复测试");
  EXPECT_EQ(form.dxPickEdit1.items(), (std::vector<std::string>{"不测试", "每周", "每天"}));
  EXPECT_EQ(form.dxPickEdit2.items(),
            (std::vector<std::string>{"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"}));
  const std::vector<std::string>& hours = form.dxPickEdit3.items();
  ASSERT_EQ(hours.size(), 25u);
  EXPECT_EQ(hours[0], "第一次备份后");
  EXPECT_EQ(hours[SettingsForm::kFirstHourItem], "00:00");
  EXPECT_EQ(hours[SettingsForm::kFirstHourItem + 9], "09:00");
  EXPECT_EQ(hours[SettingsForm::kFirstHourItem + 23], "23:00");
  EXPECT_EQ(form.dxPickEdit1.text(), "每周");
  EXPECT_EQ(form.dxPickEdit2.text(), "星期日");
  EXPECT_EQ(form.dxPickEdit3.text(), "第一次备份后");
  EXPECT_TRUE(form.dxPickEdit2.enabled());
  EXPECT_TRUE(form.dxPickEdit3.enabled());
  // Its values are kept beside the stored controls: the store passes over them.
  for (const Component* option : std::initializer_list<const Component*>{&form.dxCheckEdit7, &form.dxPickEdit1,
                                                                         &form.dxPickEdit2, &form.dxPickEdit3})
    EXPECT_FALSE(option->keptByStore) << option->name();
  // "立即测试恢复" and "恢复数据库..." follow the backup's items, before leaving;
  // the restore window's item was made last, so that the others keep their IDs.
  std::vector<std::string> menu;
  for (const MenuItem* item : form.PopupMenu1.items) menu.push_back(item->name());
  EXPECT_EQ(menu, (std::vector<std::string>{"N4", "N3", "N1", "N5", "N6", "N7", "N8", "N9", "N2"}));
  EXPECT_EQ(form.N8.caption(), "立即测试恢复");
  EXPECT_EQ(form.N9.caption(), "恢复数据库...");
  EXPECT_EQ(form.components().back()->name(), "N9");
}

// The names of the components created after `first`, `first` included.
std::vector<std::string> NamesFrom(const SettingsForm& form, const std::string& first) {
  std::vector<std::string> names;
  for (const auto& c : form.components()) {
    if (!names.empty() || c->name() == first) names.push_back(c->name());
  }
  return names;
}

// The ping addresses came after every component before them, so that those
// keep their control IDs; their fields are plain edits, empty until loaded, and
// kept beside the stored controls.
TEST(SettingsForm, PingAddressesFollowTheRestoreTestOnTheOptionsPage) {
  const SettingsForm form;
  std::vector<std::string> after = NamesFrom(form, "N8");
  after.resize(std::min<size_t>(after.size(), 9));
  EXPECT_EQ(after, (std::vector<std::string>{"N8", "Bevel4", "Label16", "mEdt5", "SpeedButton3", "Label17", "mEdt6",
                                             "SpeedButton4", "Label18"}));
  EXPECT_EQ(form.find("mEdt5"), &form.mEdt5);
  EXPECT_EQ(form.find("SpeedButton4"), &form.SpeedButton4);
  EXPECT_EQ(form.Label16.caption(), "备份结果通知地址 (可选):");
  EXPECT_EQ(form.Label17.caption(), "恢复测试结果通知地址 (可选):");
  EXPECT_EQ(form.SpeedButton3.caption(), "测试");
  EXPECT_EQ(form.SpeedButton4.caption(), "测试");
  EXPECT_EQ(form.Label18.caption(),
            "每次备份开始时发送到 地址/start,成功后发送到 地址,失败后发送到 地址/fail。可用于监控服务或聊天工具的接收地址。");
  for (const TmEdt* address : {&form.mEdt5, &form.mEdt6}) {
    SCOPED_TRACE(address->name());
    EXPECT_FALSE(address->password()) << "the user must be able to read the address back";
    EXPECT_TRUE(address->enabled());
    EXPECT_EQ(address->text(), "");
    EXPECT_FALSE(address->keptByStore);
  }
}

// The log backup and the switch to the simple recovery model came last, after
// the ping addresses. The log is not backed up unless asked (older versions
// never backed it up), and the check box is kept beside the stored controls.
TEST(SettingsForm, LogBackupAndSimpleRecoveryComeLastOnTheOptionsPage) {
  const SettingsForm form;
  // Only the restore window's menu item was made after them.
  EXPECT_EQ(NamesFrom(form, "Label18"), (std::vector<std::string>{"Label18", "Bevel5", "dxCheckEdit8", "Label19",
                                                                  "SpeedButton5", "Label20", "N9"}));
  EXPECT_EQ(form.find("dxCheckEdit8"), &form.dxCheckEdit8);
  EXPECT_EQ(form.find("SpeedButton5"), &form.SpeedButton5);
  EXPECT_EQ(form.find("Label20"), &form.Label20);
  EXPECT_EQ(form.dxCheckEdit8.caption(), "同时备份事务日志");
  EXPECT_EQ(form.Label19.caption(),
            "每次定时备份成功后,再把事务日志备份到同一目录 (.trn 文件),完整恢复模式的日志才不会一直增长。");
  EXPECT_EQ(form.SpeedButton5.caption(), "改为简单恢复模式");
  EXPECT_EQ(form.Label20.caption(), "不需要恢复到两次备份之间的某一时刻时,可改为简单恢复模式,日志会自动截断。");
  EXPECT_FALSE(form.dxCheckEdit8.checked());
  EXPECT_TRUE(form.dxCheckEdit8.enabled());
  EXPECT_FALSE(form.dxCheckEdit8.keptByStore);
  EXPECT_TRUE(form.SpeedButton5.enabled());
}

TEST(SettingsForm, TheFrequencyEnablesTheDayOnlyWhenWeeklyAndTheHourUnlessNever) {
  struct Case {
    int every;
    bool day, hour;
  };
  const Case cases[] = {{0, false, false}, {2, false, true}, {1, true, true}, {0, false, false}, {1, true, true}};
  SettingsForm form;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.every);
    form.dxPickEdit1.setItemIndex(c.every, Source::User);
    EXPECT_EQ(form.dxPickEdit2.enabled(), c.day);
    EXPECT_EQ(form.dxPickEdit3.enabled(), c.hour);
  }
}

TEST(SettingsForm, LogPaneKeepsLinesUntilCleared) {
  SettingsForm form;
  form.mavMemo1.addLine("备份记录:");
  form.mavMemo1.addLine("[26-12-10 07:05:09]: 数据库连接成功!");
  EXPECT_EQ(form.mavMemo1.text(), "备份记录:\r\n[26-12-10 07:05:09]: 数据库连接成功!\r\n");
  form.mavMemo1.clear();
  EXPECT_EQ(form.mavMemo1.text(), "");
}

}  // namespace
}  // namespace bakwyn::form
