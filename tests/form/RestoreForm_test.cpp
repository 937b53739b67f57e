// The restore window's model with fake actions: the rows it lists, the plan it
// asks for, the question before a restore over the current database, and what
// it shows while the program restores.
#include "form/RestoreForm.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace bakwyn::form {
namespace {

RestoreChoice Choice(std::string path, LocalDateTime finished, std::uint64_t bytes, bool second = false,
                     int position = 1) {
  RestoreChoice c;
  c.path = std::move(path);
  c.finished = finished;
  c.bytes = bytes;
  c.secondFolder = second;
  c.position = position;
  c.database = "Sales";
  return c;
}

// The program's side: every action records its call and answers as the test says.
struct FakeProgram {
  std::vector<RestoreChoice> backups;
  std::string proposal = "Sales_恢复_20261211_0930";
  int proposals = 0;
  struct PlanCall {
    RestoreChoice from;
    RestorePlan::Target target;
    std::string newName;
  };
  std::vector<PlanCall> plans;
  PlannedRestore answer;  // what plan returns; its plan's target and database follow the call
  std::vector<RestorePlan> started;
  bool refuseStart = false;
  int cancels = 0;
  std::vector<std::string> questions;
  bool answerYes = true;

  FakeProgram() {
    RestorePlan plan;
    plan.statements = {"RESTORE DATABASE [x] FROM DISK = N'a.bak' WITH FILE = 1"};
    plan.safetyBackup = "D:\\备份\\Sales_恢复前.bak";
    answer.plan = plan;
  }

  RestoreActions actions() {
    RestoreActions a;
    a.database = "Sales";
    a.list = [this] { return backups; };
    a.proposedName = [this] {
      ++proposals;
      return proposal;
    };
    a.plan = [this](const RestoreChoice& from, RestorePlan::Target target, const std::string& newName) {
      plans.push_back({from, target, newName});
      PlannedRestore out = answer;
      if (out.plan) {
        out.plan->from = from;
        out.plan->target = target;
        out.plan->database = target == RestorePlan::Target::current ? "Sales" : newName;
      }
      return out;
    };
    a.start = [this](const RestorePlan& plan) {
      if (refuseStart) return std::string("正在备份数据库,现在不能恢复。请在备份结束后再试。");
      started.push_back(plan);
      return std::string();
    };
    a.cancel = [this] { ++cancels; };
    a.confirm = [this](const std::string& text) {
      questions.push_back(text);
      return answerYes;
    };
    return a;
  }
};

std::vector<std::string> Lines(const std::string& memo) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < memo.size();) {
    const size_t end = memo.find("\r\n", at);
    lines.push_back(memo.substr(at, end - at));
    at = end == std::string::npos ? memo.size() : end + 2;
  }
  return lines;
}

// Two backups, the older first, as a folder may list them.
std::vector<RestoreChoice> TwoBackups() {
  return {Choice("D:\\备份\\2026年12月09日02时00分.bak", {2026, 12, 9, 2, 0, 41}, 350 * 1024 * 1024),
          Choice("D:\\备份\\2026年12月10日02时00分.bak", {2026, 12, 10, 2, 0, 37}, 5 * 1024 * 1024 * 1024ull)};
}

class RestoreFormTest : public ::testing::Test {
 protected:
  RestoreFormTest() { program.backups = TwoBackups(); }
  // The form, listed as the window lists it once shown.
  RestoreForm& shown() {
    form.refresh();
    return form;
  }
  void overCurrent() { form.RadioButton2.setChecked(true, Source::User); }
  std::vector<std::string> progress() const { return Lines(form.mavMemo2.text()); }
  std::vector<bool> running() const {
    return {form.mavTree1.enabled(), form.SpeedButton1.enabled(), form.RadioButton1.enabled(),
            form.RadioButton2.enabled(), form.BitBtn1.enabled(),     form.BitBtn2.enabled(),
            form.BitBtn3.enabled()};
  }

  FakeProgram program;
  RestoreForm form{program.actions()};
};

const std::vector<bool> kIdle = {true, true, true, true, true, true, false};
const std::vector<bool> kRunning = {false, false, false, false, false, false, true};

// The window and a test in another process find each component by its ID.
TEST(RestoreFormIds, EveryComponentInCreationOrderHasAnIdThatNamesItBack) {
  FakeProgram program;
  const RestoreForm form(program.actions());
  std::vector<std::string> names;
  std::set<int> ids;
  for (const auto& c : form.components()) {
    names.push_back(c->name());
    const int id = RestoreControlId(c->name());
    EXPECT_NE(id, 0) << c->name();
    EXPECT_EQ(RestoreComponentName(id), c->name());
    ids.insert(id);
  }
  EXPECT_EQ(names, std::vector<std::string>(std::begin(kFrmRestoreComponents), std::end(kFrmRestoreComponents)));
  EXPECT_EQ(ids.size(), names.size());
  EXPECT_EQ(RestoreControlId("mEdt2"), 0);
}

TEST_F(RestoreFormTest, ListsEverySetNewestFirstWithItsMarks) {
  // A file with two sets lists both, each with its own date; the second
  // folder's copy of the newest file is a row of its own.
  RestoreChoice secondSet = Choice("D:\\备份\\2026年12月10日02时00分.bak", {2026, 12, 10, 14, 5, 0}, 600, false, 2);
  secondSet.verified = true;
  RestoreChoice copy = Choice("\\\\nas\\b\\PC\\Sales\\2026年12月10日02时00分.bak", {2026, 12, 10, 2, 0, 37},
                              5 * 1024 * 1024 * 1024ull, true);
  copy.verified = true;
  copy.restoreTested = true;
  program.backups.push_back(copy);
  program.backups.push_back(secondSet);
  shown();

  const std::vector<std::vector<std::string>> expected = {
      {"2026-12-10 14:05:00", "1 KB", "备份目录", "是", ""},
      {"2026-12-10 02:00:37", "5.00 GB", "备份目录", "", ""},
      {"2026-12-10 02:00:37", "5.00 GB", "第二目录", "是", "是"},
      {"2026-12-09 02:00:41", "350.0 MB", "备份目录", "", ""},
  };
  std::vector<std::vector<std::string>> rows;
  for (const auto& node : form.mavTree1.topNodes()) rows.push_back(node->values);
  EXPECT_EQ(rows, expected);
  ASSERT_EQ(form.choices().size(), 4u);
  EXPECT_EQ(form.choices()[0].position, 2) << "row i is choice i";
  EXPECT_TRUE(form.choices()[2].secondFolder);
  EXPECT_EQ(form.chosen(), 0u) << "the newest is chosen at first";
  std::vector<std::string> captions;
  for (const TreeColumn& c : form.mavTree1.columns()) captions.push_back(c.caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"日期时间", "大小", "文件夹", "已校验", "已测试恢复"}));

  // Listing again shows what the folders hold now, not the rows twice.
  program.backups.resize(1);
  form.SpeedButton1.onClick();
  ASSERT_EQ(form.mavTree1.topNodes().size(), 1u);
  EXPECT_EQ(form.mavTree1.topNodes()[0]->values[0], "2026-12-09 02:00:41");
}

TEST_F(RestoreFormTest, ANewDatabaseUnderTheProposedNameUnlessTheUserTypedOne) {
  EXPECT_TRUE(form.RadioButton1.checked()) << "a new database beside the current one is the default";
  EXPECT_FALSE(form.RadioButton2.checked());
  EXPECT_EQ(form.RadioButton2.caption(), "覆盖当前数据库 Sales");
  shown();
  EXPECT_EQ(form.mEdt1.text(), program.proposal);
  form.BitBtn2.onClick();
  ASSERT_EQ(program.plans.size(), 1u);
  EXPECT_EQ(program.plans[0].target, RestorePlan::Target::newDatabase);
  EXPECT_EQ(program.plans[0].newName, program.proposal);
  EXPECT_EQ(program.plans[0].from.path, program.backups[1].path) << "the newest";
  EXPECT_TRUE(program.questions.empty()) << "a new database overwrites nothing";
  ASSERT_EQ(program.started.size(), 1u);
  EXPECT_EQ(program.started[0].database, program.proposal);

  // A refresh proposes a name for its own minute, but never over one typed.
  form.finished({});
  program.proposal = "Sales_恢复_20261211_0945";
  form.refresh();
  EXPECT_EQ(form.mEdt1.text(), program.proposal);
  form.mEdt1.setText("Sales 'old]; 旧", Source::User);
  form.refresh();
  EXPECT_EQ(form.mEdt1.text(), "Sales 'old]; 旧");
  form.BitBtn1.onClick();
  EXPECT_EQ(program.plans.back().newName, "Sales 'old]; 旧");
}

TEST_F(RestoreFormTest, TheRadioButtonsExcludeEachOtherAndOnlyANewDatabaseTakesTheName) {
  shown();
  overCurrent();
  EXPECT_FALSE(form.RadioButton1.checked());
  EXPECT_FALSE(form.mEdt1.enabled());
  form.BitBtn1.onClick();
  ASSERT_EQ(program.plans.size(), 1u);
  EXPECT_EQ(program.plans[0].target, RestorePlan::Target::current);
  EXPECT_EQ(program.plans[0].newName, "");
  EXPECT_FALSE(form.mavMemo1.text().empty());
  form.RadioButton1.setChecked(true, Source::User);
  EXPECT_FALSE(form.RadioButton2.checked());
  EXPECT_TRUE(form.mEdt1.enabled());
  EXPECT_EQ(form.mavMemo1.text(), "") << "the statements shown were for the other target";
}

TEST_F(RestoreFormTest, OverTheCurrentDatabaseAsksFirstNamingItTheDateAndTheLoss) {
  for (const bool yes : {false, true}) {
    SCOPED_TRACE(yes ? "yes" : "no");
    program.answerYes = yes;
    program.questions.clear();
    shown();
    overCurrent();
    form.BitBtn2.onClick();
    ASSERT_EQ(program.questions.size(), 1u);
    const std::string& q = program.questions[0];
    EXPECT_NE(q.find("覆盖当前数据库 Sales"), std::string::npos) << q;
    EXPECT_NE(q.find("2026-12-10 02:00:37"), std::string::npos) << "the backup's date: " << q;
    EXPECT_NE(q.find("这份备份之后对数据库 Sales 所做的全部更改都会丢失"), std::string::npos) << q;
    EXPECT_NE(q.find("D:\\备份\\Sales_恢复前.bak"), std::string::npos) << "where the safety backup goes: " << q;
    EXPECT_EQ(program.started.size(), yes ? 1u : 0u);
    EXPECT_EQ(running(), yes ? kRunning : kIdle);
  }
}

TEST_F(RestoreFormTest, TheStatementsShownAreThePlansOneALine) {
  program.answer.plan->statements = {
      "ALTER DATABASE [Sa]]les] SET SINGLE_USER WITH ROLLBACK IMMEDIATE",
      "RESTORE DATABASE [Sa]]les] FROM DISK = N'D:\\备份\\O''Brien;{x}.bak' WITH FILE = 2, REPLACE, STATS = 5",
      "ALTER DATABASE [Sa]]les] SET MULTI_USER -- 😀",
  };
  shown();
  form.BitBtn1.onClick();
  EXPECT_EQ(Lines(form.mavMemo1.text()), program.answer.plan->statements);
  EXPECT_TRUE(program.started.empty()) << "showing starts nothing";
  EXPECT_EQ(form.mavMemo2.text(), "");
}

// Whatever stops a restore before it starts is said in the progress pane, and
// nothing runs; from either button.
TEST(RestoreFormRefusal, IsShownAndNothingStarts) {
  struct Case {
    const char* name;
    std::function<void(FakeProgram&)> arrange;
    std::string line;
  };
  const Case cases[] = {
      {"plan refused",
       [](FakeProgram& p) {
         p.answer.plan.reset();
         p.answer.refusal = "数据库 Sales_恢复_20261211_0930 已存在";
       },
       "无法恢复: 数据库 Sales_恢复_20261211_0930 已存在"},
      {"no backup to choose", [](FakeProgram& p) { p.backups.clear(); }, "请先在列表中选择要恢复的备份"},
  };
  for (const Case& c : cases) {
    for (const bool start : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (start ? ", 开始恢复" : ", 显示语句"));
      FakeProgram program;
      program.backups = TwoBackups();
      c.arrange(program);
      RestoreForm form(program.actions());
      form.refresh();
      (start ? form.BitBtn2 : form.BitBtn1).onClick();
      EXPECT_EQ(Lines(form.mavMemo2.text()), std::vector<std::string>{c.line});
      EXPECT_EQ(form.mavMemo1.text(), "");
      EXPECT_TRUE(program.started.empty());
      EXPECT_TRUE(program.questions.empty());
      EXPECT_FALSE(form.running());
    }
  }
}

TEST_F(RestoreFormTest, AnActionThatThrowsIsSaidAndLeavesTheWindowUsable) {
  RestoreActions actions = program.actions();
  actions.list = []() -> std::vector<RestoreChoice> { throw std::runtime_error("Login failed for user 'sa'."); };
  RestoreForm failing(std::move(actions));
  failing.refresh();
  EXPECT_EQ(Lines(failing.mavMemo2.text()), std::vector<std::string>{"无法列出备份: Login failed for user 'sa'."});
  EXPECT_TRUE(failing.mavTree1.topNodes().empty());

  actions = program.actions();
  actions.plan = [](const RestoreChoice&, RestorePlan::Target, const std::string&) -> PlannedRestore {
    throw std::runtime_error("08S01 连接已断开");
  };
  RestoreForm planning(std::move(actions));
  planning.refresh();
  planning.BitBtn2.onClick();
  EXPECT_EQ(Lines(planning.mavMemo2.text()), std::vector<std::string>{"无法恢复: 08S01 连接已断开"});
  EXPECT_TRUE(program.started.empty());
}

TEST_F(RestoreFormTest, AStartRefusedWhileABackupRunsIsSaid) {
  program.refuseStart = true;
  shown();
  form.mavMemo2.addLine("早先的一行");
  form.BitBtn2.onClick();
  EXPECT_EQ(progress(), std::vector<std::string>{"正在备份数据库,现在不能恢复。请在备份结束后再试。"});
  EXPECT_EQ(running(), kIdle);
  EXPECT_FALSE(form.running());
}

TEST(RestoreFormRun, WhileItRunsTheProgressArrivesAndTheResultEndsIt) {
  struct Case {
    const char* name;
    RestoreResult result;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"succeeded over current",
       {RestoreResult::Outcome::succeeded, "", "D:\\备份\\Sales_恢复前.bak", 135'400},
       {"恢复成功: 数据库 Sales,用时 2分15秒", "恢复前的安全备份: D:\\备份\\Sales_恢复前.bak"}},
      {"failed",
       {RestoreResult::Outcome::failed, "原因: 3159 The tail of the log has not been backed up.", "", 3'723'000},
       {"恢复失败: 数据库 Sales,用时 1小时2分3秒"}},
      {"cancelled",
       {RestoreResult::Outcome::cancelled, "已取消", "D:\\备份\\Sales_恢复前.bak", 900},
       {"恢复已取消: 数据库 Sales,用时 0秒", "恢复前的安全备份: D:\\备份\\Sales_恢复前.bak"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProgram program;
    program.backups = TwoBackups();
    RestoreForm form(program.actions());
    form.refresh();
    form.RadioButton2.setChecked(true, Source::User);
    form.mavMemo2.addLine("早先的一行");
    form.BitBtn2.onClick();
    ASSERT_TRUE(form.running());
    EXPECT_EQ(form.mavMemo2.text(), "") << "each run's lines start afresh";
    EXPECT_FALSE(form.BitBtn2.enabled());
    EXPECT_TRUE(form.BitBtn3.enabled());
    EXPECT_FALSE(form.mEdt1.enabled());
    form.progress("10 percent processed.");
    form.progress("100 percent processed.");
    form.finished(c.result);
    std::vector<std::string> expected = {"10 percent processed.", "100 percent processed."};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(Lines(form.mavMemo2.text()), expected);
    EXPECT_FALSE(form.running());
    EXPECT_TRUE(form.BitBtn2.enabled());
    EXPECT_FALSE(form.BitBtn3.enabled());
    EXPECT_FALSE(form.mEdt1.enabled()) << "still over the current database";
  }
}

TEST_F(RestoreFormTest, CancelReachesTheProgramOnce) {
  shown();
  form.BitBtn2.onClick();
  ASSERT_TRUE(form.running());
  form.BitBtn3.onClick();
  EXPECT_EQ(program.cancels, 1);
  EXPECT_FALSE(form.BitBtn3.enabled()) << "once asked, the server stops soon";
  EXPECT_EQ(progress(), std::vector<std::string>{"正在取消恢复..."});
  EXPECT_TRUE(form.running()) << "until the program says it ended";
  form.finished({RestoreResult::Outcome::cancelled, "", "", 1000});
  EXPECT_EQ(running(), kIdle);
}

TEST_F(RestoreFormTest, ClosingWhileItRunsAsksAndNeverCancels) {
  int closes = 0;
  form.onClose = [&] { ++closes; };
  shown();
  form.BitBtn4.onClick();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(program.questions.empty()) << "nothing runs: nothing to ask";

  form.BitBtn2.onClick();
  ASSERT_TRUE(form.running());
  for (const bool yes : {false, true}) {
    program.answerYes = yes;
    program.questions.clear();
    form.BitBtn4.onClick();
    ASSERT_EQ(program.questions.size(), 1u);
    EXPECT_NE(program.questions[0].find("关闭此窗口不会取消恢复"), std::string::npos) << program.questions[0];
    EXPECT_NE(program.questions[0].find(program.proposal), std::string::npos) << "names the database";
    EXPECT_EQ(closes, yes ? 2 : 1);
  }
  EXPECT_EQ(program.cancels, 0);
}

TEST(RestoreFormText, SizesAndDates) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } sizes[] = {{0, "0 KB"},
               {1, "1 KB"},
               {1024, "1 KB"},
               {1025, "2 KB"},
               {1024 * 1024, "1.0 MB"},
               {1536ull * 1024 * 1024, "1.50 GB"},
               {1024ull * 1024 * 1024, "1.00 GB"},
               {UINT64_MAX, "17179869184.00 GB"}};
  for (const auto& s : sizes) EXPECT_EQ(RestoreSizeText(s.bytes), s.text) << s.bytes;
  EXPECT_EQ(RestoreDateText({2026, 1, 2, 3, 4, 5, 999}), "2026-01-02 03:04:05");
}

}  // namespace
}  // namespace bakwyn::form
