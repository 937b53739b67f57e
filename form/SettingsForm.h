#pragma once
// The model of the settings window "FrmMain": every component in creation
// order with its name, kind, caption, limits and initial state, and the rules
// that tie controls together (each backup-time check box enables its time
// editor, the cleanup check box the day count). Portable: the control-state
// store, the handlers and the Win32 window all work on this one model, and the
// window builds its widgets from it.
//
// The stored controls are typed members, named as the store names their keys.
#include <array>
#include <functional>
#include <string>

#include "form/Controls.h"

namespace bakwyn::form {

class SettingsForm : public ComponentOwner {
 private:
  // Filled while the slots are created, before the members that follow.
  std::array<TmavTimeEdit*, 4> createdTimes_{};
  std::array<TdxCheckEdit*, 5> createSlots();

 public:
  // `name` is the window's name in the control-state store.
  explicit SettingsForm(std::string name = "FrmMain");
  SettingsForm(const SettingsForm&) = delete;
  SettingsForm& operator=(const SettingsForm&) = delete;

  // Header strip
  Panel& Panel1;
  Panel& Image1;  // the picture
  Label& Label1;
  Label& Label2;
  Label& Label3;
  LinkLabel& Label10;
  Bevel& Bevel1;
  // Button column
  Panel& Panel2;
  Button& BitBtn1;  // save
  Button& BitBtn3;  // serve from the tray
  Button& BitBtn2;  // exit
  // First page: the settings fields and the log pane
  PageControl& PageControl1;
  Panel& TabSheet1;
  Memo& mavMemo1;  // the log pane
  Panel& Panel7;   // the drop-down panel of the database field
  TmavTree& mavTree1;  // the database list
  Label& Label4;
  TmEdt& mEdt2;  // server
  Label& Label5;
  Label& Label6;
  TmEdt& mEdt3;  // user
  Label& Label7;
  TmEdt& mEdt4;  // password
  Label& Label9;
  TmavBEdit& mavBEdit2;  // backup folder
  Bevel& Bevel2;
  std::array<TdxCheckEdit*, 5> dxCheckEdits;  // dxCheckEdit1 .. dxCheckEdit4: slots; dxCheckEdit5: cleanup
  std::array<TmavTimeEdit*, 4> dxTimeEdits;   // dxTimeEdit1 .. dxTimeEdit4
  Label& Label8;
  TmavPopEdit& mEdt1;  // database
  Button& SpeedButton1;  // refresh the database list
  TdxCheckEdit& dxCheckEdit5;  // cleanup
  TmavSpinEdit& mavSpinEdit1;  // days
  // Second page: the maker's other products
  Panel& TabSheet3;
  LinkLabel& Label11;
  Memo& mavMemo2;
  StatusBar& StatusBar1;
  // Non-visual members
  PopupMenu& PopupMenu1;
  MenuItem& N4;  // the maker's web site
  MenuItem& N3;  // separator
  MenuItem& N1;  // settings window
  MenuItem& N2;  // stop and exit
  TrayIcon& rmTrayIcon1;
  Timer& Timer1;
  Component& ActionList1;
  Action& Bak;
  Action& Action1;
  Action& deleteoldfile;
  Component& adoConn;
  Component& qryTemp;
  MenuItem& N5;  // the backup history
  Button& SpeedButton2;  // the SQL Server instances of this computer, beside the server field
  Label& Label12;
  TmavBEdit& mavBEdit3;  // the second folder every backup is copied to; kept beside the stored controls
  Timer& Timer2;  // once a second while another scheduler runs: its history
  TdxCheckEdit& dxCheckEdit6;  // make up missed backups; kept beside the stored controls
  MenuItem& N6;  // backups without a log-on: shows and switches the backup service
  MenuItem& N7;  // cancels the backup under way; enabled only while one runs
  // The options page, between the settings page and the maker's; its values
  // are kept beside the stored controls.
  Panel& TabSheet2;
  TdxCheckEdit& dxCheckEdit7;  // each backup is verified by the server
  Label& Label13;              // what verifying means
  Bevel& Bevel3;
  Label& Label14;              // the restore test's caption
  TdxPickEdit& dxPickEdit1;    // how often the restore test runs: never, weekly, daily
  TdxPickEdit& dxPickEdit2;    // its weekday, Sunday first; enabled only for weekly
  TdxPickEdit& dxPickEdit3;    // its hour: right after the day's first backup, or 00:00 .. 23:00
  Label& Label15;              // what the restore test does
  MenuItem& N8;  // runs a restore test now
  // The options page's ping addresses, under the restore test: each POSTed to
  // after a backup, or a restore test. Kept beside the stored controls,
  // protected; shown in clear here, so that the user can check what was typed.
  Bevel& Bevel4;
  Label& Label16;
  TmEdt& mEdt5;          // where each backup's start and result are sent
  Button& SpeedButton3;  // sends a test to mEdt5's address
  Label& Label17;
  TmEdt& mEdt6;          // where each restore test's result is sent
  Button& SpeedButton4;  // sends a test to mEdt6's address
  Label& Label18;        // what is sent, and when
  // The options page's answers to a transaction log that grows until the disk
  // is full: back it up after each backup, or switch the database to the simple
  // recovery model. The check box is kept beside the stored controls.
  Bevel& Bevel5;
  TdxCheckEdit& dxCheckEdit8;  // the log is backed up after each successful scheduled backup
  Label& Label19;              // what backing up the log does
  Button& SpeedButton5;        // switches the database to the simple recovery model
  Label& Label20;              // when that is the right choice
  MenuItem& N9;                // opens the restore window

  TdxCheckEdit& slotCheck(int slot) { return *dxCheckEdits.at(static_cast<size_t>(slot) - 1); }  // 1 to 4
  TmavTimeEdit& slotTime(int slot) { return *dxTimeEdits.at(static_cast<size_t>(slot) - 1); }
  const TdxCheckEdit& slotCheck(int slot) const { return *dxCheckEdits.at(static_cast<size_t>(slot) - 1); }
  const TmavTimeEdit& slotTime(int slot) const { return *dxTimeEdits.at(static_cast<size_t>(slot) - 1); }
  // "备份时间一" .. "备份时间四", the captions of the slots' check boxes.
  static std::string SlotCaption(int slot);

  // The options page's pick lists as the stored values count them: the index
  // of dxPickEdit1 is the stored frequency (0 never, 1 weekly, 2 daily), of
  // dxPickEdit2 the weekday (0 Sunday), and dxPickEdit3's index less one the
  // hour (-1 right after the day's first backup).
  static constexpr int kFirstHourItem = 1;

  // Window events; the window runs them, the handlers set them.
  std::function<void()> onShow;            // each time the window becomes visible
  std::function<bool()> onCloseQuery;      // false refuses the close
  std::function<bool(unsigned)> onSysCommand;  // true: handled, no default handling
  std::function<void()> onPowerResume;     // the computer woke from sleep or hibernation

 private:
  // The pairing rules, run whenever the check box's state changes (also while
  // the stored states load, so an editor is enabled before its own state is read).
  void dxCheckEdit1Change(TdxCheckEdit& sender);  // dxCheckEdit1 to dxCheckEdit4
  void dxCheckEdit5Change(TdxCheckEdit& sender);
  // The day counts only for a weekly test, the hour for any test.
  void dxPickEdit1Change(TdxPickEdit& sender);
};

}  // namespace bakwyn::form
