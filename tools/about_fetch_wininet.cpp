// The promo fetch through WinINet: the same request, time-outs and cap as elsewhere. WinINet has
// no limit on a whole exchange, so each read is given what is left of it.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "serial/thread_name.h"
#include "text/win32_text.h"
#include "tools/about.h"

namespace quarlex {

namespace {

struct Internet {
  HINTERNET h;
  explicit Internet(HINTERNET handle) : h(handle) {}
  ~Internet() {
    if (h) InternetCloseHandle(h);
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
};

// "host", "host:port", "[v6]" or "[v6]:port"; port 80 unless given. False for a bad port.
bool SplitHostPort(const std::string& hostPort, std::string& host, INTERNET_PORT& port) {
  port = INTERNET_DEFAULT_HTTP_PORT;
  host = hostPort;
  const size_t bracket = hostPort.rfind(']');
  const size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) return !host.empty();
  host = hostPort.substr(0, colon);
  const std::string digits = hostPort.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long n = std::stoul(digits);
  if (n == 0 || n > 65535) return false;
  port = static_cast<INTERNET_PORT>(n);
  return !host.empty();
}

void SetTimeout(HINTERNET h, DWORD option, long ms) {
  DWORD value = static_cast<DWORD>(ms > 0 ? ms : 1);
  InternetSetOptionW(h, option, &value, sizeof value);
}

// The exchange itself, bounded only by its time-outs: WinINet's calls block (the send waits for
// the answer's head up to the whole time-out) and no flag reaches into them.
PromoResult FetchBlocking(const std::string& address, const PromoLimits& limits) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limits.totalMs);
  const auto left = [&] {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
  };
  const PromoTarget target = SplitPromoAddress(address);
  std::string host;
  INTERNET_PORT port = 0;
  if (target.host.empty() || IsReservedInvalidHost(target.host) || !SplitHostPort(target.host, host, port))
    return {};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

  Internet session(InternetOpenW(L"Torv", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session.h) return {};
  SetTimeout(session.h, INTERNET_OPTION_CONNECT_TIMEOUT, limits.connectMs);
  SetTimeout(session.h, INTERNET_OPTION_SEND_TIMEOUT, limits.totalMs);
  SetTimeout(session.h, INTERNET_OPTION_RECEIVE_TIMEOUT, limits.totalMs);
  Internet connection(InternetConnectW(session.h, win32::Wide(host).c_str(), port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection.h) return {};
  const wchar_t* accept[] = {L"text/*", nullptr};
  // No cache either way, no redirects, no cookies, never a dialog.
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
  Internet request(HttpOpenRequestW(connection.h, L"GET", win32::Wide("/" + target.path).c_str(), L"HTTP/1.0",
                                    nullptr, accept, flags, 0));
  if (!request.h) return {};
  // Set on the request too: not every WinINet hands the session's time-outs down to it.
  SetTimeout(request.h, INTERNET_OPTION_CONNECT_TIMEOUT, limits.connectMs);
  SetTimeout(request.h, INTERNET_OPTION_SEND_TIMEOUT, left());
  SetTimeout(request.h, INTERNET_OPTION_RECEIVE_TIMEOUT, left());
  const wchar_t* contentType = L"Content-Type: application/x-www-form-urlencoded\r\n";
  if (!HttpAddRequestHeadersW(request.h, contentType, static_cast<DWORD>(-1L),
                              HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
    return {};
  if (!HttpSendRequestW(request.h, nullptr, 0, nullptr, 0)) return {};
  DWORD status = 0, size = sizeof status;
  HttpQueryInfoW(request.h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);

  std::string answer;
  bool complete = false;
  char buffer[16 * 1024];
  while (answer.size() < limits.maxBytes) {
    if (left() <= 0) break;
    SetTimeout(request.h, INTERNET_OPTION_RECEIVE_TIMEOUT, left());
    // A read waits until its whole count has arrived, so a body that stalls half-way would
    // lose what came: ask only for what is there (waiting for the first byte of it).
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request.h, &available, 0, 0)) break;
    if (available == 0) {
      complete = true;
      break;
    }
    const DWORD room =
        static_cast<DWORD>(std::min({sizeof buffer, limits.maxBytes - answer.size(), size_t{available}}));
    DWORD n = 0;
    if (!InternetReadFile(request.h, buffer, room, &n)) break;
    if (n == 0) {
      complete = true;
      break;
    }
    answer.append(buffer, n);
  }
  const bool cut = answer.size() >= limits.maxBytes;
  return PromoAnswer(std::move(answer),
                     {.complete = complete, .status = static_cast<long>(status), .cut = cut});
}

}  // namespace

PromoResult FetchPromo(const std::string& address, const PromoLimits& limits, const StopFlag* stop) {
  if (!stop) return FetchBlocking(address, limits);
  // The exchange runs on a thread of its own, so that a stop (the About panel or the window
  // closing) is answered at once: the exchange is then abandoned, left to end by its time-outs
  // with nobody waiting for it, and its answer is dropped.
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    PromoResult result;
  };
  auto shared = std::make_shared<Shared>();
  std::thread exchange([shared, address, limits] {
    NameThisThread(thread_role::kFetch);
    PromoResult r = FetchBlocking(address, limits);
    std::lock_guard lock(shared->m);
    shared->result = std::move(r);
    shared->done = true;
    shared->cv.notify_all();
  });
  std::unique_lock lock(shared->m);
  while (!shared->done) {
    if (stop->Requested()) {
      lock.unlock();
      exchange.detach();
      return {};
    }
    shared->cv.wait_for(lock, std::chrono::milliseconds(50));
  }
  lock.unlock();
  exchange.join();
  return std::move(shared->result);
}

}  // namespace quarlex
