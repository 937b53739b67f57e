#include "form/RestoreForm.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <tuple>
#include <utility>

#include "engine/History.h"
#include "engine/RestoreTest.h"

namespace bakwyn::form {
namespace {

auto Moment(const LocalDateTime& t) {
  return std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
}

std::string Statements(const RestorePlan& plan) {
  std::string text;
  for (const std::string& statement : plan.statements) text += statement + "\r\n";
  return text;
}

std::string OverwriteQuestion(const RestorePlan& plan) {
  std::string text = "将用 " + RestoreDateText(plan.from.finished) + " 的备份覆盖当前数据库 " + plan.database +
                     "。\n\n这份备份之后对数据库 " + plan.database + " 所做的全部更改都会丢失。\n";
  text += plan.safetyBackup.empty() ? "覆盖前会先对当前数据库做一次安全备份。"
                                    : "覆盖前会先把当前数据库备份到:\n" + plan.safetyBackup;
  return text + "\n\n确定要覆盖吗?";
}

}  // namespace

std::string RestoreDateText(const LocalDateTime& t) { return FullStamp(t); }

std::string RestoreSizeText(std::uint64_t bytes) {
  constexpr double kMega = 1024.0 * 1024.0, kGiga = kMega * 1024.0;
  char text[32];
  if (bytes < 1024 * 1024) {
    // Rounded up: a backup of a few bytes is not "0 KB".
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>((bytes + 1023) / 1024));
  } else if (static_cast<double>(bytes) < kGiga) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / kMega);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / kGiga);
  }
  return text;
}

RestoreForm::RestoreForm(RestoreActions actions)
    : ComponentOwner("FrmRestore"),
      Label1(add<Label>("Label1", "备份:")),
      mavTree1(add<TmavTree>("mavTree1")),
      SpeedButton1(add<Button>("SpeedButton1", "刷新")),
      Label2(add<Label>("Label2", "恢复到:")),
      RadioButton1(add<RadioButton>("RadioButton1")),
      mEdt1(add<TmEdt>("mEdt1")),
      RadioButton2(add<RadioButton>("RadioButton2")),
      BitBtn1(add<Button>("BitBtn1", "显示语句")),
      BitBtn2(add<Button>("BitBtn2", "开始恢复")),
      BitBtn3(add<Button>("BitBtn3", "取消")),
      BitBtn4(add<Button>("BitBtn4", "关闭")),
      Label3(add<Label>("Label3", "将执行的语句:")),
      mavMemo1(add<Memo>("mavMemo1")),
      Label4(add<Label>("Label4", "进度:")),
      mavMemo2(add<Memo>("mavMemo2")),
      actions_(std::move(actions)) {
  // Nothing of this window is kept between runs.
  for (const auto& component : components()) component->keptByStore = false;

  struct {
    const char* caption;
    int width;
  } const columns[] = {{"日期时间", 140}, {"大小", 80}, {"文件夹", 70}, {"已校验", 55}, {"已测试恢复", 80}};
  for (const auto& c : columns) {
    TreeColumn column;
    column.caption = c.caption;
    column.width = c.width;
    column.minWidth = 10;
    column.readOnly = true;
    mavTree1.columns().push_back(column);
  }
  mavTree1.rowSelect = true;
  mavTree1.CanDeleteRow = false;

  RadioButton1.setCaption("恢复为新数据库");
  RadioButton2.setCaption("覆盖当前数据库 " + actions_.database);
  // The safe choice first: a new database beside the current one loses nothing.
  RadioButton1.setChecked(true);
  RadioButton1.onChange = [this](TdxCheckEdit& sender) { targetChanged(sender); };
  RadioButton2.onChange = [this](TdxCheckEdit& sender) { targetChanged(sender); };
  // A database's name has at most 128 characters.
  mEdt1.setMaxLength(128);

  SpeedButton1.onClick = [this] { refresh(); };
  BitBtn1.onClick = [this] { showStatements(); };
  BitBtn2.onClick = [this] { startRestore(); };
  BitBtn3.onClick = [this] { cancelRestore(); };
  BitBtn4.onClick = [this] {
    if (closeQuery() && onClose) onClose();
  };
  BitBtn3.setEnabled(false);
}

void RestoreForm::refresh() {
  if (running()) return;
  std::vector<RestoreChoice> listed;
  try {
    if (actions_.list) listed = actions_.list();
  } catch (const std::exception& e) {
    mavMemo2.addLine(std::string("无法列出备份: ") + e.what());
  }
  // Newest first whatever order the folders gave; sets of one moment keep it.
  std::stable_sort(listed.begin(), listed.end(), [](const RestoreChoice& a, const RestoreChoice& b) {
    return Moment(a.finished) > Moment(b.finished);
  });
  choices_ = std::move(listed);

  // Filled while the view is detached: each added row would redraw the whole
  // list, and attaching again shows it once.
  ControlView* view = mavTree1.view();
  mavTree1.attach(nullptr);
  mavTree1.clear();
  for (const RestoreChoice& choice : choices_) {
    mavTree1.addTopNode({RestoreDateText(choice.finished), RestoreSizeText(choice.bytes),
                         choice.secondFolder ? "第二目录" : "备份目录", choice.verified ? "是" : "",
                         choice.restoreTested ? "是" : ""});
  }
  // The newest backup is the usual choice.
  if (!mavTree1.topNodes().empty()) {
    mavTree1.topNodes().front()->selected = true;
    mavTree1.setFocusedNode(mavTree1.topNodes().front().get());
  }
  mavTree1.attach(view);

  // A name the user typed stays; the proposal follows the clock.
  if (actions_.proposedName && (mEdt1.text().empty() || mEdt1.text() == proposed_)) {
    proposed_ = actions_.proposedName();
    mEdt1.setText(proposed_);
  }
}

std::optional<std::size_t> RestoreForm::chosen() const {
  const TreeNode* focused = mavTree1.focusedNode();
  const auto& nodes = mavTree1.topNodes();
  for (std::size_t i = 0; i < nodes.size() && i < choices_.size(); ++i) {
    if (nodes[i].get() == focused) return i;
  }
  return std::nullopt;
}

RestorePlan::Target RestoreForm::target() const {
  return RadioButton2.checked() ? RestorePlan::Target::current : RestorePlan::Target::newDatabase;
}

std::optional<RestorePlan> RestoreForm::planChosen() {
  const std::optional<std::size_t> index = chosen();
  if (!index) {
    mavMemo2.addLine("请先在列表中选择要恢复的备份");
    return std::nullopt;
  }
  const RestorePlan::Target to = target();
  PlannedRestore planned;
  try {
    if (actions_.plan)
      planned = actions_.plan(choices_[*index], to, to == RestorePlan::Target::newDatabase ? mEdt1.tText() : "");
  } catch (const std::exception& e) {
    planned.plan.reset();
    planned.refusal = e.what();
  }
  if (!planned.plan) {
    mavMemo2.addLine("无法恢复: " + planned.refusal);
    return std::nullopt;
  }
  return std::move(planned.plan);
}

void RestoreForm::showStatements() {
  // Statements of an earlier choice must not stand beside a refusal of this one.
  mavMemo1.clear();
  if (const std::optional<RestorePlan> plan = planChosen()) mavMemo1.setText(Statements(*plan));
}

void RestoreForm::startRestore() {
  if (running()) return;
  mavMemo1.clear();
  std::optional<RestorePlan> plan = planChosen();
  if (!plan) return;
  mavMemo1.setText(Statements(*plan));
  if (plan->target == RestorePlan::Target::current && !(actions_.confirm && actions_.confirm(OverwriteQuestion(*plan))))
    return;
  // This run's lines start afresh; the program may send the first at once.
  mavMemo2.clear();
  const std::string refused = actions_.start ? actions_.start(*plan) : std::string("现在不能恢复");
  if (!refused.empty()) {
    mavMemo2.addLine(refused);
    return;
  }
  running_ = std::move(plan);
  showRunning(true);
}

void RestoreForm::cancelRestore() {
  if (!running()) return;
  // Once is enough: the server ends the statement under way soon.
  BitBtn3.setEnabled(false);
  mavMemo2.addLine("正在取消恢复...");
  if (actions_.cancel) actions_.cancel();
}

void RestoreForm::progress(const std::string& line) { mavMemo2.addLine(line); }

void RestoreForm::finished(const RestoreResult& result) {
  const std::string database = running_ ? running_->database : std::string();
  running_.reset();
  showRunning(false);
  const char* outcome = result.outcome == RestoreResult::Outcome::succeeded ? "恢复成功"
                        : result.outcome == RestoreResult::Outcome::cancelled ? "恢复已取消"
                                                                              : "恢复失败";
  mavMemo2.addLine(std::string(outcome) + ": 数据库 " + database + ",用时 " + DurationText(result.milliseconds));
  // The cause is among the restore's own lines just above: not twice.
  if (!result.safetyBackup.empty()) mavMemo2.addLine("恢复前的安全备份: " + result.safetyBackup);
}

bool RestoreForm::closeQuery() {
  if (!running()) return true;
  return actions_.confirm &&
         actions_.confirm("数据库 " + running_->database +
                          " 正在恢复。关闭此窗口不会取消恢复: 恢复会继续进行 (由本程序或备份服务),结果写入备份历史。\n\n"
                          "确定要关闭窗口吗?");
}

void RestoreForm::targetChanged(TdxCheckEdit& sender) {
  RadioButton& other = &sender == &RadioButton1 ? RadioButton2 : RadioButton1;
  if (sender.checked()) other.setChecked(false);
  mEdt1.setEnabled(RadioButton1.checked() && !running());
  // The statements shown were for the other target.
  mavMemo1.clear();
}

void RestoreForm::showRunning(bool on) {
  for (Control* control : std::initializer_list<Control*>{&mavTree1, &SpeedButton1, &RadioButton1, &RadioButton2,
                                                          &BitBtn1, &BitBtn2})
    control->setEnabled(!on);
  mEdt1.setEnabled(!on && RadioButton1.checked());
  BitBtn3.setEnabled(on);
}

}  // namespace bakwyn::form
