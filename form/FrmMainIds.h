#pragma once
// The components of the main window in creation order, and the control ID each
// one carries. The window creates its components from this table, and a second
// process (the test driver) finds a control by its name through the same table:
// child windows have no names of their own, but they do have IDs.
//
// Plain C++ without <windows.h>, so the driver and portable code can include it.
#include <cstddef>
#include <iterator>
#include <string_view>

namespace bakwyn::form {

// The window's caption; also the name of the program's autostart value.
inline constexpr char kFrmMainCaption[] = "Bakwyn[Vorda免费软件]";
// The maker's web address, shown by the link labels and opened from the tray menu.
inline constexpr char kMakerWebAddress[] = "http://www.example.com/";

inline constexpr std::string_view kFrmMainComponents[] = {
    // Header strip
    "Panel1", "Image1", "Label1", "Label2", "Label3", "Label10",
    "Bevel1",
    // Button column
    "Panel2", "BitBtn1", "BitBtn3", "BitBtn2",
    // Pages; the log pane and the database list come before the fields, and the
    // fields in the order the control-state store walks them.
    "PageControl1", "TabSheet1", "mavMemo1", "Panel7", "mavTree1",
    "Label4", "mEdt2", "Label5", "Label6", "mEdt3", "Label7", "mEdt4", "Label9", "mavBEdit2",
    "Bevel2",
    "dxCheckEdit1", "dxTimeEdit1", "dxCheckEdit2", "dxTimeEdit2",
    "dxCheckEdit3", "dxTimeEdit3", "dxCheckEdit4", "dxTimeEdit4",
    "Label8", "mEdt1", "SpeedButton1",
    "dxCheckEdit5", "mavSpinEdit1",
    "TabSheet3", "Label11", "mavMemo2",
    "StatusBar1",
    // Non-visual members
    "PopupMenu1", "N4", "N3", "N1", "N2", "rmTrayIcon1", "Timer1",
    "ActionList1", "Bak", "Action1", "deleteoldfile",
    "adoConn", "qryTemp",
    // Added later, after every component of the first version, so that the
    // others keep their IDs.
    "N5", "SpeedButton2", "Label12", "mavBEdit3",
    "Timer2", "dxCheckEdit6", "N6", "N7",
    // The options page and its tray menu item.
    "TabSheet2", "dxCheckEdit7", "Label13", "Bevel3", "Label14",
    "dxPickEdit1", "dxPickEdit2", "dxPickEdit3", "Label15", "N8",
    // The options page's ping addresses.
    "Bevel4", "Label16", "mEdt5", "SpeedButton3", "Label17", "mEdt6", "SpeedButton4", "Label18",
    // The options page's log backup and the switch to the simple recovery model.
    "Bevel5", "dxCheckEdit8", "Label19", "SpeedButton5", "Label20",
    // The restore window's tray menu item.
    "N9",
};

inline constexpr int kFirstComponentId = 1000;
// A control made of two windows (edit + button, edit + up-down) gives its second
// window the control's ID plus this offset.
inline constexpr int kPartIdOffset = 500;

// The control ID of a named component, or 0 when the name is not in the table.
constexpr int FrmMainControlId(std::string_view name) {
  if (name.empty()) return 0;
  for (std::size_t i = 0; i < std::size(kFrmMainComponents); ++i) {
    if (kFrmMainComponents[i] == name) return kFirstComponentId + static_cast<int>(i);
  }
  return 0;
}

constexpr std::string_view FrmMainComponentName(int id) {
  const int index = id - kFirstComponentId;
  if (index < 0 || index >= static_cast<int>(std::size(kFrmMainComponents))) return {};
  return kFrmMainComponents[static_cast<std::size_t>(index)];
}

}  // namespace bakwyn::form
