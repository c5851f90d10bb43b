#pragma once

// A desktop notification through the freedesktop Notifications service on
// the session bus, for what needs the person at the computer (a permission
// question while no phone is connected).

#include <string>

namespace parley::desktop {

struct DesktopNotifier {
  // Blocking (one D-Bus call, at most two seconds): call it off the main
  // thread. Returns why it failed, or "" when the notification was shown; a
  // desktop without the service is not an error worth more than a line.
  static std::string notify(const std::string& summary, const std::string& body);
};

}  // namespace parley::desktop
