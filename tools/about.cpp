#include "tools/about.h"

#include <cctype>
#include <utility>

#ifndef QUARLEX_PROMO_ADDRESS
#define QUARLEX_PROMO_ADDRESS "promo.quarlex.invalid"
#endif
#ifndef QUARLEX_CONTACT_ADDRESS
#define QUARLEX_CONTACT_ADDRESS "support@quarlex.invalid"
#endif

namespace quarlex {

const std::string& PromoAddress() {
  static const std::string a = QUARLEX_PROMO_ADDRESS;
  return a;
}

const std::string& ContactAddress() {
  static const std::string a = QUARLEX_CONTACT_ADDRESS;
  return a;
}

PromoTarget SplitPromoAddress(std::string_view address) {
  constexpr std::string_view scheme = "http://";
  if (address.substr(0, scheme.size()) == scheme) address.remove_prefix(scheme.size());
  const size_t slash = address.find('/');
  if (slash == std::string_view::npos) return {std::string(address), {}};
  return {std::string(address.substr(0, slash)), std::string(address.substr(slash + 1))};
}

bool IsReservedInvalidHost(std::string_view host) {
  if (const size_t colon = host.rfind(':');
      colon != std::string_view::npos && host.find(']') == std::string_view::npos)
    host = host.substr(0, colon);
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::string lower(host);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  constexpr std::string_view tld = ".invalid";
  return lower == "invalid" || (lower.size() > tld.size() && lower.ends_with(tld));
}

bool BeginsWithMarker(std::string_view answer) {
  return answer.substr(0, PromoMarker.size()) == PromoMarker;
}

PromoResult PromoAnswer(std::string answer, const PromoTransfer& transfer) {
  PromoResult result;
  const bool answered = transfer.complete || (transfer.status > 0 && (transfer.cut || !answer.empty()));
  if (!answered) return result;
  result.PromoState = BeginsWithMarker(answer) ? 2 : 1;
  result.answer = std::move(answer);
  return result;
}

void PromoFetcher::Start(const std::string& address, const PromoLimits& limits) {
  Abandon();
  const uint64_t opening = opening_;
  fetching_ = true;
  promoState_ = 0;
  job_ = worker_.Start([this, address, limits, opening](JobContext& job) -> Answer {
    PromoResult r = FetchPromo(address, limits, &job.Stop());
    return [this, opening, r = std::move(r)] {
      if (opening != opening_) return;  // the panel closed or opened again meanwhile
      fetching_ = false;
      promoState_ = r.PromoState;
      if (promoState_ == 2) page_.ShowPromoPage(r.answer);
    };
  });
}

void PromoFetcher::Abandon() {
  if (fetching_) worker_.Stop(job_);
  fetching_ = false;
  ++opening_;
}

}  // namespace quarlex
