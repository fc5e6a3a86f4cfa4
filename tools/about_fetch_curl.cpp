// The promo fetch through libcurl.
#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "tools/about.h"

namespace quarlex {

namespace {

struct Sink {
  std::string* answer;
  size_t limit;
};

// Keeps at most `limit` bytes; reaching it stops the transfer, so a huge answer costs no
// memory and little time.
size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  const size_t room = sink->limit - sink->answer->size();
  if (n > room) {
    sink->answer->append(data, room);
    return 0;  // CURLE_WRITE_ERROR: we have all we keep
  }
  sink->answer->append(data, n);
  return n;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

PromoResult FetchPromo(const std::string& address, const PromoLimits& limits) {
  PromoResult result;
  const PromoTarget target = SplitPromoAddress(address);
  if (target.host.empty() || IsReservedInvalidHost(target.host)) return result;

  GlobalInit();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return result;
  curl_slist* headers = nullptr;
  for (const char* h :
       {"Accept: text/*", "Content-Type: application/x-www-form-urlencoded", "Pragma: no-cache"}) {
    curl_slist* grown = curl_slist_append(headers, h);
    if (!grown) {
      curl_slist_free_all(headers);
      return result;
    }
    headers = grown;
  }
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);

  const std::string url = "http://" + target.host + "/" + target.path;
  Sink sink{&result.answer, limits.maxBytes};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Torv");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  // Time-outs without SIGALRM: the caller may be any thread of a program that has its own.
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, limits.connectMs);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, limits.totalMs);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

  const CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // An answer was read when the server answered at all: a status line came back. A transfer
  // cut short (our own limit, or a time-out in the body) still leaves what arrived.
  const bool answered = rc == CURLE_OK || (status > 0 && (rc == CURLE_WRITE_ERROR || !result.answer.empty()));
  if (!answered) {
    result.answer.clear();
    return result;
  }
  result.PromoState = BeginsWithMarker(result.answer) ? 2 : 1;
  return result;
}

}  // namespace quarlex
