#include "link/push_sender.hpp"

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <boost/url/parse.hpp>
#include <charconv>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "text/printable.hpp"

namespace parley::link {

namespace {

namespace ip = boost::asio::ip;

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using Headers = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// What kind of address it is when no push service can be there.
std::optional<std::string_view> localKind(const ip::address_v4& address) {
  const std::uint32_t a = address.to_uint();
  const auto in = [a](std::uint32_t network, int bits) {
    return (a >> (32 - bits)) == (network >> (32 - bits));
  };
  if (in(0x00000000, 8))
    return "unspecified";
  if (in(0x7f000000, 8))
    return "loopback";
  if (in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16))
    return "private";
  if (in(0xa9fe0000, 16))
    return "link-local";
  // Tailscale's own addresses are here too; push services never are.
  if (in(0x64400000, 10))
    return "carrier-grade NAT";
  if (in(0xe0000000, 4))
    return "multicast";
  if (in(0xf0000000, 4))
    return "reserved";
  return std::nullopt;
}

std::optional<std::string_view> localKind(const ip::address_v6& address) {
  const ip::address_v6::bytes_type b = address.to_bytes();
  const auto zeros = [&b](std::size_t n) {
    return std::all_of(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n),
                       [](unsigned char c) { return c == 0; });
  };
  if (address.is_loopback())
    return "loopback";
  if (address.is_unspecified())
    return "unspecified";
  // An IPv4 address inside IPv6 (mapped, the old compatible form, NAT64)
  // reaches that IPv4 address.
  const bool mapped = zeros(10) && b[10] == 0xff && b[11] == 0xff;
  const bool nat64 = b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b && [&] {
    return std::all_of(b.begin() + 4, b.begin() + 12, [](unsigned char c) { return c == 0; });
  }();
  if (mapped || zeros(12) || nat64)
    return localKind(ip::address_v4(ip::address_v4::bytes_type{b[12], b[13], b[14], b[15]}));
  if (address.is_multicast())
    return "multicast";
  if (address.is_link_local())
    return "link-local";
  if ((b[0] & 0xfe) == 0xfc || address.is_site_local())
    return "private";
  return std::nullopt;
}

std::optional<ip::address> addressOf(const curl_sockaddr& socket) {
  if (socket.family == AF_INET && socket.addrlen >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&socket.addr);
    return ip::address_v4(ntohl(in->sin_addr.s_addr));
  }
  if (socket.family == AF_INET6 && socket.addrlen >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&socket.addr);
    ip::address_v6::bytes_type bytes;
    std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr), bytes.begin());
    return ip::address_v6(bytes, in6->sin6_scope_id);
  }
  return std::nullopt;
}

// The host as the endpoint names it, for messages (never the path: it is the
// subscription's secret).
std::string hostOf(std::string_view endpoint) {
  const auto url = boost::urls::parse_absolute_uri(endpoint);
  return url ? text::shown(url->encoded_host()) : std::string("?");
}

// One connection attempt's view: the addresses curl is about to open a
// socket to, judged one by one.
struct Dial {
  std::string host;
  bool allowLoopback = false;
  // Only look: refuse every socket, so nothing is ever connected.
  bool probe = false;
  std::optional<std::string> refusal;  // the first address refused
  bool sawUsable = false;
};

curl_socket_t openSocket(void* data, curlsocktype purpose, curl_sockaddr* socket) {
  Dial& dial = *static_cast<Dial*>(data);
  if (purpose != CURLSOCKTYPE_IPCXN)
    return CURL_SOCKET_BAD;
  const std::optional<ip::address> address = addressOf(*socket);
  std::optional<std::string_view> kind;
  if (!address)
    kind = "non-IP";
  else
    kind = address->is_v4() ? localKind(address->to_v4()) : localKind(address->to_v6());
  if (kind && !(dial.allowLoopback && *kind == "loopback")) {
    if (!dial.refusal) {
      const std::string shown = address ? address->to_string() : std::string("?");
      dial.refusal = "push endpoint " +
                     (shown == dial.host || "[" + shown + "]" == dial.host
                          ? "address " + shown + " is"
                          : "host " + dial.host + " resolves to " + shown + ",") +
                     (kind->front() == 'u' ? " an " : " a ") + std::string(*kind) + " address";
    }
    return CURL_SOCKET_BAD;
  }
  dial.sawUsable = true;
  if (dial.probe)
    return CURL_SOCKET_BAD;
  return ::socket(socket->family, socket->socktype | SOCK_CLOEXEC, socket->protocol);
}

std::string unusable(CURLcode code) {
  return std::string("push endpoint cannot be used: ") + curl_easy_strerror(code);
}

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
  Options options;
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::set<CURLM*> running;  // woken by stop()

  Easy start(const std::string& url, Dial& dial) const {
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Easy easy(initialized ? curl_easy_init() : nullptr, &curl_easy_cleanup);
    if (!easy)
      throw PushTransportError("HTTP client could not start");
    CURL* e = easy.get();
    dial.host = hostOf(url);
    dial.allowLoopback = options.allowLoopback;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeout.count()));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // A lookup still running when we stop is left to finish on its own
    // instead of being waited for.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    // The endpoint came from a phone: no redirects, and plain http only to
    // a test's stand-in.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, options.allowLoopback ? "http,https" : "https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // Through a proxy the address checked would be the proxy's, not the
    // push service's.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &dial);
    return easy;
  }

  // Runs the transfer until it ends or stop() is called.
  CURLcode perform(CURL* easy, curl_slist* pinned) {
    curl_easy_setopt(easy, CURLOPT_RESOLVE, pinned);
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

  Headers pins() const {
    Headers list(nullptr, &curl_slist_free_all);
    for (const std::string& pin : options.pinnedAddresses)
      list.reset(curl_slist_append(list.release(), pin.c_str()));
    return list;
  }
};

PushSender::PushSender() : PushSender(Options()) {}

PushSender::PushSender(Options options) : shared_(std::make_shared<Shared>()) {
  shared_->options = std::move(options);
}

void PushSender::stop() {
  const std::lock_guard lock(shared_->mutex);
  shared_->stopped = true;
  for (CURLM* multi : shared_->running)
    curl_multi_wakeup(multi);
}

PushReply PushSender::send(const PushRequest& request) const {
  Dial dial;
  Easy easy = shared_->start(request.endpoint, dial);
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
  const Headers pinned = shared_->pins();
  const CURLcode code = shared_->perform(e, pinned.get());
  if (code != CURLE_OK) {
    // Refused addresses are the reason only when no other one was usable.
    if (dial.refusal && !dial.sawUsable)
      throw PushEndpointError(*dial.refusal);
    if (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT)
      throw PushEndpointError(unusable(code));
    throw PushTransportError(curl_easy_strerror(code));
  }
  PushReply reply;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.retryAfter = retryAfter(e);
  return reply;
}

std::optional<EndpointRefusal> PushSender::check(const std::string& endpoint) const {
  Dial dial;
  dial.probe = true;
  try {
    Easy easy = shared_->start(endpoint, dial);
    curl_easy_setopt(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    const Headers pinned = shared_->pins();
    const CURLcode code = shared_->perform(easy.get(), pinned.get());
    // Every address was offered a socket and refused one, so a name with
    // several answers has each of them judged.
    if (dial.refusal)
      return EndpointRefusal{*dial.refusal};
    if (dial.sawUsable)
      return std::nullopt;
    if (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT)
      return EndpointRefusal{unusable(code)};
    return EndpointRefusal{
        "push endpoint host " + dial.host + " could not be looked up: " + curl_easy_strerror(code),
        true};
  } catch (const PushTransportError& e) {
    return EndpointRefusal{std::string("push endpoint could not be checked: ") + e.what(), true};
  }
}

}  // namespace parley::link
