#include "link/push_sender.hpp"

#include <curl/curl.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

namespace parley::link {

namespace {

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

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

struct PushSender::Shared {
  std::chrono::milliseconds timeout;
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::set<CURLM*> running;  // woken by stop()

  Easy start(const std::string& url) const {
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Easy easy(initialized ? curl_easy_init() : nullptr, &curl_easy_cleanup);
    if (!easy)
      throw PushTransportError("HTTP client could not start");
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // A lookup still running when we stop is left to finish on its own
    // instead of being waited for.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    // The endpoint came from a phone: no redirects, no other protocols.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    return easy;
  }

  // Runs the transfer until it ends or stop() is called.
  CURLcode perform(CURL* easy) {
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                                &curl_multi_cleanup);
    if (!multi)
      throw PushTransportError("HTTP client could not start");
    CURLM* m = multi.get();
    {
      const std::lock_guard lock(mutex);
      if (stopped)
        throw PushTransportError("stopped");
      running.insert(m);
    }
    curl_multi_add_handle(m, easy);
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (int active = 1; !stopped;) {
      if (curl_multi_perform(m, &active) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (active == 0) {
        int left = 0;
        const CURLMsg* message = curl_multi_info_read(m, &left);
        result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_FAILED_INIT;
        break;
      }
      curl_multi_poll(m, nullptr, 0, 1000, nullptr);
    }
    {
      // Out of the set before it is freed: stop() may be waking it.
      const std::lock_guard lock(mutex);
      running.erase(m);
    }
    curl_multi_remove_handle(m, easy);
    if (stopped)
      throw PushTransportError("stopped");
    return result;
  }
};

PushSender::PushSender(std::chrono::milliseconds timeout) : shared_(std::make_shared<Shared>()) {
  shared_->timeout = timeout;
}

void PushSender::stop() {
  const std::lock_guard lock(shared_->mutex);
  shared_->stopped = true;
  for (CURLM* multi : shared_->running)
    curl_multi_wakeup(multi);
}

PushReply PushSender::send(const PushRequest& request) const {
  Easy easy = shared_->start(request.endpoint);
  CURL* e = easy.get();
  const std::vector<std::string> lines{
      "Content-Type: application/octet-stream",
      "Content-Encoding: aes128gcm",
      "TTL: " + std::to_string(request.ttl.count()),
      std::string("Urgency: ") + urgencyName(request.urgency),
      "Authorization: " + request.authorization,
  };
  Headers headers(nullptr, &curl_slist_free_all);
  for (const std::string& line : lines)
    headers.reset(curl_slist_append(headers.release(), line.c_str()));
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
  const CURLcode code = shared_->perform(e);
  if (code != CURLE_OK)
    throw PushTransportError(curl_easy_strerror(code));
  PushReply reply;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.retryAfter = retryAfter(e);
  return reply;
}

}  // namespace parley::link
