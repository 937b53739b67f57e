#include "form/SettingsForm.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "form/FrmMainIds.h"

namespace bakwyn::form {
namespace {

constexpr const char* kSlotWords[] = {"一", "二", "三", "四"};

}  // namespace

std::string SettingsForm::SlotCaption(int slot) { return std::string("备份时间") + kSlotWords[(slot - 1) & 3]; }

std::array<TdxCheckEdit*, 5> SettingsForm::createSlots() {
  std::array<TdxCheckEdit*, 5> checks{};
  for (int i = 0; i < 4; ++i) {
    const std::string digit = std::to_string(i + 1);
    TdxCheckEdit& check = add<TdxCheckEdit>("dxCheckEdit" + digit);
    check.setCaption(SlotCaption(i + 1));
    check.onChange = [this](TdxCheckEdit& sender) { dxCheckEdit1Change(sender); };
    checks[static_cast<size_t>(i)] = &check;
    TmavTimeEdit& time = add<TmavTimeEdit>("dxTimeEdit" + digit);
    // Hours and minutes only, 24-hour clock; off until its check box is ticked.
    time.setMaxLength(5);
    time.setText("00:00");
    time.setEnabled(false);
    createdTimes_[static_cast<size_t>(i)] = &time;
  }
  return checks;
}

SettingsForm::SettingsForm(std::string name)
    : ComponentOwner(std::move(name)),
      Panel1(add<Panel>("Panel1")),
      Image1(add<Panel>("Image1")),
      Label1(add<Label>("Label1", "版本号: 1.00版")),
      Label2(add<Label>("Label2", "本程序为免费软件,欢迎自由复制和传播。")),
      Label3(add<Label>("Label3", "Vorda软件主页:")),
      Label10(add<LinkLabel>("Label10", kMakerWebAddress)),
      Bevel1(add<Bevel>("Bevel1")),
      Panel2(add<Panel>("Panel2")),
      BitBtn1(add<Button>("BitBtn1", "保存")),
      BitBtn3(add<Button>("BitBtn3", "伺服运行")),
      BitBtn2(add<Button>("BitBtn2", "退出")),
      PageControl1(add<PageControl>("PageControl1")),
      TabSheet1(add<Panel>("TabSheet1")),
      mavMemo1(add<Memo>("mavMemo1")),
      Panel7(add<Panel>("Panel7")),
      mavTree1(add<TmavTree>("mavTree1")),
      Label4(add<Label>("Label4", "SQL数据库电脑名")),
      mEdt2(add<TmEdt>("mEdt2")),
      Label5(add<Label>("Label5", "[只能本机操作]")),
      Label6(add<Label>("Label6", "SQL数据库用户名")),
      mEdt3(add<TmEdt>("mEdt3")),
      Label7(add<Label>("Label7", "数据库密码")),
      mEdt4(add<TmEdt>("mEdt4")),
      Label9(add<Label>("Label9", "SQL数据库备份目录")),
      mavBEdit2(add<TmavBEdit>("mavBEdit2")),
      Bevel2(add<Bevel>("Bevel2")),
      dxCheckEdits(createSlots()),
      dxTimeEdits(createdTimes_),
      Label8(add<Label>("Label8", "SQL数据库名称")),
      mEdt1(add<TmavPopEdit>("mEdt1")),
      SpeedButton1(add<Button>("SpeedButton1", "刷新")),
      dxCheckEdit5(add<TdxCheckEdit>("dxCheckEdit5")),
      mavSpinEdit1(add<TmavSpinEdit>("mavSpinEdit1")),
      TabSheet3(add<Panel>("TabSheet3")),
      Label11(add<LinkLabel>("Label11", kMakerWebAddress)),
      mavMemo2(add<Memo>("mavMemo2")),
      StatusBar1(add<StatusBar>("StatusBar1")),
      PopupMenu1(add<PopupMenu>("PopupMenu1")),
      N4(add<MenuItem>("N4", "访问Vorda软件网站")),
      N3(add<MenuItem>("N3", "-")),
      N1(add<MenuItem>("N1", "设置界面")),
      N2(add<MenuItem>("N2", "中止退出")),
      rmTrayIcon1(add<TrayIcon>("rmTrayIcon1")),
      Timer1(add<Timer>("Timer1", 100u)),
      ActionList1(add<Component>("ActionList1")),
      Bak(add<Action>("Bak")),
      Action1(add<Action>("Action1")),
      deleteoldfile(add<Action>("deleteoldfile")),
      adoConn(add<Component>("adoConn")),
      qryTemp(add<Component>("qryTemp")),
      N5(add<MenuItem>("N5", "查看备份历史")),
      SpeedButton2(add<Button>("SpeedButton2", "\xE2\x96\xBC")),  // a down-pointing triangle
      Label12(add<Label>("Label12", "备份复制到")),
      mavBEdit3(add<TmavBEdit>("mavBEdit3")),
      Timer2(add<Timer>("Timer2", 1000u)),
      dxCheckEdit6(add<TdxCheckEdit>("dxCheckEdit6")),
      N6(add<MenuItem>("N6", "备份不需要用户登录(Windows服务)")),
      N7(add<MenuItem>("N7", "取消正在进行的备份")),
      TabSheet2(add<Panel>("TabSheet2")),
      dxCheckEdit7(add<TdxCheckEdit>("dxCheckEdit7")),
      Label13(add<Label>("Label13", "SQL服务器在备份后把备份文件完整读回校验,校验通过才算备份成功。")),
      Bevel3(add<Bevel>("Bevel3")),
      Label14(add<Label>("Label14", "恢复测试")),
      dxPickEdit1(add<TdxPickEdit>("dxPickEdit1")),
      dxPickEdit2(add<TdxPickEdit>("dxPickEdit2")),
      dxPickEdit3(add<TdxPickEdit>("dxPickEdit3")),
      Label15(add<Label>("Label15", "把最新一份校验过的备份恢复为临时数据库,检查数据库后删除它。")),
      N8(add<MenuItem>("N8", "立即测试恢复")),
      Bevel4(add<Bevel>("Bevel4")),
      Label16(add<Label>("Label16", "备份结果通知地址 (可选):")),
      mEdt5(add<TmEdt>("mEdt5")),
      SpeedButton3(add<Button>("SpeedButton3", "测试")),
      Label17(add<Label>("Label17", "恢复测试结果通知地址 (可选):")),
      mEdt6(add<TmEdt>("mEdt6")),
      SpeedButton4(add<Button>("SpeedButton4", "测试")),
      Label18(add<Label>("Label18",
                         "每次备份开始时发送到 地址/start,成功后发送到 地址,失败后发送到 地址/fail。"
                         "可用于监控服务或聊天工具的接收地址。")),
      Bevel5(add<Bevel>("Bevel5")),
      dxCheckEdit8(add<TdxCheckEdit>("dxCheckEdit8")),
      Label19(add<Label>("Label19", "每次定时备份成功后,再把事务日志备份到同一目录 (.trn 文件),"
                                    "完整恢复模式的日志才不会一直增长。")),
      SpeedButton5(add<Button>("SpeedButton5", "改为简单恢复模式")),
      Label20(add<Label>("Label20", "不需要恢复到两次备份之间的某一时刻时,可改为简单恢复模式,日志会自动截断。")),
      N9(add<MenuItem>("N9", "恢复数据库...")) {
  N7.setEnabled(false);
  mavBEdit3.keptByStore = false;
  dxCheckEdit6.keptByStore = false;
  dxCheckEdit6.setCaption("补做错过的备份");
  PageControl1.tabs = {"数据库的连接设置", "选项", "关于Vorda的其它产品"};

  TreeColumn column;
  column.caption = "数据库名称";
  column.minWidth = 10;
  column.width = 57;
  mavTree1.columns().push_back(column);
  mavTree1.rowSelect = true;

  mEdt2.setEnabled(false);  // the server is always this computer
  mEdt4.setPassword(true);  // shows "*" for every character, stored protected

  dxCheckEdits[4] = &dxCheckEdit5;
  dxCheckEdit5.setCaption("自动删除      天以前备份");
  dxCheckEdit5.onChange = [this](TdxCheckEdit& sender) { dxCheckEdit5Change(sender); };
  mavSpinEdit1.setRange(1, 999999);
  mavSpinEdit1.setValue(3);
  mavSpinEdit1.setEnabled(false);

  mavMemo2.setText(
      "Vorda还编写了其它一些小工具软件,都可以免费使用。\r\n"
      "它们的说明和下载地址请见上面的网址。");
  StatusBar1.panelWidths = {250, 50};
  PopupMenu1.items = {&N4, &N3, &N1, &N5, &N6, &N7, &N8, &N9, &N2};

  // The options page. Its values are kept beside the stored controls, and
  // every backup is proven unless the user says otherwise.
  for (Component* option : std::initializer_list<Component*>{&dxCheckEdit7, &dxPickEdit1, &dxPickEdit2, &dxPickEdit3,
                                                             &mEdt5, &mEdt6, &dxCheckEdit8})
    option->keptByStore = false;
  dxCheckEdit7.setCaption("备份后校验");
  dxCheckEdit7.setChecked(true);
  // Off: a database in the simple recovery model has no log to back up.
  dxCheckEdit8.setCaption("同时备份事务日志");
  dxPickEdit1.setItems({"不测试", "每周", "每天"});
  dxPickEdit2.setItems({"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"});
  std::vector<std::string> hours = {"第一次备份后"};
  for (int hour = 0; hour < 24; ++hour) hours.push_back((hour < 10 ? "0" : "") + std::to_string(hour) + ":00");
  dxPickEdit3.setItems(std::move(hours));
  dxPickEdit1.onChange = [this](TdxPickEdit& sender) { dxPickEdit1Change(sender); };
  dxPickEdit1.setItemIndex(1);
  dxPickEdit2.setItemIndex(0);
  dxPickEdit3.setItemIndex(0);

  // The program starts in the tray.
  rmTrayIcon1.minimizeToTray = true;
  rmTrayIcon1.setVisible(true);
}

void SettingsForm::dxCheckEdit1Change(TdxCheckEdit& sender) {
  for (int i = 0; i < 4; ++i) {
    if (dxCheckEdits[static_cast<size_t>(i)] == &sender) dxTimeEdits[static_cast<size_t>(i)]->setEnabled(sender.checked());
  }
}

void SettingsForm::dxCheckEdit5Change(TdxCheckEdit& sender) { mavSpinEdit1.setEnabled(sender.checked()); }

void SettingsForm::dxPickEdit1Change(TdxPickEdit& sender) {
  const int every = sender.itemIndex();
  dxPickEdit2.setEnabled(every == 1);
  dxPickEdit3.setEnabled(every > 0);
}

}  // namespace bakwyn::form
