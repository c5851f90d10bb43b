#pragma once

// Who a Web Push token says sent it (its VAPID subject) and the origin it is
// signed for: plain text rules, apart from the keys and ciphers.

#include <optional>
#include <string>
#include <string_view>

namespace parley::link {

// The contact in a VAPID token. Apple's push service refuses a token whose
// subject is not an https: URL or a mailto: address at a real domain (403
// BadJwtToken); the others accept anything.
//
// What Parley signs with when nothing better is known: no Tailscale name and
// no subject set. Apple refuses it.
inline constexpr std::string_view kFallbackVapidSubject = "mailto:parley@localhost";
// https://HOST for the desktop's MagicDNS name (its trailing dot dropped),
// or the fallback when there is none.
std::string defaultVapidSubject(const std::optional<std::string>& magicDNSName);
// Why a push service would refuse `subject`, or nullopt when every one
// takes it.
std::optional<std::string> vapidSubjectProblem(std::string_view subject);

// scheme://host[:port] of a URL, the port left out when it is the scheme's
// default; empty when `url` is not an absolute http(s) URL.
std::string urlOrigin(std::string_view url);

}  // namespace parley::link
