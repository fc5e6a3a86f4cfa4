#pragma once
// Logic of the About panel: the blank page of its browser pane, the build-time addresses, and
// the promo fetch: one short HTTP/1.0 GET whose answer decides whether the pane shows the
// endpoint's page. No toolkit here; the Qt panel calls these.
// FetchPromo blocks (bounded by its time-outs) and may be called from any thread; it keeps no
// state between calls.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/background.h"

namespace quarlex {

// The document the browser pane shows whenever no promo page is shown: empty, in the panel's
// colours, with selection and the context menu suppressed.
inline constexpr std::string_view BlankPage =
    "<!DOCTYPE html><head><title>.</title><meta charset=\"utf-8\"><style type=\"text/css\">"
    "body{font-family:Arial,Helvetica,sans-serif;font-size:1.1em;font-weight:normal;line-height:1;"
    "color:#cccccc;background:#4a5459;cursor:default;-webkit-user-select:none;"
    "-webkit-touch-callout:none;-moz-user-select:none;-ms-user-select:none;user-select:none;}"
    "</style></head><body oncontextmenu=\"return false\" scroll=\"auto\"></body></html>";

// An answer that begins with this shows the promo page.
inline constexpr std::string_view PromoMarker = "<!--pgo1-->";

// Build-time settings (CMake cache variables QUARLEX_PROMO_ADDRESS, QUARLEX_CONTACT_ADDRESS).
// The promo address is a host, optionally with ":port" and a path, without scheme; the default
// lies under the reserved .invalid domain, so a default build contacts nobody.
const std::string& PromoAddress();
const std::string& ContactAddress();

// "http://" removed, then host before the first '/', path after it ("" asks for the root).
struct PromoTarget {
  std::string host;  // may carry ":port"
  std::string path;
};
PromoTarget SplitPromoAddress(std::string_view address);

// A host under the reserved .invalid domain never resolves; it is not even looked up.
bool IsReservedInvalidHost(std::string_view host);

struct PromoLimits {
  long connectMs = 3000;        // name lookup and connection
  long totalMs = 5000;          // the whole exchange
  size_t maxBytes = 64 * 1024;  // answer bytes kept; the transfer stops there
};

struct PromoResult {
  // 0 no answer was read, 1 an answer without the marker, 2 the answer begins with the marker.
  uint8_t PromoState = 0;
  std::string answer;  // at most maxBytes
};

// GET of the address's path, HTTP/1.0, user agent "Torv", "Accept: text/*",
// "Content-Type: application/x-www-form-urlencoded", "Pragma: no-cache" (no cached copy), no
// body, no redirects, plain HTTP only. Any failure gives PromoState 0; nothing is reported.
// A set `stop` ends the exchange early (within about a second), with PromoState 0.
PromoResult FetchPromo(const std::string& address, const PromoLimits& limits = {},
                       const StopFlag* stop = nullptr);

// True when `answer` begins with the marker (exactly, in lower case, nothing before it).
bool BeginsWithMarker(std::string_view answer);

// How a platform's transfer ended, as far as the answer is concerned.
struct PromoTransfer {
  bool complete = false;  // the exchange ran to its end without an error
  long status = 0;        // the HTTP status; 0 when no status line came back
  bool cut = false;       // stopped at maxBytes
};

// The result of a transfer that read `answer`, for each platform's FetchPromo: an answer was
// read when the server answered at all (a status line came back), and one cut short (at
// maxBytes, or by a time-out in the body) counts with what arrived. No answer: PromoState 0 and
// the bytes dropped.
PromoResult PromoAnswer(std::string answer, const PromoTransfer& transfer);

// Where an opening's promo answer goes: the About panel, on the owner thread.
class PromoPage {
 public:
  virtual ~PromoPage() = default;
  // The answer began with the marker: the pane shows it as the promo page.
  virtual void ShowPromoPage(const std::string& answer) = 0;
};

// The About panel's promo fetch, off the window's thread: each opening starts one, and its answer
// is taken only while that opening lasts. A fetch still running when the panel closes (or opens
// again) is told to stop and its answer is dropped, so a slow endpoint never holds up the window
// and a late answer never changes a closed panel. Owner thread only; answers come through the
// owner's TaskQueue.
class PromoFetcher {
 public:
  PromoFetcher(TaskQueue& owner, PromoPage& page) : page_(page), worker_(owner) {}

  // An opening: PromoState is 0 until its answer comes.
  void Start(const std::string& address, const PromoLimits& limits);
  // The panel closed: the running fetch, if any, is abandoned.
  void Abandon();
  uint8_t PromoState() const { return promoState_; }
  // This opening's fetch has not answered yet.
  bool Fetching() const { return fetching_; }
  // Waits for every fetch started so far and takes the answer now (tests, benchmarks).
  void Finish() { worker_.Finish(); }

 private:
  PromoPage& page_;
  uint64_t opening_ = 0;  // counts openings; the answer of an earlier one is dropped
  uint64_t job_ = 0;
  bool fetching_ = false;
  uint8_t promoState_ = 0;
  BackgroundWorker worker_;  // last: its thread ends before the rest goes
};

}  // namespace quarlex
