#include "app/Ping.h"

#include <algorithm>
#include <utility>

#include "base/Text.h"

namespace bakwyn::app {
namespace {

// Longer than any address a monitoring service hands out, token included; a
// longer text is a paste gone wrong.
constexpr std::size_t kMaxAddress = 2048;
constexpr std::size_t kMaxHost = 253;  // DNS's own limit

// What the user's words for an address that cannot be used are.
constexpr const char* kBadAddress = "不是有效的 http:// 或 https:// 地址";
// The short text of the settings window's test ping.
constexpr const char* kTestBody = "Bakwyn 测试 ping\n";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2) || c > 0xF4) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if (!IsContinuation(static_cast<unsigned char>(text[i + k]))) return false;
    }
    // Over-long forms, surrogates and code points beyond U+10FFFF.
    const auto second = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second >= 0x90))
      return false;
    i += length;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A host name as DNS knows it (letters, digits, "-", ".", "_", "~"), an IPv4
// address, or an international name in UTF-8. Whatever else ("%", "!", "\")
// a browser might put up with is a typing error in a ping address.
bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHost) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || IsHex(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '-' || c == '.' ||
           c == '_' || c == '~';
  });
}

bool IsIpv6(std::string_view host) {
  return host.find(':') != std::string_view::npos &&
         std::all_of(host.begin(), host.end(), [](char c) { return IsHex(c) || c == ':' || c == '.'; });
}

// An address taken apart, each piece a view into it.
struct Parts {
  PingUrl url;
  std::string_view authority;  // [userinfo@]host[:port] as typed
  std::string_view path;       // as typed, from the first "/" or "?" up to any "#"; may be empty
  std::string_view query;      // from "?" on, within `path`'s text; may be empty
};

std::optional<Parts> Split(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddress || !IsUtf8(address)) return std::nullopt;
  // Blanks and control characters: a pasted address with a line break or a
  // tab in it would otherwise reach a host the user never typed.
  for (char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '\\') return std::nullopt;
  }
  const std::size_t colon = address.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  Parts parts;
  const std::string_view scheme = address.substr(0, colon);
  if (EqualsIgnoringAsciiCase(scheme, "https")) {
    parts.url.https = true;
  } else if (!EqualsIgnoringAsciiCase(scheme, "http")) {
    return std::nullopt;
  }
  std::string_view rest = address.substr(colon + 3);
  rest = rest.substr(0, rest.find('#'));  // a fragment never leaves the browser
  const std::size_t pathStart = rest.find_first_of("/?");
  parts.authority = rest.substr(0, pathStart);
  parts.path = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);
  const std::size_t question = parts.path.find('?');
  if (question != std::string_view::npos) {
    parts.query = parts.path.substr(question);
    parts.path = parts.path.substr(0, question);
  }

  // "user:password@" may come first; the last "@" ends it, as a password may hold one.
  std::string_view hostPort = parts.authority;
  if (const std::size_t at = hostPort.rfind('@'); at != std::string_view::npos) {
    parts.url.userinfo = std::string(hostPort.substr(0, at));
    hostPort = hostPort.substr(at + 1);
  }
  std::string_view port;
  bool hasPort = false;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const std::size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view host = hostPort.substr(1, close - 1);
    if (!IsIpv6(host)) return std::nullopt;
    parts.url.host = std::string(host);
    const std::string_view after = hostPort.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      hasPort = true;
      port = after.substr(1);
    }
  } else {
    const std::size_t portColon = hostPort.find(':');
    const std::string_view host = hostPort.substr(0, portColon);
    if (!IsHostName(host)) return std::nullopt;
    parts.url.host = std::string(host);
    if (portColon != std::string_view::npos) {
      hasPort = true;
      port = hostPort.substr(portColon + 1);
    }
  }
  parts.url.port = parts.url.https ? 443 : 80;
  // "host:" with no digits means the default port, as in any URL.
  if (hasPort && !port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), IsDigit)) return std::nullopt;
    int number = 0;
    for (char c : port) number = number * 10 + (c - '0');
    if (number < 1 || number > 65535) return std::nullopt;
    parts.url.port = number;
  }
  parts.url.path = (parts.path.empty() ? std::string("/") : std::string(parts.path)) + std::string(parts.query);
  return parts;
}

// The last kPingBodyLimit bytes of a longer body, from the first line that
// starts within them: a monitoring service shows the cause, which the log
// writes last, and a whole line reads better than half of one. A last line
// longer than the limit keeps its end, cut where a character starts.
std::string CutBody(std::string body) {
  if (body.size() <= kPingBodyLimit) return body;
  std::size_t start = body.size() - kPingBodyLimit;
  if (body[start - 1] != '\n') {
    const std::size_t newline = body.find('\n', start);
    if (newline != std::string::npos && newline + 1 < body.size()) {
      start = newline + 1;
    } else {
      while (start < body.size() && IsContinuation(static_cast<unsigned char>(body[start]))) ++start;
    }
  }
  return body.substr(start);
}

std::string Why(const HttpAnswer& answer) {
  return answer.reached ? "HTTP " + std::to_string(answer.status) : answer.error;
}

bool Sent(const HttpAnswer& answer) { return answer.reached && answer.status >= 200 && answer.status < 300; }

// Worth another try: no answer at all, a server in trouble (5xx), or one that
// asks to slow down (429). Any other answer will not change by trying again.
bool Retry(const HttpAnswer& answer) { return !answer.reached || answer.status >= 500 || answer.status == 429; }

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::optional<PingUrl> ParsePingAddress(std::string_view address) {
  auto parts = Split(address);
  if (!parts) return std::nullopt;
  return std::move(parts->url);
}

bool IsLoopbackHost(std::string_view host) {
  if (EqualsIgnoringAsciiCase(host, "localhost") || host == "::1" || EqualsIgnoringAsciiCase(host, "[::1]")) {
    return true;
  }
  // 127.0.0.0/8 as four decimal numbers.
  int numbers = 0;
  int first = -1;
  std::size_t i = 0;
  while (i <= host.size()) {
    std::size_t end = host.find('.', i);
    if (end == std::string_view::npos) end = host.size();
    const std::string_view number = host.substr(i, end - i);
    if (number.empty() || number.size() > 3 || !std::all_of(number.begin(), number.end(), IsDigit)) return false;
    const int value = std::stoi(std::string(number));
    if (value > 255) return false;
    if (numbers++ == 0) first = value;
    i = end + 1;
  }
  return numbers == 4 && first == 127;
}

std::string PingTarget(std::string_view address, PingKind kind) {
  const auto parts = Split(address);
  if (!parts) return {};
  std::string out = parts->url.https ? "https://" : "http://";
  out += parts->authority;
  out += parts->path;
  if (kind != PingKind::success) {
    if (out.back() != '/') out += '/';
    out += kind == PingKind::start ? "start" : "fail";
  }
  out += parts->query;
  return out;
}

std::string PingHost(std::string_view address) {
  const auto url = ParsePingAddress(address);
  if (!url) return {};
  return url->host.find(':') != std::string::npos ? "[" + url->host + "]" : url->host;
}

Pinger::Pinger(HttpTransport& transport, std::function<void(const std::string&, const std::string&)> failed,
               Timing timing, std::function<std::int64_t()> now)
    : transport_(transport),
      failed_(std::move(failed)),
      timing_(timing),
      now_(now ? std::move(now) : std::function<std::int64_t()>(SteadyMilliseconds)) {}

Pinger::~Pinger() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  jobs_.clear();
  wake_.notify_all();
  if (!thread_.joinable()) return;
  // The thread may be just about to start a try when the abort comes, which
  // would then find nothing to end: abort again until the job is over.
  while (busy_) {
    lock.unlock();
    transport_.abort();
    lock.lock();
    emptied_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !busy_; });
  }
  lock.unlock();
  thread_.join();
}

void Pinger::send(std::string address, PingKind kind, std::string body) {
  enqueue(Job{std::move(address), kind, CutBody(std::move(body)), nullptr});
}

void Pinger::test(std::string address, std::function<void(bool sent, const std::string& answer)> done) {
  enqueue(Job{std::move(address), PingKind::success, kTestBody, std::move(done)});
}

void Pinger::enqueue(Job job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  if (job.done) {
    // Someone waits before the settings window for this one; the pings queued
    // behind a silent address would keep them waiting for minutes.
    const auto firstPing = std::find_if(jobs_.begin(), jobs_.end(), [](const Job& queued) { return !queued.done; });
    jobs_.insert(firstPing, std::move(job));
  } else {
    jobs_.push_back(std::move(job));
  }
  // Started here rather than with the Pinger: a program without a ping address
  // never has the thread.
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  wake_.notify_all();
}

bool Pinger::idle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return emptied_.wait_for(lock, timeout, [this] { return jobs_.empty() && !busy_; });
}

void Pinger::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) break;
    const Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    deliver(job);
    lock.lock();
    busy_ = false;
    emptied_.notify_all();
  }
}

bool Pinger::pause(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stopping_; });
}

void Pinger::deliver(const Job& job) {
  const std::string host = PingHost(job.address);
  const std::string url = PingTarget(job.address, job.kind);
  if (url.empty()) {
    if (job.done) {
      job.done(false, std::string("ping 地址") + kBadAddress);
    } else {
      tell(host, kBadAddress);
    }
    return;
  }
  const int tries = job.done ? 1 : 3;
  HttpAnswer answer;
  for (int i = 0; i < tries; ++i) {
    if (i > 0 && !pause(i == 1 ? timing_.firstBackoff : timing_.secondBackoff)) return;
    answer = transport_.post(url, job.body, timing_.timeout);
    if (Sent(answer) || !Retry(answer)) break;
  }
  {
    // A try ended by the Pinger's end tells nobody: the owner is going away.
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
  }
  if (job.done) {
    const bool sent = Sent(answer);
    job.done(sent, sent ? "测试 ping 已发送到 " + host + " (HTTP " + std::to_string(answer.status) + ")"
                        : "测试 ping 无法发送到 " + host + ": " + Why(answer));
  } else if (!Sent(answer)) {
    tell(host, Why(answer));
  }
}

void Pinger::tell(const std::string& host, const std::string& why) {
  // Once an hour at most: an address that is down fails every backup's three
  // pings, and the log and the event log should not fill with the same line.
  const std::int64_t now = now_();
  if (lastTold_ && now - *lastTold_ < timing_.tellEvery.count()) return;
  lastTold_ = now;
  if (failed_) failed_(host, why);
}

}  // namespace bakwyn::app
