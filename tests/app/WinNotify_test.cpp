// Bakwyn.exe tells a ping address of its scheduled backups, against a
// recording HTTP server on 127.0.0.1: "/start" as each backup starts, the
// address itself after a success and "/fail" with the backup's lines after a
// failure, each once; an address that holds its answers delays no backup. An
// administrator's save registers the program as the event log's source.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Text.h"
#include "tests/support/ExeHarness.h"
#include "tests/support/HttpRecorder.h"

namespace bakwyn {
namespace {

using namespace bakwyn::exe;
using test::HttpRecorder;

using WinNotify = ProgramTest;

// Each request as "path answer time", for a failure's message.
std::string Described(HttpRecorder& recorder) {
  std::string out;
  for (const test::Json& r : recorder.requests()) {
    const test::Json& answer = r["answer"];
    out += r["path"].string() + " " + (answer.string().empty() ? std::to_string(answer.number()) : answer.string()) +
           " " + std::to_string(r["time"].number()) + "\n";
  }
  return out;
}

std::vector<std::string> Paths(HttpRecorder& recorder) {
  std::vector<std::string> out;
  for (const test::Json& r : recorder.requests()) out.push_back(r["path"].string());
  return out;
}

size_t Count(const std::vector<std::string>& items, const std::string& item) {
  return static_cast<size_t>(std::count(items.begin(), items.end(), item));
}

bool Logged(App& app, const std::string& text) {
  const std::vector<std::string> texts = Texts(app.log());
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::optional<std::wstring> EventSourceValue(const wchar_t* name) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Bakwyn", name,
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return std::wstring(data);
}

TEST_F(WinNotify, ScheduledBackupsPingStartAndResultOnceAndAnAddressThatHoldsDelaysNone) {
  HttpRecorder recorder("notify-recorder");
  standIn_.setUsers({{"sa", "pw"}});
  standIn_.setDatabases({"master", "shop"});
  const std::string folder = "T:\\e2e\\通知\\";
  const std::string token = "/hc/8d1f-secret-token";
  const Minute first = ComingMinute(10);
  StoreConnection(ComputerName(), "sa", "pw", "shop", folder);
  StoreSlot(1, first.hhnn());
  // Typed by an administrator into the registry: taken as it stands.
  ASSERT_TRUE(WriteString(kStatusKey, "PingAddress", recorder.url(token)));
  // The first ping's tries are each held until they time out.
  recorder.answers("hold*3");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Bakwyn");

  App& a = app();
  a.start();
  a.menu("N1");
  const std::string backup = folder + first.fileName();
  ASSERT_TRUE(WaitForBackupFile(first, Wide(backup))) << backup;
  a.waitForLogText(Succeeded(backup), 30000);
  ASSERT_TRUE(Logged(a, Succeeded(backup))) << ::testing::PrintToString(Texts(a.log()));
  // The backup ended while its start's ping was still held: it never waited for it.
  std::vector<std::string> paths = Paths(recorder);
  EXPECT_EQ(Count(paths, token), 0u) << ::testing::PrintToString(paths);
  EXPECT_GE(Count(paths, token + "/start"), 1u) << ::testing::PrintToString(paths);

  // Three tries of "/start", each given up at its time-out, then the success's ping, once.
  ASSERT_TRUE(WaitUntil([&] { return Count(Paths(recorder), token) > 0; }, 60000)) << ::testing::PrintToString(Paths(recorder));
  Sleep(2000);
  paths = Paths(recorder);
  EXPECT_EQ(paths, (std::vector<std::string>{token + "/start", token + "/start", token + "/start", token}))
      << Described(recorder);
  for (const test::Json& r : recorder.requests()) EXPECT_EQ(r["method"].string(), "POST");

  // A backup the server refuses: "/start", then "/fail" with its lines, the cause last.
  const Minute second = ComingMinute(15);
  a.click("dxCheckEdit2");
  a.typeTime("dxTimeEdit2", second.hhnn());
  a.click("BitBtn1");
  a.waitForLogText("保存成功!", 30000);
  // Armed after the save, whose folder check also writes a backup.
  recorder.reset();
  test::StandInFault denied;
  denied.kind = "denied";
  denied.on = "backup";
  standIn_.arm(denied);
  ASSERT_TRUE(WaitUntil([&] { return Count(Paths(recorder), token + "/fail") > 0; }, 150000))
      << ::testing::PrintToString(Paths(recorder)) << ::testing::PrintToString(Texts(a.log()));
  Sleep(2000);
  EXPECT_EQ(Paths(recorder), (std::vector<std::string>{token + "/start", token + "/fail"}));
  const std::string body = recorder.requests().back()["body"].string();
  EXPECT_NE(body.find(" 开始备份数据库...\n"), std::string::npos) << body;
  EXPECT_NE(body.find(" 数据库备份失败!\n"), std::string::npos) << body;
  const std::vector<std::string> texts = Texts(a.log());
  const auto cause = std::find_if(texts.rbegin(), texts.rend(), [](const std::string& t) { return t.rfind("原因: ", 0) == 0; });
  ASSERT_NE(cause, texts.rend());
  EXPECT_TRUE(body.ends_with(" " + *cause + "\n")) << body;

  // The save was an administrator's, with no service installed: the event
  // log reads the texts from this program.
  const std::optional<std::wstring> file = EventSourceValue(L"EventMessageFile");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(CompareStringOrdinal(file->c_str(), -1, remote::ExePath().c_str(), -1, TRUE), CSTR_EQUAL)
      << FromWide(*file);
  for (const std::string& line : texts) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
}

}  // namespace
}  // namespace bakwyn
