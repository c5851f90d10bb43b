#include "app/session_events.hpp"

#include "narration/hook_narration.hpp"
#include "narration/permission_description.hpp"
#include "narration/tier_classifier.hpp"
#include "narration/tool_outcome.hpp"

namespace parley::app {

using Event = protocol::HookPayload::Event;

protocol::PermissionRequest SessionEvents::describe(
    const terminal::PermissionTracker::Sighting& seen) {
  narration::PermissionFacts facts;
  facts.sessionID = seen.session.sessionID;
  if (seen.toolName) {
    facts.toolName = *seen.toolName;
    facts.toolInput = seen.toolInput;
  } else {
    auto call = narration::toolCallFromDialog(seen.dialog.header, seen.dialog.detail,
                                              seen.dialog.description);
    facts.toolName = std::move(call.toolName);
    facts.toolInput = std::move(call.toolInput);
  }
  facts.options = seen.dialog.options;
  facts.tier =
      narration::TierClassifier(seen.session.cwd).classify(facts.toolName, facts.toolInput);
  protocol::PermissionRequest request = narration::describePermission(facts);
  request.requestID = narration::freshUUID();
  return request;
}

std::optional<std::string> SessionEvents::logLine(const protocol::ServerMessage& message) {
  if (const auto* r = std::get_if<protocol::PermissionRequest>(&message))
    return "permission request sent to the phone: " + r->toolName + " (" +
           std::string(protocol::EnumNames<protocol::RiskTier>::names[static_cast<int>(r->tier)]) +
           ")";
  if (const auto* r = std::get_if<protocol::PermissionResolved>(&message))
    return "permission request closed (" +
           std::string(
               protocol::EnumNames<protocol::PermissionResolved::By>::names[static_cast<int>(
                   r->by)]) +
           ")";
  if (const auto* i = std::get_if<protocol::Interrupted>(&message))
    return "turn interrupted (" + i->detectedVia + ")";
  return std::nullopt;
}

void SessionEvents::onHook(const protocol::HookPayload& p,
                           const std::optional<terminal::RegisteredSession>& session) {
  if (!p.sessionID)
    return;
  const std::string& id = *p.sessionID;
  if (parts_.permissions)
    parts_.permissions->hookSeen(p);
  if (parts_.questions)
    parts_.questions->hookSeen(p);

  switch (p.hookEventName) {
    case Event::userPromptSubmit: {
      const std::string prompt = p.prompt.value_or("");
      const bool fromPhone =
          parts_.injected &&
          (parts_.injected->take(id, prompt) ||
           (p.tmuxPane &&
            parts_.injected->take(terminal::InjectedPrompts::paneKey(*p.tmuxPane), prompt)));
      parts_.publish(protocol::TurnStarted{.sessionID = id,
                                           .promptID = p.promptID,
                                           .prompt = prompt,
                                           .origin = fromPhone
                                                         ? protocol::TurnStarted::Origin::phone
                                                         : protocol::TurnStarted::Origin::desk});
      break;
    }
    case Event::preToolUse:
      if (p.toolName)
        lastTool_[id] = *p.toolName;
      if (p.toolUseID) {
        if (toolStarts_.size() >= kMaxRunningTools)
          toolStarts_.clear();  // starts whose ends never came
        toolStarts_[*p.toolUseID] = std::chrono::steady_clock::now();
      }
      break;
    case Event::postToolUse:
    case Event::postToolUseFailure:
      toolFinished(p);
      break;
    case Event::sessionEnd:
      lastTool_.erase(id);
      break;
    default:
      break;
  }

  if (p.isPermissionPrompt() && parts_.permissions && session && session->mayInject()) {
    const std::string tool = p.toolName ? *p.toolName : lastTool_[id];
    if (tool == narration::kQuestionToolName)
      return;
    parts_.permissions->requested(session->descriptor, p.toolName, p.toolInput);
  }
}

void SessionEvents::toolFinished(const protocol::HookPayload& p) {
  const narration::ToolOutcome outcome = narration::toolOutcome(p);
  protocol::ToolFinished finished{.sessionID = *p.sessionID,
                                  .toolUseID = p.toolUseID.value_or(""),
                                  .ok = outcome.ok,
                                  .summary = outcome.summary,
                                  .truncated = outcome.truncated};
  if (outcome.truncated && parts_.details)
    finished.detailRef = parts_.details->put(outcome.fullText);
  if (p.toolUseID) {
    if (const auto it = toolStarts_.find(*p.toolUseID); it != toolStarts_.end()) {
      finished.durationMS = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - it->second)
                                .count();
      toolStarts_.erase(it);
    }
  }
  if (!finished.durationMS && p.durationMS)
    finished.durationMS = p.durationMS;
  parts_.publish(std::move(finished));
}

}  // namespace parley::app
