// The promo fetch through libcurl.
#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

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

// libcurl asks this often while it waits (about once a second when nothing moves); a nonzero
// answer aborts the transfer.
int StopAsked(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const StopFlag*>(user)->Requested() ? 1 : 0;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

PromoResult FetchPromo(const std::string& address, const PromoLimits& limits, const StopFlag* stop) {
  const PromoTarget target = SplitPromoAddress(address);
  if (target.host.empty() || IsReservedInvalidHost(target.host)) return {};

  GlobalInit();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return {};
  curl_slist* headers = nullptr;
  for (const char* h :
       {"Accept: text/*", "Content-Type: application/x-www-form-urlencoded", "Pragma: no-cache"}) {
    curl_slist* grown = curl_slist_append(headers, h);
    if (!grown) {
      curl_slist_free_all(headers);
      return {};
    }
    headers = grown;
  }
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);

  const std::string url = "http://" + target.host + "/" + target.path;
  std::string answer;
  Sink sink{&answer, limits.maxBytes};
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

  if (stop) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, StopAsked);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<StopFlag*>(stop));
  }

  const CURLcode rc = curl_easy_perform(c);
  if (stop && stop->Requested()) return {};
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // CURLE_WRITE_ERROR is our own Collect stopping the transfer at the limit.
  return PromoAnswer(std::move(answer),
                     {.complete = rc == CURLE_OK, .status = status, .cut = rc == CURLE_WRITE_ERROR});
}

}  // namespace quarlex
