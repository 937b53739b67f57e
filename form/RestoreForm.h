#pragma once
// The model of the restore window "FrmRestore": restoring one of the program's
// backups, as a new database beside the current one or over the current one.
// Portable; the Win32 window (ui/RestoreWindow) builds a widget for every
// component below, and a test in another process finds each by its name
// through RestoreControlId.
//
// The components, in creation order:
//   Label1        "备份:"                         caption of the list
//   mavTree1      the backups, newest first: 日期时间, 大小, 文件夹, 已校验, 已测试恢复
//   SpeedButton1  "刷新"                          lists the backups again
//   Label2        "恢复到:"
//   RadioButton1  "恢复为新数据库"                 selected at first
//   mEdt1         the new database's name (the proposed one until the user types)
//   RadioButton2  "覆盖当前数据库 <database>"
//   BitBtn1       "显示语句"                       shows the plan's statements in mavMemo1
//   BitBtn2       "开始恢复"
//   BitBtn3       "取消"                           cancels the restore under way
//   BitBtn4       "关闭"
//   Label3        "将执行的语句:"
//   mavMemo1      the statements, one a line (read-only)
//   Label4        "进度:"
//   mavMemo2      the restore's progress and result; refusals (read-only)
//
// Everything that reaches the server or the program goes through the
// RestoreActions the program gives; the program calls progress() and
// finished() on the window's thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DatabaseRestore.h"
#include "form/Controls.h"

namespace bakwyn::form {

struct RestoreActions {
  std::string database;                                          // the current database's name
  std::function<std::vector<RestoreChoice>()> list;              // may take seconds (HEADERONLY per file)
  std::function<std::string()> proposedName;
  std::function<PlannedRestore(const RestoreChoice&, RestorePlan::Target, const std::string& newName)> plan;
  // Empty when the restore started; else why not (a backup runs, the
  // service schedules), a line for the progress pane.
  std::function<std::string(const RestorePlan&)> start;
  std::function<void()> cancel;
  std::function<bool(const std::string& text)> confirm;          // a yes/no box; tests answer it
};

// The window's title, and its window class for whoever looks for it.
inline constexpr char kFrmRestoreCaption[] = "恢复数据库";
inline constexpr wchar_t kFrmRestoreClass[] = L"TFrmRestore";

inline constexpr std::string_view kFrmRestoreComponents[] = {
    "Label1",       "mavTree1", "SpeedButton1", "Label2",  "RadioButton1", "mEdt1",    "RadioButton2", "BitBtn1",
    "BitBtn2",      "BitBtn3",  "BitBtn4",      "Label3",  "mavMemo1",     "Label4",   "mavMemo2",
};

// Apart from the settings window's IDs (1000 on), so that a name looked up in
// the wrong table finds nothing rather than another window's control.
inline constexpr int kFirstRestoreComponentId = 3000;

// The control ID of a named component of the restore window, or 0.
constexpr int RestoreControlId(std::string_view name) {
  if (name.empty()) return 0;
  for (std::size_t i = 0; i < std::size(kFrmRestoreComponents); ++i) {
    if (kFrmRestoreComponents[i] == name) return kFirstRestoreComponentId + static_cast<int>(i);
  }
  return 0;
}

constexpr std::string_view RestoreComponentName(int id) {
  const int index = id - kFirstRestoreComponentId;
  if (index < 0 || index >= static_cast<int>(std::size(kFrmRestoreComponents))) return {};
  return kFrmRestoreComponents[static_cast<std::size_t>(index)];
}

// One choice of a group: the form keeps exactly one of its group checked.
class RadioButton : public TdxCheckEdit {
 public:
  using TdxCheckEdit::TdxCheckEdit;
};

// "2026-12-10 02:00:05", as the list and the confirmation show a backup's date.
std::string RestoreDateText(const LocalDateTime& t);
// "512 KB", "350.2 MB", "12.35 GB": a backup file's size.
std::string RestoreSizeText(std::uint64_t bytes);

class RestoreForm : public ComponentOwner {
 public:
  explicit RestoreForm(RestoreActions actions);
  RestoreForm(const RestoreForm&) = delete;
  RestoreForm& operator=(const RestoreForm&) = delete;

  Label& Label1;
  TmavTree& mavTree1;
  Button& SpeedButton1;
  Label& Label2;
  RadioButton& RadioButton1;
  TmEdt& mEdt1;
  RadioButton& RadioButton2;
  Button& BitBtn1;
  Button& BitBtn2;
  Button& BitBtn3;
  Button& BitBtn4;
  Label& Label3;
  Memo& mavMemo1;
  Label& Label4;
  Memo& mavMemo2;

  // Lists the backups (the program's list action) and proposes the new name
  // unless the user typed one. The window runs it once it is on the screen.
  void refresh();
  // The backups as listed, newest first: row i of mavTree1 is choices()[i].
  const std::vector<RestoreChoice>& choices() const { return choices_; }
  // The row the user chose; nothing without rows.
  std::optional<std::size_t> chosen() const;

  // From the program, on the window's thread.
  void progress(const std::string& line);
  void finished(const RestoreResult& result);
  bool running() const { return running_.has_value(); }

  // Whether the window may close now: while a restore runs the user is asked,
  // and told that closing does not stop it. The window's close box asks this.
  bool closeQuery();
  // Set by the window: closes it (after closeQuery agreed).
  std::function<void()> onClose;

 private:
  RestorePlan::Target target() const;
  // The plan for the chosen row and target; a refusal or a missing choice is
  // said in the progress pane, and nothing comes back.
  std::optional<RestorePlan> planChosen();
  void showStatements();
  void startRestore();
  void cancelRestore();
  void targetChanged(TdxCheckEdit& sender);
  void showRunning(bool running);

  RestoreActions actions_;
  std::vector<RestoreChoice> choices_;
  std::string proposed_;               // the name last proposed, replaced while the user keeps it
  std::optional<RestorePlan> running_;  // the plan under way
};

}  // namespace bakwyn::form
