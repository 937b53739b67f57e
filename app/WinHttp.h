#pragma once
// The ping's HTTP request through WinHTTP (Windows only): the system's proxy
// settings, the system's certificate checks, and a time-out that holds for the
// whole try, from the name's look-up to the answer's status line.
#include <windows.h>

#include <winhttp.h>

#include <mutex>
#include <vector>

#include "app/Ping.h"
#include "base/UniqueAny.h"

namespace bakwyn::app {

struct InternetHandleTraits {
  using type = HINTERNET;
  static type invalid() { return nullptr; }
  static void close(type h) { WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

class WinHttpTransport final : public HttpTransport {
 public:
  // Where the proxy comes from. automatic: the system's and the user's
  // settings, proxy scripts included (Windows 8.1 and later; older systems
  // fall back to configured). configured: what "netsh winhttp set proxy"
  // stored, which is also what a service's account has.
  enum class Proxy { automatic, configured };

  explicit WinHttpTransport(Proxy proxy = Proxy::automatic);
  ~WinHttpTransport() override;
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

  // Redirects are not followed: an answer of 3xx is returned as it is, so that
  // the user learns that the address has moved.
  HttpAnswer post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout) override;
  // Ends every post under way at once; its answer says it was cancelled.
  void abort() override;

 private:
  struct Pending {
    HINTERNET request;
    HANDLE wake;  // set to end the post's wait
  };
  // The session for this host (opened at the first post, so that a program
  // without a ping address does no WinHTTP work); nullptr with `error` set
  // when it cannot be opened.
  HINTERNET session(bool loopback, DWORD& error);

  const Proxy proxy_;
  std::mutex mutex_;
  UniqueInternet proxied_;
  UniqueInternet direct_;         // no proxy: this computer itself
  std::vector<Pending> pending_;  // the posts under way, whose requests abort() closes
};

// The system's words for a WinHTTP or socket error, with its number:
// "操作超时 (12002)".
std::string WinHttpErrorText(DWORD error);

}  // namespace bakwyn::app
