#include "link/push_subscription.hpp"

#include <boost/json.hpp>
#include <boost/url/parse.hpp>

#include "link/push_crypto.hpp"

namespace parley::link {

namespace {

// Endpoints are short in practice; this bounds what one phone may make us
// store and send to.
constexpr std::size_t kMaxEndpoint = 2048;

bool isLoopbackHost(const boost::urls::url_view& url) {
  using boost::urls::host_type;
  if (url.host_type() == host_type::ipv4)
    return url.host_ipv4_address().to_bytes()[0] == 127;
  if (url.host_type() == host_type::ipv6)
    return url.host_ipv6_address().is_loopback();
  return url.host() == "localhost";
}

void checkEndpoint(std::string_view endpoint, bool allowLoopbackHttp) {
  if (endpoint.size() > kMaxEndpoint)
    throw PushSubscriptionError("push endpoint is longer than " + std::to_string(kMaxEndpoint) +
                                " characters");
  const auto url = boost::urls::parse_absolute_uri(endpoint);
  if (!url || !url->has_authority() || url->host().empty())
    throw PushSubscriptionError("push endpoint is not an absolute URL");
  if (url->has_userinfo() || url->has_fragment())
    throw PushSubscriptionError("push endpoint must not carry credentials or a fragment");
  if (url->scheme() == "https")
    return;
  if (allowLoopbackHttp && url->scheme() == "http" && isLoopbackHost(*url))
    return;
  throw PushSubscriptionError("push endpoint must be an https:// URL");
}

std::string decodeKey(std::string_view name, std::string_view text, std::size_t size) {
  const std::optional<std::string> raw = base64UrlDecode(text);
  if (!raw)
    throw PushSubscriptionError("push key " + std::string(name) + " is not URL-safe Base64");
  if (raw->size() != size)
    throw PushSubscriptionError("push key " + std::string(name) + " decodes to " +
                                std::to_string(raw->size()) + " bytes, not " +
                                std::to_string(size));
  return *raw;
}

}  // namespace

PushSubscription PushSubscription::parse(std::string_view endpoint, std::string_view p256dh,
                                         std::string_view auth, bool allowLoopbackHttp) {
  checkEndpoint(endpoint, allowLoopbackHttp);
  const std::string point = decodeKey("p256dh", p256dh, 65);
  if (!isP256PublicKey(point))
    throw PushSubscriptionError("push key p256dh is not a point on P-256");
  const std::string secret = decodeKey("auth", auth, 16);
  // Stored in one spelling (no padding) whatever the browser sent.
  return PushSubscription{std::string(endpoint), base64UrlEncode(point), base64UrlEncode(secret)};
}

std::string PushSubscription::publicKeyBytes() const {
  return base64UrlDecode(p256dh).value_or(std::string());
}

std::string PushSubscription::authBytes() const {
  return base64UrlDecode(auth).value_or(std::string());
}

boost::json::value PushSubscription::toJson() const {
  return boost::json::object{{"endpoint", endpoint}, {"p256dh", p256dh}, {"auth", auth}};
}

std::optional<PushSubscription> PushSubscription::fromJson(const boost::json::value& value) {
  const auto* object = value.if_object();
  if (object == nullptr)
    return std::nullopt;
  auto field = [&](std::string_view key) -> std::string_view {
    const boost::json::value* v = object->if_contains(key);
    return v != nullptr && v->is_string() ? std::string_view(v->get_string()) : std::string_view();
  };
  try {
    return parse(field("endpoint"), field("p256dh"), field("auth"), true);
  } catch (const PushSubscriptionError&) {
    return std::nullopt;
  }
}

}  // namespace parley::link
