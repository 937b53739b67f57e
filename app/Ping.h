#pragma once
// The ping address: a monitoring service that alerts when an expected ping
// does not come, or a chat service's incoming-message address. Each backup
// POSTs "<address>/start" when it starts, "<address>" after a success and
// "<address>/fail" after a failure. Pings go out on a thread of their own, so
// that an address that never answers delays nothing else.
//
// Portable: the HTTP request itself is an HttpTransport (WinHTTP on Windows,
// app/WinHttp.*).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace bakwyn::app {

enum class PingKind { start, success, fail };

// An address as the user typed it, taken apart: "http://" or "https://", a
// host, an optional port, and the rest (path and query, "/" when none).
struct PingUrl {
  bool https = false;
  std::string host;  // an IPv6 address without its brackets
  int port = 0;      // 80 or 443 when none was given
  std::string path;
  std::string userinfo;  // "user:password" before an "@", as typed (percent escapes kept); "" when none
};
// Nothing for anything that is not an http or https address with a host:
// another scheme, a blank or control character anywhere, a port outside
// 1..65535, text that is no UTF-8, or more than 2048 bytes.
std::optional<PingUrl> ParsePingAddress(std::string_view address);

// This computer itself ("localhost", 127.x.x.x, ::1): never reached through a
// proxy, which would not know it or would be this computer's own.
bool IsLoopbackHost(std::string_view host);

// The URL of one ping: the address with "/start" or "/fail" added to its path
// (before any "?query"), or the address itself for a success; any "#fragment"
// left out. "" for an address that cannot be parsed.
std::string PingTarget(std::string_view address, PingKind kind);

// What the log shows of an address: its host only, since the rest may hold a
// secret token. "" for an address that cannot be parsed.
std::string PingHost(std::string_view address);

// The most of a body that is sent: its last 10 KB (the cause comes last), cut
// at a line's start (within a single longer line, at a character's start).
inline constexpr std::size_t kPingBodyLimit = 10 * 1024;

struct HttpAnswer {
  bool reached = false;  // an HTTP answer came, whatever its status
  int status = 0;        // when reached
  std::string error;     // why not, in the system's words, when not reached
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // One POST of `body` (UTF-8, "text/plain; charset=utf-8") to `url`, given up
  // after `timeout`, through the system's proxy settings.
  virtual HttpAnswer post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout) = 0;
  // Ends a post under way on another thread as soon as it can (the program or
  // the service ends).
  virtual void abort() {}
};

// How long a ping may take and how often it is tried.
struct PingTiming {
  std::chrono::milliseconds timeout{10'000};
  // The waits before the second and the third try.
  std::chrono::milliseconds firstBackoff{2'000};
  std::chrono::milliseconds secondBackoff{8'000};
  // A ping that could not be sent is told at most this often.
  std::chrono::milliseconds tellEvery{3'600'000};
};

class Pinger {
 public:
  using Timing = PingTiming;

  // `failed` is told, on the pinger's thread, of a ping that could not be sent
  // after its tries (the host, and why: the system's words or "HTTP 500"), at
  // most once per Timing::tellEvery. `now` is a steady clock in milliseconds.
  Pinger(HttpTransport& transport, std::function<void(const std::string& host, const std::string& why)> failed,
         Timing timing = {}, std::function<std::int64_t()> now = nullptr);
  // Ends the ping under way (HttpTransport::abort) and drops the ones waiting.
  ~Pinger();
  Pinger(const Pinger&) = delete;
  Pinger& operator=(const Pinger&) = delete;

  // Queues one ping and returns at once. Tried up to three times: again after
  // no answer or an answer of 500 or above (or 429); any other answer ends it
  // (2xx sent, anything else not). An address that cannot be parsed is told as
  // not sent.
  void send(std::string address, PingKind kind, std::string body = {});

  // One try of a success ping with a short text, for the settings window's
  // button: `done` gets what came of it, in words for a message box, on the
  // pinger's thread (not at all when the Pinger is destroyed first). A test
  // goes before the pings waiting.
  void test(std::string address, std::function<void(bool sent, const std::string& answer)> done);

  // Blocks until every queued ping has been tried (for the tests and the
  // service's stop); false when `timeout` passed first. Not from `failed` or
  // `done`.
  bool idle(std::chrono::milliseconds timeout);

 private:
  // The implementation's own members follow.
  struct Job {
    std::string address;
    PingKind kind = PingKind::success;
    std::string body;
    std::function<void(bool, const std::string&)> done;  // set for a test
  };
  void enqueue(Job job);
  void run();
  void deliver(const Job& job);
  // Waits `wait` unless the Pinger is being destroyed; false then.
  bool pause(std::chrono::milliseconds wait);
  void tell(const std::string& host, const std::string& why);

  HttpTransport& transport_;
  std::function<void(const std::string&, const std::string&)> failed_;
  Timing timing_;
  std::function<std::int64_t()> now_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable emptied_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::optional<std::int64_t> lastTold_;
  std::thread thread_;  // started with the first ping; last, so that it ends before the members above
};

}  // namespace bakwyn::app
