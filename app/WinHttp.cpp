#include "app/WinHttp.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::app {
namespace {

constexpr wchar_t kUserAgent[] = L"Bakwyn";
// Wine reports a receive time-out as the socket's error, not WinHTTP's.
constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT

// One request's results, filled in by WinHTTP's callbacks. Owned jointly by
// post() and the request's callbacks: a request ended by a time-out or an
// abort may still be called back after post() returned (under Wine it runs on
// until its own time-out), so the callbacks' share is let go only at
// HANDLE_CLOSING, the last callback of a handle. The body and headers live
// here too: WinHTTP reads them while it sends, maybe after post() returned.
struct Call {
  UniqueKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::string body;
  std::wstring headers;
  // Written by the callbacks before `done` is set; read by post() after it.
  DWORD error = 0;
  DWORD status = 0;
  bool answered = false;
  DWORD certificate = 0;  // what was wrong with the server's certificate, as an error
};
using CallShare = std::shared_ptr<Call>;

// The error that names the first fault among WINHTTP_CALLBACK_STATUS_SECURE_FAILURE's flags.
DWORD CertificateError(DWORD flags) {
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) return ERROR_WINHTTP_SECURE_INVALID_CA;
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) return ERROR_WINHTTP_SECURE_CERT_CN_INVALID;
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) return ERROR_WINHTTP_SECURE_CERT_DATE_INVALID;
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return ERROR_WINHTTP_SECURE_CERT_REVOKED;
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) return ERROR_WINHTTP_SECURE_CERT_REV_FAILED;
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) return ERROR_WINHTTP_SECURE_INVALID_CERT;
  return 0;
}

void CALLBACK OnStatus(HINTERNET request, DWORD_PTR context, DWORD status, void* info, DWORD) {
  auto* share = reinterpret_cast<CallShare*>(context);
  if (!share) return;
  Call& call = **share;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttpReceiveResponse(request, nullptr)) {
        call.error = GetLastError();
        SetEvent(call.done.get());
      }
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
      DWORD code = 0;
      DWORD size = sizeof code;
      if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        call.status = code;
        call.answered = true;
      } else {
        call.error = GetLastError();
      }
      SetEvent(call.done.get());
      break;
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      // Comes before the request's error, which only says "secure failure".
      call.certificate = CertificateError(*static_cast<DWORD*>(info));
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      call.error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      if (call.certificate &&
          (call.error == ERROR_WINHTTP_SECURE_FAILURE || call.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)) {
        call.error = call.certificate;
      }
      SetEvent(call.done.get());
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      delete share;
      break;
    default:
      break;
  }
}

// Milliseconds left until `deadline` (GetTickCount64), at least 1: WinHTTP
// takes a time-out of 0 as none at all.
DWORD Remaining(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 1 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF));
}

HttpAnswer Failure(DWORD error) { return {false, 0, WinHttpErrorText(error)}; }

std::string PercentDecoded(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    unsigned int group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
    }
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

// Only TLS 1.2 and later: what services accept today. Windows 7 offers at
// most TLS 1.0 unless asked; a system that knows no TLS 1.3 refuses that
// flag, and then gets 1.0 to 1.2 as Windows 10 would by itself.
void PreferModernTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return;
  protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
              WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  // Should this fail too, the system's own choice stays.
  WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
}

// The text of `code` in a module's message table (winhttp.dll holds those of
// its 12xxx errors), "" when it has none.
std::string ModuleMessage(HMODULE module, DWORD code) {
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD length = FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  std::wstring message(text ? text.get() : L"", text ? length : 0);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  return FromWide(message);
}

// For a system without winhttp.dll's texts (Wine has none): the errors a
// ping meets, in the words Windows uses.
std::string KnownWinHttpError(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "操作超时";
    case ERROR_WINHTTP_INVALID_URL: return "URL 无效";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "无法解析服务器名称或地址";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "操作已取消";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "无法与服务器建立连接";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "与服务器的连接被重置或意外终止";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "服务器返回了无效或无法识别的响应";
    case ERROR_WINHTTP_SECURE_FAILURE: return "服务器提供的 SSL 证书有错误";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "安全通道支持出错";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "SSL 证书无效";
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "SSL 证书已被吊销";
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED: return "无法检查 SSL 证书是否已被吊销";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "SSL 证书已过期或尚未生效";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "SSL 证书的公用名称与主机名不符";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "SSL 证书由不受信任的机构颁发";
    case ERROR_WINHTTP_AUTODETECTION_FAILED: return "无法自动检测代理服务器";
    default: return {};
  }
}

}  // namespace

std::string WinHttpErrorText(DWORD error) {
  if (error == kSocketTimedOut) error = ERROR_WINHTTP_TIMEOUT;
  std::string words;
  if (error >= WINHTTP_ERROR_BASE && error <= WINHTTP_ERROR_LAST) {
    words = ModuleMessage(GetModuleHandleW(L"winhttp.dll"), error);
    if (words.empty()) words = KnownWinHttpError(error);
  } else {
    words = ModuleMessage(nullptr, error);
  }
  const std::string number = std::to_string(error);
  return words.empty() ? "错误 " + number : words + " (" + number + ")";
}

WinHttpTransport::WinHttpTransport(Proxy proxy) : proxy_(proxy) {}

WinHttpTransport::~WinHttpTransport() { abort(); }

HINTERNET WinHttpTransport::session(bool loopback, DWORD& error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  UniqueInternet& slot = loopback ? direct_ : proxied_;
  if (!slot) {
    // Asynchronous handles: only they can be ended at once from another
    // thread and held to one deadline for the whole try.
    if (loopback) {
      // A proxy would not reach this computer's own services, or would be one
      // of them: a ping to this computer never goes through one.
      slot.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                             WINHTTP_FLAG_ASYNC));
    } else {
      if (proxy_ == Proxy::automatic) {
        // Refused (ERROR_INVALID_PARAMETER) before Windows 8.1.
        slot.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
      }
      if (!slot) {
        slot.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
      }
    }
    if (!slot) {
      error = GetLastError();
      return nullptr;
    }
    PreferModernTls(slot.get());
  }
  return slot.get();
}

HttpAnswer WinHttpTransport::post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(timeout.count(), 1));
  const auto address = ParsePingAddress(url);
  if (!address) return Failure(ERROR_WINHTTP_INVALID_URL);
  DWORD error = 0;
  const HINTERNET session = this->session(IsLoopbackHost(address->host), error);
  if (!session) return Failure(error);
  const UniqueInternet connection(
      WinHttpConnect(session, ToWide(address->host).c_str(), static_cast<INTERNET_PORT>(address->port), 0));
  if (!connection) return Failure(GetLastError());
  // The certificate checks stay as the system has them: a ping address may
  // carry a secret token, which must reach no one but its own host.
  UniqueInternet request(WinHttpOpenRequest(connection.get(), L"POST", ToWide(address->path).c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            address->https ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return Failure(GetLastError());

  // Each stage gets the whole time, which bounds what WinHTTP does after an
  // abort; the wait below holds the try itself to the deadline. The wait for
  // the status line has a limit of its own (90 s by default; none under Wine).
  // A few seconds beyond the try's own deadline: the wait below, not
  // WinHTTP's timer, ends a try that gets no answer. Measured under Wine, the
  // two firing at once left the session's next request failing at once
  // (12019), so that the next ping was sent twice.
  const int stage = static_cast<int>(Remaining(deadline)) + 5000;
  DWORD responseWait = static_cast<DWORD>(stage);
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  // A connection of its own for each try: one that an earlier try gave up on
  // (an answer that never came) must not carry the next, whose answer could
  // then be lost after the server had taken the ping, and the ping be sent twice.
  DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive, sizeof noKeepAlive) ||
      !WinHttpSetTimeouts(request.get(), stage, stage, stage, stage) ||
      !WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseWait, sizeof responseWait) ||
      !WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects)) {
    return Failure(GetLastError());
  }
  if (WinHttpSetStatusCallback(request.get(), OnStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                                   WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    return Failure(GetLastError());
  }

  const auto call = std::make_shared<Call>();
  if (!call->done) return Failure(GetLastError());
  call->body = body;
  call->headers = L"Content-Type: text/plain; charset=utf-8\r\n";
  if (!address->userinfo.empty()) {
    // Sent with the first request: a ping has no second round for a challenge.
    call->headers += L"Authorization: Basic " + ToWide(Base64(PercentDecoded(address->userinfo))) + L"\r\n";
  }
  auto share = std::make_unique<CallShare>(call);
  auto context = reinterpret_cast<DWORD_PTR>(share.get());
  // Set as an option rather than only with the send, so that the handle's
  // last callback carries it whatever happens to the send.
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    return Failure(GetLastError());
  }
  (void)share.release();  // the request's HANDLE_CLOSING deletes it

  {
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back({request.get(), call->done.get()});
  }
  const auto size = static_cast<DWORD>(call->body.size());
  const bool sent = WinHttpSendRequest(request.get(), call->headers.c_str(), static_cast<DWORD>(call->headers.size()),
                                       size ? call->body.data() : WINHTTP_NO_REQUEST_DATA, size, size, context);
  const DWORD sendError = sent ? 0 : GetLastError();
  const DWORD waited = sent ? WaitForSingleObject(call->done.get(), Remaining(deadline)) : WAIT_FAILED;
  bool aborted = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto mine = std::find_if(pending_.begin(), pending_.end(),
                                   [&](const Pending& p) { return p.request == request.get(); });
    aborted = mine == pending_.end();
    if (!aborted) pending_.erase(mine);
  }
  if (aborted) {
    (void)request.release();  // abort() closed it
    return Failure(ERROR_WINHTTP_OPERATION_CANCELLED);
  }
  if (!sent) return Failure(sendError);
  // Closing the request (when `request` goes) cancels what is still under way.
  if (waited != WAIT_OBJECT_0) return Failure(ERROR_WINHTTP_TIMEOUT);
  if (!call->answered) return Failure(call->error);
  return {true, static_cast<int>(call->status), {}};
}

void WinHttpTransport::abort() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const Pending& p : pending_) {
    WinHttpCloseHandle(p.request);
    SetEvent(p.wake);
  }
  pending_.clear();
}

}  // namespace bakwyn::app
