#include "app/hook_pipeline.hpp"

#include <boost/asio/bind_executor.hpp>

#include "narration/hook_narration.hpp"
#include "text/unicode.hpp"

namespace parley::app {

namespace asio = boost::asio;
using protocol::HookPayload;
using Event = protocol::HookPayload::Event;

namespace {
// A session that started after the last refresh has no version yet, and so
// could not be driven until the next periodic refresh: a hook refreshes at
// once instead, at most this often.
constexpr std::chrono::seconds kRefreshSpacing{2};
constexpr int kListsInFlight = 16;
}  // namespace

HookPipeline::HookPipeline(asio::io_context& main,
                           std::shared_ptr<terminal::SessionRegistry> registry,
                           std::filesystem::path home, Outlets outlets)
    : main_(main),
      registry_(std::move(registry)),
      home_(std::move(home)),
      out_(std::move(outlets)) {}

void HookPipeline::handle(HookPayload payload, std::shared_ptr<const void> receipt) {
  auto refreshFirst = [last = lastRefresh_](const terminal::RegisteredSession& session) {
    const auto now = std::chrono::steady_clock::now();
    if (session.descriptor.claudeVersion || now - *last < kRefreshSpacing)
      return false;
    *last = now;
    return true;
  };
  const bool listed = listsInFlight_.fetch_add(1) < kListsInFlight;
  if (!listed)
    listsInFlight_.fetch_sub(1);
  registry_->applyHook(
      payload, refreshFirst, listed,
      asio::bind_executor(main_,
                          [weak = weak_from_this(), payload, listed, receipt = std::move(receipt)](
                              terminal::SessionRegistry::HookApplied applied) mutable {
                            if (auto self = weak.lock())
                              self->finish(payload, std::move(applied), listed);
                            receipt.reset();
                          }));
}

void HookPipeline::turnInterrupted(std::string sessionID) {
  HookPayload stop(Event::stop);
  stop.sessionID = std::move(sessionID);
  handle(std::move(stop));
}

void HookPipeline::finish(const HookPayload& payload,
                          terminal::SessionRegistry::HookApplied applied, bool listed) {
  if (out_.activity)
    out_.activity();
  if (listed)
    listsInFlight_.fetch_sub(1);
  // Every event that names a session sends the phone the whole list,
  // changed or not.
  if (applied.all)
    publishList(std::move(*applied.all));
  else if (applied.session)
    listOwed_ = true;
  logAndNarrate(payload);
  if (out_.followed)
    out_.followed(payload, applied.session);
  payOwedList();
}

void HookPipeline::payOwedList() {
  if (!listOwed_ || listsInFlight_.load() != 0)
    return;
  listOwed_ = false;
  listsInFlight_.fetch_add(1);
  registry_->all(asio::bind_executor(
      main_, [weak = weak_from_this()](terminal::SessionRegistry::Sessions all) {
        if (auto self = weak.lock()) {
          self->listsInFlight_.fetch_sub(1);
          self->publishList(std::move(all));
          self->payOwedList();
        }
      }));
}

void HookPipeline::publishList(terminal::SessionRegistry::Sessions all) {
  protocol::SessionUpdate update;
  for (auto& s : all)
    update.sessions.push_back(std::move(s.descriptor));
  out_.publish(std::move(update));
}

std::string HookPipeline::tildePath(const std::string& path) const {
  const std::string home = home_.string();
  if (!home.empty() && home != "/" &&
      (path == home || (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
                        path[home.size()] == '/'))) {
    // Appended: GCC 12 misreads `"~" + substr(...)` as an overlapping copy at -O3.
    std::string shown = "~";
    shown += std::string_view(path).substr(home.size());
    return shown;
  }
  return path;
}

void HookPipeline::logAndNarrate(const HookPayload& payload) {
  const std::string tool = payload.toolName.value_or("tool");
  auto narrate = [&] {
    narration::HookNarration n = narration::narrateHook(payload, speechProjector_);
    if (n.questionLog)
      out_.log(LogEntry::Kind::claude, *n.questionLog);
    for (auto& message : n.messages)
      out_.publish(std::move(message));
    return n;
  };

  switch (payload.hookEventName) {
    case Event::sessionStart:
      out_.log(LogEntry::Kind::cmd,
               "session started in " + (payload.cwd ? tildePath(*payload.cwd) : std::string("?")));
      break;
    case Event::sessionEnd:
      out_.log(LogEntry::Kind::cmd, "session ended (" + payload.reason.value_or("?") + ")");
      break;
    case Event::userPromptSubmit:
      out_.log(LogEntry::Kind::you, payload.prompt
                                        ? std::string(text::characterPrefix(*payload.prompt, 160))
                                        : "(prompt)");
      break;
    case Event::preToolUse:
      if (payload.toolName)
        out_.log(LogEntry::Kind::cmd, "\u2192 " + *payload.toolName);
      narrate();
      break;
    case Event::postToolUseFailure:
      out_.log(LogEntry::Kind::error, tool + " failed");
      break;
    case Event::stop: {
      permissionPending_ = false;
      out_.changed();
      if (payload.lastAssistantMessage && !payload.lastAssistantMessage->empty()) {
        out_.log(LogEntry::Kind::claude,
                 std::string(text::characterPrefix(*payload.lastAssistantMessage, 200)));
        const narration::HookNarration n = narrate();
        if (n.answer && payload.sessionID && out_.answer)
          out_.answer(n.answer->narration, *payload.sessionID);
      }
      break;
    }
    default:
      break;
  }

  if (payload.isPermissionPrompt()) {
    permissionPending_ = true;
    out_.log(LogEntry::Kind::error, "permission needed: " + tool);
  }
}

}  // namespace parley::app
