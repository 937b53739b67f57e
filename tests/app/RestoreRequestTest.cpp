// A restore asked of the service from another process: the request and the
// answer as stored under the status key, read back only when well formed,
// and a request taken once.
#include "app/RestoreRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "app/BackupStatus.h"
#include "settings/MemoryRegistry.h"

namespace bakwyn::app {
namespace {

RestoreRequest Asked() {
  RestoreRequest request;
  request.id = "4242-987654321";
  request.atMs = 1796893200000;
  request.user = "前台";
  request.target = RestorePlan::Target::newDatabase;
  request.backupPath = "D:\\备份\\2026年12月10日02时00分.bak";
  request.position = 3;
  request.newName = "shop|恢复 '1'";  // a name may hold what separates the fields
  return request;
}

TEST(RestoreRequest, ReadsBackWhatWasWrittenAndNothingMalformed) {
  const RestoreRequest asked = Asked();
  const std::string text = FormatRestoreRequest(asked);
  EXPECT_EQ(text, "1|4242-987654321|1796893200000|new|3|前台|D:\\备份\\2026年12月10日02时00分.bak|shop|恢复 '1'");
  const std::optional<RestoreRequest> read = ParseRestoreRequest(text);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->id, asked.id);
  EXPECT_EQ(read->atMs, asked.atMs);
  EXPECT_EQ(read->user, asked.user);
  EXPECT_EQ(read->target, asked.target);
  EXPECT_EQ(read->backupPath, asked.backupPath);
  EXPECT_EQ(read->position, 3);
  EXPECT_EQ(read->newName, asked.newName);

  const std::optional<RestoreRequest> over = ParseRestoreRequest("1|a-1|5|current|1||D:\\b.bak|");
  ASSERT_TRUE(over);
  EXPECT_EQ(over->target, RestorePlan::Target::current);

  for (const char* malformed : {
           "",
           "2|a-1|5|new|1|u|D:\\b.bak|x",          // a later version's
           "1|a 1|5|new|1|u|D:\\b.bak|x",          // an id of the asker's own making only
           "1||5|new|1|u|D:\\b.bak|x",
           "1|a-1|5x|new|1|u|D:\\b.bak|x",
           "1|a-1|5|new|0|u|D:\\b.bak|x",          // sets count from 1
           "1|a-1|5|new|-2|u|D:\\b.bak|x",
           "1|a-1|5|other|1|u|D:\\b.bak|x",
           "1|a-1|5|new|1|u||x",                    // no backup
           "1|a-1|5|new|1|u|D:\\b.bak",             // a field short
           "1|a-1|5|new|1|u|D:\\b\n.bak|x",         // no control characters anywhere
           "1|a-1|5|new|1|u|D:\\b.bak|x\ty",
           "1|a-1|5|current|1|u|D:\\b.bak|x",       // over the current database names no new one
       }) {
    EXPECT_FALSE(ParseRestoreRequest(malformed)) << malformed;
  }
}

TEST(RestoreRequest, IsTakenOnceAndTheValueIsEmptiedBeforeItRuns) {
  settings::MemoryRegistry registry;
  EXPECT_FALSE(TakeRestoreRequest(registry).present);
  // Without administrator rights nothing is stored (the program then asks for them).
  registry.setReadOnly(true);
  EXPECT_FALSE(StoreRestoreRequest(registry, Asked()));
  registry.setReadOnly(false);
  ASSERT_TRUE(StoreRestoreRequest(registry, Asked()));
  const TakenRestoreRequest taken = TakeRestoreRequest(registry);
  EXPECT_TRUE(taken.present);
  ASSERT_TRUE(taken.request);
  EXPECT_EQ(taken.request->newName, Asked().newName);
  EXPECT_EQ(registry.value(std::string(kStatusKey), "RestoreRequest"), "");
  EXPECT_FALSE(TakeRestoreRequest(registry).present) << "a request runs at most once";

  // Written by hand: there, and not a request.
  registry.setValue(std::string(kStatusKey), "RestoreRequest", "1|x|restore everything");
  const TakenRestoreRequest hostile = TakeRestoreRequest(registry);
  EXPECT_TRUE(hostile.present);
  EXPECT_FALSE(hostile.request);
  EXPECT_EQ(registry.value(std::string(kStatusKey), "RestoreRequest"), "");
}

TEST(RestoreRequest, TheAnswerCarriesTheEndAsTheWindowShowsIt) {
  settings::MemoryRegistry registry;
  EXPECT_FALSE(LoadRestoreAnswer(registry));
  RestoreResult result;
  result.outcome = RestoreResult::Outcome::failed;
  result.milliseconds = 83000;
  result.safetyBackup = "D:\\备份\\2026年12月10日09时00分恢复前.bak";
  result.cause = "磁盘已满|\r\n(3013)";
  ASSERT_TRUE(StoreRestoreAnswer(registry, AnswerOf("4242-1", result)));
  const std::optional<RestoreAnswer> answer = LoadRestoreAnswer(registry);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, "4242-1");
  EXPECT_EQ(answer->state, RestoreAnswer::State::failed);
  const RestoreResult shown = ResultOf(*answer);
  EXPECT_EQ(shown.outcome, RestoreResult::Outcome::failed);
  EXPECT_EQ(shown.milliseconds, 83000);
  EXPECT_EQ(shown.safetyBackup, result.safetyBackup);
  EXPECT_EQ(shown.cause, "磁盘已满|  (3013)") << "one line";

  for (const RestoreResult::Outcome outcome : {RestoreResult::Outcome::succeeded, RestoreResult::Outcome::cancelled}) {
    result.outcome = outcome;
    EXPECT_EQ(ResultOf(*ParseRestoreAnswer(FormatRestoreAnswer(AnswerOf("a", result)))).outcome, outcome);
  }
  const RestoreAnswer started{"a-2", RestoreAnswer::State::started, 0, {}, {}};
  EXPECT_EQ(ParseRestoreAnswer(FormatRestoreAnswer(started))->state, RestoreAnswer::State::started);
  for (const char* malformed : {"", "a|done|0||", "a|failed|-1||", "a|failed|1|", "a b|failed|1||"})
    EXPECT_FALSE(ParseRestoreAnswer(malformed)) << malformed;
}

}  // namespace
}  // namespace bakwyn::app
