#pragma once

// The hook events the soak runs send, made from a captured Claude Code
// 2.1.222 line, and how each run prints its figures.

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "bench_tools.hpp"
#include "soak_bridge.hpp"

namespace parley::soak {

namespace json = boost::json;
using Seconds = std::chrono::duration<double>;

class Events {
 public:
  Events() : preToolUse_(bench::capturedPreToolUse()) {}

  // A PreToolUse naming tool use `id`; `direct` adds the keys the relay
  // would add, for lines written straight to the hook socket.
  std::string preToolUse(const std::string& id, bool direct,
                         const std::string& session = {}) const {
    json::object o = preToolUse_;
    o["tool_use_id"] = id;
    o["tool_input"] = json::object{{"command", "echo " + id}};
    if (!session.empty())
      o["session_id"] = session;
    return finish(std::move(o), direct);
  }

  std::string stop(const std::string& session, std::string message) const {
    json::object o = preToolUse_;
    o.erase("tool_name");
    o.erase("tool_input");
    o.erase("tool_use_id");
    o["hook_event_name"] = "Stop";
    o["session_id"] = session;
    o["stop_hook_active"] = false;
    o["last_assistant_message"] = std::move(message);
    return finish(std::move(o), true);
  }

 private:
  static std::string finish(json::object o, bool direct) {
    if (direct) {
      o["tmux_pane"] = "%7";
      o["tmux_env"] = "/tmp/tmux-soak/default,4242,0";
    }
    std::string line = json::serialize(o);
    line += '\n';
    return line;
  }

  json::object preToolUse_;
};

inline void report(const char* format, auto... args) {
  char buffer[2048];
  std::snprintf(buffer, sizeof buffer, format, args...);
  std::cout << buffer << std::endl;
}

inline double mib(long kib) {
  return static_cast<double>(kib) / 1024.0;
}

// 3. Phone reconnects with the last seq each saw under a steady hook load,
// away for every length of time, aborting and displaced; false when a seq
// went missing unexplained, came twice or out of order.
bool reconnects(Bridge& bridge, const Events& events, int count, Seconds budget);
// 4. A phone pinging while bare TCP connects keep arriving at the port.
void bareConnects(Bridge& bridge, Seconds duration);
// 5. Saving devices.json and settings.json under a file-size limit and into
// a read-only directory.
void savingFiles(Bridge& bridge);

}  // namespace parley::soak
