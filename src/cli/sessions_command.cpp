#include "cli/sessions_command.hpp"

#include <boost/json.hpp>
#include <chrono>
#include <ostream>

#include "base/paths.hpp"
#include "terminal/session_table.hpp"

namespace parley::cli {

namespace json = boost::json;

int sessionsCommand(bool asJson, std::ostream& out, std::ostream& err) {
  try {
    terminal::SessionTable table(terminal::SessionSources::forHome(base::homeDirectory()));
    const auto sessions = table.sweep(std::chrono::system_clock::now());
    if (asJson) {
      json::array list;
      for (const auto& s : sessions)
        list.push_back(s.descriptor.toJson());
      out << json::serialize(list) << '\n';
      return 0;
    }
    if (sessions.empty()) {
      out << "No Claude Code sessions found in tmux.\n";
      return 0;
    }
    for (const auto& s : sessions) {
      const auto& d = s.descriptor;
      out << d.shortName() << "  " << protocol::rawValue(d.state) << "  "
          << protocol::rawValue(d.permissionMode) << "  pane " << d.paneID << " on " << d.socketPath
          << "  Claude Code " << d.claudeVersion.value_or("?")
          << (s.announceOnly() ? "  (announce-only)" : "") << "\n  " << d.sessionID << "  " << d.cwd
          << '\n';
    }
    return 0;
  } catch (const std::exception& e) {
    err << "parley sessions: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace parley::cli
