#include "cli/sessions_command.hpp"

#include <boost/json.hpp>
#include <chrono>
#include <ostream>

#include "base/paths.hpp"
#include "claude/transcript_usage.hpp"
#include "terminal/session_table.hpp"

namespace parley::cli {

namespace json = boost::json;

int sessionsCommand(bool asJson, std::ostream& out, std::ostream& err) {
  try {
    terminal::SessionTable table(terminal::SessionSources::forHome(base::homeDirectory()));
    std::vector<protocol::SessionDescriptor> sessions;
    for (auto& s : table.sweep(std::chrono::system_clock::now()))
      sessions.push_back(std::move(s.descriptor));
    claude::ModelPrices prices;
    try {
      prices = claude::ModelPrices::withFile(claude::ModelPrices::defaultFile());
    } catch (const std::exception& e) {
      err << "parley sessions: " << e.what() << " (estimating with the built-in prices)\n";
    }
    claude::TranscriptUsage(std::move(prices)).annotate(sessions);
    if (asJson) {
      json::array list;
      for (const auto& d : sessions)
        list.push_back(d.toJson());
      out << json::serialize(list) << '\n';
      return 0;
    }
    if (sessions.empty()) {
      out << "No Claude Code sessions found in tmux.\n";
      return 0;
    }
    for (const auto& d : sessions) {
      out << d.shortName() << "  " << protocol::rawValue(d.state) << "  "
          << protocol::rawValue(d.permissionMode) << "  pane " << d.paneID << " on " << d.socketPath
          << "  Claude Code " << d.claudeVersion.value_or("?")
          << (d.announceOnly ? "  (announce-only)" : "") << "\n  " << d.sessionID << "  " << d.cwd
          << '\n';
      if (d.usage)
        out << "  " << d.usage->summary << '\n';
    }
    return 0;
  } catch (const std::exception& e) {
    err << "parley sessions: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace parley::cli
