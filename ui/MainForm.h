#pragma once
// The settings window: every component in creation order, owned by one
// ComponentOwner named "FrmMain" (the control-state store walks it), the log
// pane, the tray icon with its menu, and the coded message boxes.
//
// The handlers are virtual and empty here; the application's window class
// derives from this one and fills them in.
#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Clock.h"
#include "ui/Controls.h"
#include "ui/FrmMainIds.h"
#include "ui/MessageHelper.h"
#include "ui/Widgets.h"
#include "ui/Window.h"

namespace bakwyn::ui {

// The log pane's time stamp, "[YY-MM-DD HH:NN:SS]: ".
std::string LogStamp(const LocalDateTime& t);

// The maker's web address, shown by the link labels and opened by the menu.
// Registered message by which a second start of the program asks the running one
// to open its settings window.
inline constexpr wchar_t kShowSettingsMessage[] = L"Bakwyn.ShowSettings";
// Argument of a start that opens the settings window at once: the program
// restarted with administrator rights to save them.
inline constexpr wchar_t kSettingsArgument[] = L"/settings";

class MainForm : public Window {
 public:
  // The window is created hidden; `clock` stamps the log lines and must outlive it.
  explicit MainForm(const Clock& clock);
  ~MainForm() override;

  ComponentOwner& components() { return owner_; }
  const ComponentOwner& components() const { return owner_; }

  // Appends "[YY-MM-DD HH:NN:SS]: " + text as a new line of the log pane. While
  // the window is visible it then moves the pane's caret down and focuses it,
  // so the view follows the newest line.
  void AppendLog(const std::string& text);
  void AddLogLine(const std::string& text);  // a line without time stamp
  void ClearLog();

  int ShowMessageCode(std::int32_t code, const std::string& text);
  MessageBoxFunction messageBox = SystemMessageBox();

  // The window of a named control (the edit of a two-part control), or null.
  HWND controlWindow(const std::string& name) const;

  // Header strip
  Panel* Panel1;
  Panel* Image1;
  Label* Label1;
  Label* Label2;
  Label* Label3;
  LinkLabel* Label10;
  Bevel* Bevel1;
  // Button column
  Panel* Panel2;
  Button* BitBtn1;
  Button* BitBtn3;
  Button* BitBtn2;
  // Pages
  PageControl* PageControl1;
  Panel* TabSheet1;
  Memo* mavMemo1;
  Panel* Panel7;
  TmavTree* mavTree1;
  Label* Label4;
  TmEdt* mEdt2;
  Label* Label5;
  Label* Label6;
  TmEdt* mEdt3;
  Label* Label7;
  TmEdt* mEdt4;
  Label* Label9;
  TmavBEdit* mavBEdit2;
  Bevel* Bevel2;
  std::array<TdxCheckEdit*, 5> dxCheckEdits;  // dxCheckEdit1 .. dxCheckEdit5
  std::array<TmavTimeEdit*, 4> dxTimeEdits;   // dxTimeEdit1 .. dxTimeEdit4
  Label* Label8;
  TmavPopEdit* mEdt1;
  Button* SpeedButton1;
  TmavSpinEdit* mavSpinEdit1;
  Panel* TabSheet3;
  LinkLabel* Label11;
  Memo* mavMemo2;
  StatusBar* StatusBar1;
  // Non-visual members
  PopupMenu* PopupMenu1;
  MenuItem* N4;
  MenuItem* N3;
  MenuItem* N1;
  MenuItem* N2;
  TrayIconComponent* rmTrayIcon1;
  Timer* Timer1;
  Component* ActionList1;
  Action* Bak;
  Action* Action1;
  Action* deleteoldfile;
  Component* adoConn;
  Component* qryTemp;

 protected:
  // Handlers, by component and event.
  virtual void FormShow() {}
  virtual bool FormCloseQuery() { return true; }  // false refuses the close
  virtual void FormDestroy() {}
  // true: the command was handled and gets no default handling.
  virtual bool WMSysCommand(WPARAM /*command*/) { return false; }
  virtual void BitBtn1Click() {}
  virtual void BitBtn2Click() {}
  virtual void BitBtn3Click() {}
  virtual void SpeedButton1Click() {}
  virtual void mavBEdit2ButtonClick() {}
  virtual void mEdt1InitPopup() {}
  virtual void mEdt1Popup() {}
  virtual void mavTree1Click() {}
  virtual void Label10Click(LinkLabel& /*sender*/) {}
  virtual void dxCheckEdit1Change(TdxCheckEdit& /*sender*/) {}  // dxCheckEdit1 to dxCheckEdit4
  virtual void dxCheckEdit5Change(TdxCheckEdit& /*sender*/) {}
  virtual void N1Click() {}
  virtual void N2Click() {}
  virtual void N4Click() {}
  virtual void Timer1Timer() {}
  virtual void BakExecute() {}
  virtual void Action1Execute() {}
  virtual void deleteoldfileExecute() {}

  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  template <typename View>
  View& attachView(Control& model, int id, std::unique_ptr<View> view);
  template <typename View, typename Model, typename... Rest>
  Model& makeControl(std::string_view name, const WidgetArgs& args, Rest&&... rest);
  TdxCheckEdit& makeCheckBox(const std::string& name, const std::string& caption, const WidgetArgs& args);
  void createControls();
  void drawPicture(HDC dc, const RECT& rc) const;
  void showTrayMenu(POINT screenPoint);
  bool isLink(HWND hwnd) const;

  const Clock& clock_;
  ComponentOwner owner_;
  UniqueFont font_;
  UniqueFont linkFont_;
  UniqueBrush white_;
  UINT taskbarCreated_;
  UINT showSettings_;
  std::vector<std::unique_ptr<ControlView>> views_;
  std::unordered_map<int, Widget*> widgets_;  // by control ID
};

}  // namespace bakwyn::ui
