#pragma once

// Where alerts go and what they carry: the person's choices, kept as the
// "notifications" object of preferences.json and changed from the control
// panel.
//
//   "notifications": {
//     "push": "whenAway",            // or "always", "never"
//     "awayAfterSeconds": 60,        // idle this long (or locked) is away
//     "unansweredAfterSeconds": 30,  // a request left this long at the desk
//     "pingOnly": false,             // pushes carry no name and no text
//     "vapidSubject": ""             // "": https://<this desktop's Tailscale name>
//   }

#include <boost/json/value.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/preferences.hpp"

namespace parley::app {

struct NotificationSettings {
  enum class Push {
    // Only while the person is away from the desk, or has left a request
    // unanswered there (the default).
    whenAway,
    // Whenever the phone's page is closed, wherever the person is.
    always,
    // Never: the desktop's own notifications only.
    never,
  };
  static constexpr std::string_view kKey = "notifications";
  // Both times are whole seconds in this range.
  static constexpr std::chrono::seconds kShortest{1}, kLongest{3600};

  Push push = Push::whenAway;
  std::chrono::seconds awayAfter{60};
  std::chrono::seconds unansweredAfter{30};
  bool pingOnly = false;
  // The VAPID contact; empty for the desktop's own https:// address.
  std::string vapidSubject;

  // What the preferences hold; a value that is missing or unusable leaves
  // its default, and each unusable one is named in `problems`.
  static NotificationSettings load(const link::Preferences& preferences,
                                   std::vector<std::string>* problems = nullptr);
  // Settings as the control panel sends them (the same object as stored).
  // Throws std::invalid_argument saying which value is wrong and why.
  static NotificationSettings parse(const boost::json::value& value);
  boost::json::object toJson() const;
  // Throws base::FileError when the file cannot be written.
  void store(const link::Preferences& preferences) const;

  static std::string_view name(Push push);
  bool operator==(const NotificationSettings&) const = default;
};

}  // namespace parley::app
