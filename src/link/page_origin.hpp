#pragma once

// Which web pages may open the phone link. A phone may follow several
// desktops of one tailnet from the page one of them served, so a desktop
// admits its own page and the pages of its tailnet's other machines, and no
// one else's. This is a fence against foreign pages, not authentication: a
// phone is known by its device token alone.

#include <string>
#include <string_view>

namespace parley::link {

// "tail1234.ts.net" from this machine's MagicDNS name
// "desk.tail1234.ts.net"; empty when the name is not of that form.
std::string tailnetOf(std::string_view magicDNSName);

// Whether a WebSocket upgrade with this Origin header may proceed. No
// Origin (a program, not a browser) passes; so does the page's own origin
// (its authority is the request's Host) when that is a loopback or
// Tailscale name, where DNS rebinding cannot lead, and https://NAME.<tailnet> for one
// machine NAME of `tailnet` on the default port. Anything else, "null"
// included, is refused; with `tailnet` empty only the own origin passes.
bool pageOriginAllowed(std::string_view origin, std::string_view host, std::string_view tailnet);

}  // namespace parley::link
