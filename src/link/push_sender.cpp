#include "link/push_sender.hpp"

#include <curl/curl.h>

#include <charconv>
#include <memory>
#include <string_view>
#include <vector>

namespace parley::link {

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

const char* urgencyName(PushRequest::Urgency urgency) {
  switch (urgency) {
    case PushRequest::Urgency::low:
      return "low";
    case PushRequest::Urgency::high:
      return "high";
    case PushRequest::Urgency::normal:
      break;
  }
  return "normal";
}

std::optional<std::chrono::seconds> retryAfter(CURL* easy) {
  curl_header* header = nullptr;
  if (curl_easy_header(easy, "Retry-After", 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
    return std::nullopt;
  // Only the delay-seconds form; a date is rare from push services and
  // the caller's own backoff covers it.
  const std::string_view value = header->value;
  long seconds = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (ec != std::errc() || end != value.data() + value.size() || seconds < 0)
    return std::nullopt;
  return std::chrono::seconds(seconds);
}

}  // namespace

PushReply PushSender::send(const PushRequest& request) const {
  static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(initialized ? curl_easy_init() : nullptr,
                                                           &curl_easy_cleanup);
  if (!easy)
    throw PushTransportError("HTTP client could not start");
  const std::vector<std::string> lines{
      "Content-Type: application/octet-stream",
      "Content-Encoding: aes128gcm",
      "TTL: " + std::to_string(request.ttl.count()),
      std::string("Urgency: ") + urgencyName(request.urgency),
      "Authorization: " + request.authorization,
  };
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr,
                                                                      &curl_slist_free_all);
  for (const std::string& line : lines)
    headers.reset(curl_slist_append(headers.release(), line.c_str()));
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, request.endpoint.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // The endpoint came from a phone: no redirects, no other protocols.
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
  const CURLcode code = curl_easy_perform(e);
  if (code != CURLE_OK)
    throw PushTransportError(curl_easy_strerror(code));
  PushReply reply;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.retryAfter = retryAfter(e);
  return reply;
}

}  // namespace parley::link
