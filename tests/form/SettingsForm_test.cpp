// The model of the settings window: its components in creation order under the
// names the store and the driver use, their initial states and limits, and the
// rules that tie check boxes to their editors.
#include "form/SettingsForm.h"

#include <gtest/gtest.h>

#include <iterator>
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

TEST(SettingsForm, StartsWithTheInitialStatesAndLimits) {
  SettingsForm form;
  EXPECT_FALSE(form.mEdt2.enabled()) << "the server is always this computer";
  EXPECT_TRUE(form.mEdt3.enabled());
  EXPECT_TRUE(form.mEdt4.password());
  EXPECT_FALSE(form.mEdt3.password());
  for (int slot = 1; slot <= 4; ++slot) {
    EXPECT_FALSE(form.slotTime(slot).enabled()) << slot;
    EXPECT_EQ(form.slotTime(slot).text(), "00:00") << slot;
    EXPECT_EQ(form.slotTime(slot).maxLength(), 5);
  }
  const char* captions[] = {"备份时间一", "备份时间二", "备份时间三", "备份时间四", "自动删除      天以前备份"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_FALSE(form.dxCheckEdits[i]->checked());
    EXPECT_EQ(form.dxCheckEdits[i]->caption(), captions[i]);
  }
  EXPECT_FALSE(form.mavSpinEdit1.enabled());
  EXPECT_EQ(form.mavSpinEdit1.value(), 3);
  EXPECT_EQ(form.mavSpinEdit1.minValue(), 1);
  EXPECT_EQ(form.mavSpinEdit1.maxValue(), 999999);
  ASSERT_EQ(form.mavTree1.columns().size(), 1u);
  EXPECT_EQ(form.mavTree1.columns()[0].caption, "数据库名称");
  EXPECT_EQ(form.mavTree1.columns()[0].width, 57);
  EXPECT_EQ(form.mavTree1.columns()[0].minWidth, 10);
  EXPECT_TRUE(form.mavTree1.rowSelect);

  EXPECT_EQ(form.Timer1.interval(), 100u);
  EXPECT_FALSE(form.Timer1.enabled()) << "idle until the settings are applied";
  EXPECT_EQ(form.Timer2.interval(), 1000u);
  EXPECT_FALSE(form.dxCheckEdit6.checked()) << "missed backups are not made up unless asked";
  EXPECT_FALSE(form.N6.checked());
  for (Action* action : {&form.Bak, &form.Action1, &form.deleteoldfile}) EXPECT_EQ(action->caption(), action->name());
  ASSERT_EQ(form.PopupMenu1.items.size(), 7u);
  const std::pair<MenuItem*, const char*> items[] = {{&form.N4, "访问Vorda软件网站"},
                                                     {&form.N3, "-"},
                                                     {&form.N1, "设置界面"},
                                                     {&form.N5, "查看备份历史"},
                                                     {&form.N6, "备份不需要用户登录(Windows服务)"},
                                                     {&form.N7, "取消正在进行的备份"},
                                                     {&form.N2, "中止退出"}};
  EXPECT_FALSE(form.N7.enabled()) << "no backup runs yet";
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(form.PopupMenu1.items[i], items[i].first);
    EXPECT_EQ(items[i].first->caption(), items[i].second);
  }
  EXPECT_TRUE(form.rmTrayIcon1.visible()) << "the program starts in the tray";
  EXPECT_TRUE(form.rmTrayIcon1.minimizeToTray);
  EXPECT_EQ(form.StatusBar1.panelWidths, (std::vector<int>{250, 50}));
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
