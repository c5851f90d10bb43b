#include "desktop/desktop_notifier.hpp"

#include <systemd/sd-bus.h>

#include <cstring>

namespace parley::desktop {

std::string DesktopNotifier::notify(const std::string& summary, const std::string& body) {
  sd_bus* bus = nullptr;
  if (const int r = sd_bus_open_user(&bus); r < 0)
    return std::string("no session bus: ") + std::strerror(-r);
  sd_bus_set_method_call_timeout(bus, 2'000'000);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  // Notify(app_name, replaces_id, icon, summary, body, actions, hints,
  // expire_timeout)
  const int r =
      sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i",
                         "Parley", 0u, "dialog-question", summary.c_str(), body.c_str(), 0, 0, -1);
  std::string problem;
  if (r < 0)
    problem = error.message != nullptr ? error.message : std::strerror(-r);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return problem;
}

}  // namespace parley::desktop
