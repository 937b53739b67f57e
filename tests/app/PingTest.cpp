#include "app/Ping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#ifdef __linux__
#include <filesystem>
#endif

namespace bakwyn::app {
namespace {

using namespace std::chrono_literals;

// ---- Addresses ------------------------------------------------------------------------

TEST(PingAddress, TakenApartAndTurnedIntoEachPingsUrl) {
  const std::string longToken(1500, 'k');
  const std::string longestHost = std::string(249, 'h') + ".com";  // 253 bytes
  struct Case {
    const char* name;
    std::string address;
    bool https;
    std::string host;  // as ParsePingAddress has it
    int port;
    std::string path;
    std::string userinfo;
    std::string shown;  // PingHost
    std::string start, success, fail;
  } cases[] = {
      {"token in the path", "https://ping.example.com/5f3a-77c1", true, "ping.example.com", 443, "/5f3a-77c1", "",
       "ping.example.com", "https://ping.example.com/5f3a-77c1/start", "https://ping.example.com/5f3a-77c1",
       "https://ping.example.com/5f3a-77c1/fail"},
      {"token in the query", "https://h.example/p?key=SECRET&x=1", true, "h.example", 443, "/p?key=SECRET&x=1", "",
       "h.example", "https://h.example/p/start?key=SECRET&x=1", "https://h.example/p?key=SECRET&x=1",
       "https://h.example/p/fail?key=SECRET&x=1"},
      {"a trailing slash is not doubled", "https://h.example/abc/", true, "h.example", 443, "/abc/", "", "h.example",
       "https://h.example/abc/start", "https://h.example/abc/", "https://h.example/abc/fail"},
      {"no path at all", "http://h.example", false, "h.example", 80, "/", "", "h.example", "http://h.example/start",
       "http://h.example", "http://h.example/fail"},
      {"a query and no path", "http://h.example?k=1", false, "h.example", 80, "/?k=1", "", "h.example",
       "http://h.example/start?k=1", "http://h.example?k=1", "http://h.example/fail?k=1"},
      {"the root with a query", "https://h.example/?a=b", true, "h.example", 443, "/?a=b", "", "h.example",
       "https://h.example/start?a=b", "https://h.example/?a=b", "https://h.example/fail?a=b"},
      {"a fragment is dropped", "https://h.example/p?q=1#top", true, "h.example", 443, "/p?q=1", "", "h.example",
       "https://h.example/p/start?q=1", "https://h.example/p?q=1", "https://h.example/p/fail?q=1"},
      {"upper-case scheme", "HTTPS://H.Example/P", true, "H.Example", 443, "/P", "", "H.Example",
       "https://H.Example/P/start", "https://H.Example/P", "https://H.Example/P/fail"},
      {"user and password, and a port", "https://user:pa:ss@h.example:8443/p", true, "h.example", 8443, "/p",
       "user:pa:ss", "h.example", "https://user:pa:ss@h.example:8443/p/start", "https://user:pa:ss@h.example:8443/p",
       "https://user:pa:ss@h.example:8443/p/fail"},
      {"an @ in the password", "http://u:p@ss@h.example/", false, "h.example", 80, "/", "u:p@ss", "h.example",
       "http://u:p@ss@h.example/start", "http://u:p@ss@h.example/", "http://u:p@ss@h.example/fail"},
      {"IPv6 loopback with a port", "http://[::1]:8080/x", false, "::1", 8080, "/x", "", "[::1]",
       "http://[::1]:8080/x/start", "http://[::1]:8080/x", "http://[::1]:8080/x/fail"},
      {"IPv6 without a port", "https://[2001:db8::5]/x", true, "2001:db8::5", 443, "/x", "", "[2001:db8::5]",
       "https://[2001:db8::5]/x/start", "https://[2001:db8::5]/x", "https://[2001:db8::5]/x/fail"},
      {"an empty port is the default", "http://h.example:/x", false, "h.example", 80, "/x", "", "h.example",
       "http://h.example:/x/start", "http://h.example:/x", "http://h.example:/x/fail"},
      {"the highest port", "http://h.example:65535", false, "h.example", 65535, "/", "", "h.example",
       "http://h.example:65535/start", "http://h.example:65535", "http://h.example:65535/fail"},
      {"Chinese host and path", "https://例子.测试/备份", true, "例子.测试", 443, "/备份", "", "例子.测试",
       "https://例子.测试/备份/start", "https://例子.测试/备份", "https://例子.测试/备份/fail"},
      {"a long token", "https://h.example/" + longToken, true, "h.example", 443, "/" + longToken, "", "h.example",
       "https://h.example/" + longToken + "/start", "https://h.example/" + longToken,
       "https://h.example/" + longToken + "/fail"},
      {"the longest host name", "http://" + longestHost + "/x", false, longestHost, 80, "/x", "", longestHost,
       "http://" + longestHost + "/x/start", "http://" + longestHost + "/x", "http://" + longestHost + "/x/fail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto url = ParsePingAddress(c.address);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->https, c.https);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->path, c.path);
    EXPECT_EQ(url->userinfo, c.userinfo);
    EXPECT_EQ(PingHost(c.address), c.shown);
    EXPECT_EQ(PingTarget(c.address, PingKind::start), c.start);
    EXPECT_EQ(PingTarget(c.address, PingKind::success), c.success);
    EXPECT_EQ(PingTarget(c.address, PingKind::fail), c.fail);
    // What the log shows never holds the path, the query or the password.
    EXPECT_EQ(c.shown.find("SECRET"), std::string::npos);
    EXPECT_EQ(c.shown.find("pa:ss"), std::string::npos);
  }
}

TEST(PingAddress, RefusesWhatIsNoHttpAddress) {
  struct Case {
    const char* name;
    std::string address;
  } cases[] = {
      {"empty", ""},
      {"another scheme", "ftp://h.example/x"},
      {"no scheme", "h.example/x"},
      {"a script", "javascript:alert(1)"},
      {"no host", "https://"},
      {"no host before the path", "https:///x"},
      {"only a user", "https://user@/x"},
      {"a space in the path", "https://h.example/a b"},
      {"a leading space", " https://h.example/x"},
      {"a trailing line break", "https://h.example/x\n"},
      {"a tab", "https://h.example/\tx"},
      {"a NUL", std::string("https://h.example/x\0y", 21)},
      {"DEL", "https://h.example/x\x7f"},
      {"a backslash", "https://h.example\\@evil.example/"},
      {"port 0", "https://h.example:0/x"},
      {"port 65536", "https://h.example:65536/x"},
      {"a six-digit port", "https://h.example:000080/x"},
      {"a port with a letter", "https://h.example:80a/x"},
      {"a negative port", "https://h.example:-1/x"},
      {"an unclosed IPv6 bracket", "https://[::1/x"},
      {"not an IPv6 address", "https://[zz::1]/x"},
      {"text after the IPv6 bracket", "https://[::1]x/"},
      {"a host with a character DNS has not", "https://h!.example/"},
      {"a percent in the host", "https://h%2e.example/"},
      {"no UTF-8", "https://h.example/\xff"},
      {"a cut UTF-8 sequence", "https://h.example/\xe5\xa4"},
      {"a host too long for DNS", "https://" + std::string(250, 'h') + ".com/"},
      {"longer than any address", "https://h.example/" + std::string(2100, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ParsePingAddress(c.address));
    EXPECT_EQ(PingTarget(c.address, PingKind::fail), "");
    EXPECT_EQ(PingHost(c.address), "");
  }
}

TEST(PingAddress, LoopbackHostsAreThisComputer) {
  for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "127.255.1.2", "::1", "[::1]"}) {
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  }
  for (const char* host : {"", "128.0.0.1", "127.0.0", "127.0.0.1.5", "127.0.0.256", "0127.0.0.1", "localhost.example",
                           "127.example.com", "::2", "10.0.0.1"}) {
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  }
}

// ---- A scripted transport -----------------------------------------------------------------

HttpAnswer Status(int status) { return {true, status, {}}; }
HttpAnswer Refused() { return {false, 0, "无法与服务器建立连接 (12029)"}; }

// Answers from a script (200 once it is used up) and records each post. A
// post can be held at a gate, or hang until abort().
class ScriptedTransport : public HttpTransport {
 public:
  struct Post {
    std::string url, body;
    std::chrono::milliseconds timeout;
    std::chrono::steady_clock::time_point at;
  };

  explicit ScriptedTransport(std::deque<HttpAnswer> script = {}) : script_(std::move(script)) {}

  HttpAnswer post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout) override {
    std::unique_lock<std::mutex> lock(mutex_);
    posts_.push_back({url, body, timeout, std::chrono::steady_clock::now()});
    changed_.notify_all();
    if (hang_) {
      changed_.wait(lock, [&] { return aborted_; });
      aborted_ = false;
      return {false, 0, "操作已取消 (12017)"};
    }
    changed_.wait(lock, [&] { return open_; });
    if (script_.empty()) return Status(200);
    HttpAnswer answer = script_.front();
    script_.pop_front();
    return answer;
  }
  void abort() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++aborts_;
    if (hang_) aborted_ = true;
    changed_.notify_all();
  }

  void hang() {
    const std::lock_guard<std::mutex> lock(mutex_);
    hang_ = true;
  }
  void gate(bool open) {
    const std::lock_guard<std::mutex> lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  bool waitForPosts(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return posts_.size() >= count; });
  }
  std::vector<Post> posts() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }
  std::vector<std::string> urls() {
    std::vector<std::string> out;
    for (const Post& p : posts()) out.push_back(p.url);
    return out;
  }
  int aborts() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return aborts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<HttpAnswer> script_;
  std::vector<Post> posts_;
  bool hang_ = false;
  bool aborted_ = false;
  bool open_ = true;
  int aborts_ = 0;
};

struct Told {
  std::string host, why;
  bool operator==(const Told&) const = default;
};

// What the Pinger told, with a clock the test moves.
struct Witness {
  std::mutex mutex;
  std::vector<Told> told;
  std::atomic<std::int64_t> now{1'000'000};

  auto failed() {
    return [this](const std::string& host, const std::string& why) {
      const std::lock_guard<std::mutex> lock(mutex);
      told.push_back({host, why});
    };
  }
  auto clock() {
    return [this] { return now.load(); };
  }
  std::vector<Told> all() {
    const std::lock_guard<std::mutex> lock(mutex);
    return told;
  }
};

Pinger::Timing Tiny() {
  Pinger::Timing timing;
  timing.timeout = 1234ms;
  timing.firstBackoff = 1ms;
  timing.secondBackoff = 2ms;
  return timing;
}

constexpr const char* kAddress = "https://ping.example.com/5f3a?key=SECRET";

// ---- Tries ---------------------------------------------------------------------------------

TEST(Pinger, TriesThreeTimesAfterNoAnswerOr5xxOr429AndStopsAtAnyOtherAnswer) {
  struct Case {
    const char* name;
    std::deque<HttpAnswer> answers;
    std::size_t tries;
    std::vector<Told> told;
  } cases[] = {
      {"sent at once", {Status(200)}, 1, {}},
      {"any 2xx is sent", {Status(204)}, 1, {}},
      {"refused, then sent", {Refused(), Status(200)}, 2, {}},
      {"500, 503, then sent", {Status(500), Status(503), Status(200)}, 3, {}},
      {"429 asks to wait and try again", {Status(429), Status(201)}, 2, {}},
      {"404 is final", {Status(404)}, 1, {{"ping.example.com", "HTTP 404"}}},
      {"a redirect is final: the address moved", {Status(301)}, 1, {{"ping.example.com", "HTTP 301"}}},
      {"500, then 403 is final", {Status(500), Status(403)}, 2, {{"ping.example.com", "HTTP 403"}}},
      {"refused three times", {Refused(), Refused(), Refused()}, 3,
       {{"ping.example.com", "无法与服务器建立连接 (12029)"}}},
      {"500 three times, and never a fourth try", {Status(500), Status(502), Status(500), Status(200)}, 3,
       {{"ping.example.com", "HTTP 500"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport transport(c.answers);
    Witness witness;
    {
      Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
      pinger.send(kAddress, PingKind::fail, "数据库备份失败!\n");
      ASSERT_TRUE(pinger.idle(10s));
    }
    const auto posts = transport.posts();
    ASSERT_EQ(posts.size(), c.tries);
    for (const auto& post : posts) {
      EXPECT_EQ(post.url, "https://ping.example.com/5f3a/fail?key=SECRET");
      EXPECT_EQ(post.body, "数据库备份失败!\n");
      EXPECT_EQ(post.timeout, 1234ms);
    }
    EXPECT_EQ(witness.all(), c.told);
  }
}

TEST(Pinger, WaitsItsBackOffsBetweenTries) {
  ScriptedTransport transport({Status(500), Status(500), Status(500)});
  Witness witness;
  Pinger::Timing timing = Tiny();
  timing.firstBackoff = 40ms;
  timing.secondBackoff = 120ms;
  Pinger pinger(transport, witness.failed(), timing, witness.clock());
  pinger.send(kAddress, PingKind::start);
  ASSERT_TRUE(pinger.idle(10s));
  const auto posts = transport.posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_GE(posts[1].at - posts[0].at, 40ms);
  EXPECT_GE(posts[2].at - posts[1].at, 120ms);
}

TEST(Pinger, TellsAFailureAtMostOncePerPeriod) {
  ScriptedTransport transport({Status(404), Status(404), Status(404), Status(404), Status(404)});
  Witness witness;
  Pinger::Timing timing = Tiny();  // tellEvery stays an hour
  Pinger pinger(transport, witness.failed(), timing, witness.clock());
  const auto sendAt = [&](std::int64_t now) {
    witness.now = now;
    pinger.send(kAddress, PingKind::success);
    ASSERT_TRUE(pinger.idle(10s));
  };
  sendAt(1'000'000);
  sendAt(1'000'000 + 60'000);         // a minute later: not told again
  sendAt(1'000'000 + 3'599'999);      // just short of the hour
  EXPECT_EQ(witness.all().size(), 1u);
  sendAt(1'000'000 + 3'600'000);  // an hour after the first: told
  EXPECT_EQ(witness.all().size(), 2u);
  sendAt(1'000'000 + 3'600'000 + 1);  // and quiet again
  EXPECT_EQ(transport.posts().size(), 5u);
  const std::vector<Told> expected{{"ping.example.com", "HTTP 404"}, {"ping.example.com", "HTTP 404"}};
  EXPECT_EQ(witness.all(), expected);
}

TEST(Pinger, AnAddressThatCannotBeParsedIsToldWithoutATry) {
  ScriptedTransport transport;
  Witness witness;
  Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
  pinger.send("ftp://h.example/x", PingKind::start);
  ASSERT_TRUE(pinger.idle(10s));
  EXPECT_TRUE(transport.posts().empty());
  const std::vector<Told> expected{{"", "不是有效的 http:// 或 https:// 地址"}};
  EXPECT_EQ(witness.all(), expected);
}

TEST(Pinger, KeepsThePingsInOrderAndPutsATestFirst) {
  ScriptedTransport transport;
  Witness witness;
  Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
  transport.gate(false);  // the first ping is held while the others queue up
  pinger.send("https://a.example/1", PingKind::start);
  ASSERT_TRUE(transport.waitForPosts(1));
  pinger.send("https://a.example/1", PingKind::success);
  pinger.send("https://b.example/2", PingKind::start);
  pinger.send("https://b.example/2", PingKind::fail, "原因: 磁盘已满");
  std::vector<std::string> answers;
  std::mutex answersMutex;
  pinger.test("https://t.example/", [&](bool sent, const std::string& answer) {
    const std::lock_guard<std::mutex> lock(answersMutex);
    answers.push_back((sent ? "sent: " : "not sent: ") + answer);
  });
  EXPECT_FALSE(pinger.idle(20ms));
  transport.gate(true);
  ASSERT_TRUE(pinger.idle(10s));
  const std::vector<std::string> expected{"https://a.example/1/start", "https://t.example/", "https://a.example/1",
                                          "https://b.example/2/start", "https://b.example/2/fail"};
  EXPECT_EQ(transport.urls(), expected);
  EXPECT_EQ(answers, std::vector<std::string>{"sent: 测试 ping 已发送到 t.example (HTTP 200)"});
}

TEST(Pinger, ATestTriesOnceAndSaysWhatCameOfIt) {
  struct Case {
    const char* name;
    std::string address;
    std::deque<HttpAnswer> answers;
    std::size_t tries;
    bool sent;
    std::string answer;
  } cases[] = {
      {"answered 200", kAddress, {Status(200)}, 1, true, "测试 ping 已发送到 ping.example.com (HTTP 200)"},
      {"a server error is not tried again", kAddress, {Status(500), Status(200)}, 1, false,
       "测试 ping 无法发送到 ping.example.com: HTTP 500"},
      {"no answer", kAddress, {Refused()}, 1, false,
       "测试 ping 无法发送到 ping.example.com: 无法与服务器建立连接 (12029)"},
      {"not an address", "ping.example.com/x", {}, 0, false, "ping 地址不是有效的 http:// 或 https:// 地址"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransport transport(c.answers);
    Witness witness;
    std::mutex mutex;
    std::vector<std::pair<bool, std::string>> results;
    {
      Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
      pinger.test(c.address, [&](bool sent, const std::string& answer) {
        const std::lock_guard<std::mutex> lock(mutex);
        results.emplace_back(sent, answer);
      });
      ASSERT_TRUE(pinger.idle(10s));
    }
    ASSERT_EQ(transport.posts().size(), c.tries);
    if (c.tries) {
      EXPECT_EQ(transport.posts()[0].body, "Bakwyn 测试 ping\n");
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].first, c.sent);
    EXPECT_EQ(results[0].second, c.answer);
    EXPECT_TRUE(witness.all().empty()) << "a test's answer goes to the window, not to the log";
  }
}

// ---- The end -------------------------------------------------------------------------------

TEST(Pinger, DestroyedDuringABackOffEndsAtOnceAndTellsNothing) {
  ScriptedTransport transport({Status(500)});
  Witness witness;
  Pinger::Timing timing = Tiny();
  timing.firstBackoff = 1h;
  auto pinger = std::make_unique<Pinger>(transport, witness.failed(), timing, witness.clock());
  pinger->send(kAddress, PingKind::success);
  pinger->send(kAddress, PingKind::fail);  // waiting: dropped
  ASSERT_TRUE(transport.waitForPosts(1));
  const auto before = std::chrono::steady_clock::now();
  pinger.reset();
  // An hour's back-off that did not end would hold the destructor that long.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  EXPECT_EQ(transport.posts().size(), 1u);
  EXPECT_TRUE(witness.all().empty());
}

TEST(Pinger, DestroyedDuringAHungPostAbortsItAndDropsTheRest) {
  ScriptedTransport transport;
  transport.hang();
  Witness witness;
  bool testAnswered = false;
  auto pinger = std::make_unique<Pinger>(transport, witness.failed(), Tiny(), witness.clock());
  pinger->send(kAddress, PingKind::start);
  ASSERT_TRUE(transport.waitForPosts(1));
  pinger->send(kAddress, PingKind::success);
  pinger->test(kAddress, [&](bool, const std::string&) { testAnswered = true; });
  EXPECT_FALSE(pinger->idle(20ms));
  pinger.reset();
  EXPECT_GE(transport.aborts(), 1);
  EXPECT_EQ(transport.posts().size(), 1u) << "no second try, and the waiting ping and test dropped";
  EXPECT_TRUE(witness.all().empty());
  EXPECT_FALSE(testAnswered);
}

#ifdef __linux__
std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

TEST(Pinger, HasNoThreadUntilItsFirstPing) {
  ScriptedTransport transport;
  Witness witness;
  const std::size_t before = ThreadCount();
  Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
  EXPECT_TRUE(pinger.idle(0ms));
  EXPECT_EQ(ThreadCount(), before);
  pinger.send(kAddress, PingKind::start);
  ASSERT_TRUE(pinger.idle(10s));
  EXPECT_EQ(ThreadCount(), before + 1);
}
#endif

// ---- The body ------------------------------------------------------------------------------

// The body the transport was given for one fail ping with `body`.
std::string SentBody(std::string body) {
  ScriptedTransport transport;
  Witness witness;
  Pinger pinger(transport, witness.failed(), Tiny(), witness.clock());
  pinger.send(kAddress, PingKind::fail, std::move(body));
  EXPECT_TRUE(pinger.idle(10s));
  const auto posts = transport.posts();
  return posts.empty() ? std::string("(no post)") : posts[0].body;
}

bool StartsACharacter(const std::string& text) {
  return text.empty() || (static_cast<unsigned char>(text[0]) & 0xC0) != 0x80;
}

TEST(PingBody, KeepsTheLastTenKilobytesFromALinesStart) {
  // Chinese lines of varying length, as a backup's log is: 3 bytes a character.
  std::string log;
  for (int i = 0; log.size() < 3 * kPingBodyLimit; ++i) {
    log += "[26-12-10 02:00:" + std::to_string(i % 60) + "]: 数据库备份失败! 原因: 磁盘空间不足" +
           std::string(static_cast<std::size_t>(i % 7), '.') + "\n";
  }
  log += "原因: 3202 Write on 'D:\\备份\\2026年12月10日02时00分.bak' failed: 112(磁盘空间不足。)";
  const std::string sent = SentBody(log);
  ASSERT_LE(sent.size(), kPingBodyLimit);
  ASSERT_TRUE(log.ends_with(sent)) << "a tail of the log";
  const std::size_t at = log.size() - sent.size();
  EXPECT_EQ(log[at - 1], '\n') << "starts at a line's start";
  // And the longest such tail: the line before would not have fitted.
  const std::size_t previousLine = log.rfind('\n', at - 2) + 1;
  EXPECT_GT(log.size() - previousLine, kPingBodyLimit);

  const std::string whole = log.substr(log.size() - 500);
  EXPECT_EQ(SentBody(whole), whole) << "a short body goes as it is";
  const std::string exact = std::string(kPingBodyLimit - 1, 'x') + "\n";
  EXPECT_EQ(SentBody(exact), exact) << "exactly the limit";
  const std::string tail(kPingBodyLimit - 1, 'y');
  EXPECT_EQ(SentBody("a\n" + tail), tail) << "one byte over: the first line goes";
}

TEST(PingBody, ALastLineLongerThanTheLimitIsCutAtACharactersStart) {
  // 3414 characters of 3 bytes: 10242 bytes, whose last 10240 start inside a character.
  std::string line;
  for (int i = 0; i < 3414; ++i) line += "备";
  std::string expected;
  for (int i = 0; i < 3413; ++i) expected += "备";
  EXPECT_EQ(SentBody(line), expected);
  EXPECT_EQ(SentBody("原因:\n" + line), expected);
  // A line break only at the very end would leave nothing: the line's end is kept.
  const std::string sent = SentBody(line + "\n");
  EXPECT_TRUE(StartsACharacter(sent));
  EXPECT_EQ(sent, expected + "\n");
  // 4-byte characters (outside the BMP) likewise.
  std::string emoji;
  for (int i = 0; i < 2600; ++i) emoji += "\U0001F4BE";  // 10400 bytes
  const std::string cut = SentBody(emoji);
  EXPECT_TRUE(StartsACharacter(cut));
  EXPECT_EQ(cut.size(), kPingBodyLimit);  // 10240 is a multiple of 4
  EXPECT_TRUE(emoji.ends_with(cut));
}

}  // namespace
}  // namespace bakwyn::app
