#include "panel/panel_view.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cmath>

#include "link/pairing_qr.hpp"
#include "link/vapid_subject.hpp"
#include "protocol/deny_lists.hpp"
#include "protocol/wire_coding.hpp"
#include "terminal/session_launcher.hpp"
#include "terminal/session_registry.hpp"

namespace parley::panel {

namespace json = boost::json;
using link::WebSocketServer;

namespace {

// The link's own words for its state.
json::object serverStatus(const WebSocketServer::Status& status) {
  const link::StatusText text = link::describe(status);
  return {{"line", text.line}, {"help", text.help ? json::value(*text.help) : nullptr}};
}

json::value optional(const std::optional<std::string>& value) {
  return value ? json::value(*value) : json::value(nullptr);
}

json::array sessions(const PanelFacts& facts) {
  json::array list;
  for (const protocol::SessionDescriptor& d : facts.state.sessions) {
    list.push_back(json::object{
        {"id", d.sessionID},
        {"name", d.displayName.value_or(d.shortName())},
        {"cwd", d.cwd},
        {"state", protocol::rawValue(d.state)},
        {"mode", protocol::rawValue(d.permissionMode)},
        // The registry's reason, shown as it stands.
        {"announceOnly", d.announceOnly ? json::value(*d.announceOnly) : json::value(nullptr)},
        {"usage", d.usage ? json::value(d.usage->summary) : json::value(nullptr)},
        {"detached", facts.state.detached.contains(d.sessionID)},
        {"fromPhone", facts.state.fromPhone.contains(d.sessionID)},
        {"changesSeen",
         [&] {
           const auto seen = facts.state.changesSeen.find(d.sessionID);
           return seen == facts.state.changesSeen.end() ? 0 : seen->second;
         }()},
        // How the desk reaches it.
        {"attach", d.tmuxSession.empty() ? json::value(nullptr)
                                         : json::value(terminal::SessionLauncher::attachCommand(
                                               d.socketPath, d.tmuxSession))},
        {"active", facts.activeSession == d.sessionID},
    });
  }
  return list;
}

json::value pairing(const app::AppState& state) {
  if (!state.pairingOffer)
    return nullptr;
  const link::PairingPayload& offer = *state.pairingOffer;
  json::object o{{"host", offer.host}, {"port", offer.port}, {"deviceName", offer.deviceName}};
  try {
    o["svg"] = link::PairingQR::image(offer).svg();
  } catch (const std::exception&) {
    o["svg"] = nullptr;
  }
  return o;
}

json::array devices(const app::AppState& state) {
  json::array list;
  for (const link::PairedDevice& d : state.pairedDevices) {
    const bool connected = state.connectedDevice && state.connectedDevice->deviceID == d.deviceID;
    list.push_back(json::object{
        {"id", d.deviceID},
        {"name", d.deviceName},
        {"connected", connected},
        {"lastSeen", d.lastSeen ? json::value(protocol::formatDate(*d.lastSeen)) : nullptr},
    });
  }
  return list;
}

json::array log(const PanelFacts& facts) {
  json::array list;
  if (facts.log)
    for (const app::LogEntry& entry : *facts.log)
      list.push_back(
          json::object{{"id", entry.id},
                       {"line", app::formatLogLine(entry)},
                       {"kind", entry.kind == app::LogEntry::Kind::error ? "error" : "info"}});
  return list;
}

json::value checklist(const PanelFacts& facts) {
  if (!facts.checklist)
    return nullptr;
  const SetupChecklist& c = *facts.checklist;
  return json::object{{"tmux", c.tmuxFound},
                      {"claude", c.claudeFound},
                      {"tailscaleAccount", optional(c.tailscaleAccount)},
                      {"tailscaleInstalled", c.tailscaleInstalled},
                      {"hooks", facts.state.hookInstalled}};
}

json::object notifications(const PanelFacts& facts) {
  json::object o = facts.notifications.toJson();
  o["whereabouts"] = facts.whereabouts;
  o["subjectInUse"] = facts.pushSubject;
  // Apple's push service refuses the fallback: the page says so.
  o["subjectProblem"] = optional(link::vapidSubjectProblem(facts.pushSubject));
  return o;
}

json::value number(const std::optional<double>& n) {
  return n ? json::value(*n) : json::value(nullptr);
}

json::object prices(const PanelFacts& facts) {
  json::array models;
  const claude::ModelPrices builtIn;
  if (facts.prices)
    for (const auto& [name, p] : facts.prices->entries()) {
      const auto list = builtIn.entries().find(name);
      models.push_back(json::object{
          {"model", name},
          {"input", number(p.input)},
          {"output", number(p.output)},
          {"cacheWrite", number(p.cacheWrite)},
          {"cacheRead", number(p.cacheRead)},
          {"contextWindow", p.contextWindow ? json::value(*p.contextWindow) : nullptr},
          // Where the row comes from: the list price, the person's change
          // of it, or the person's own model.
          {"source", list == builtIn.entries().end() ? "own"
                     : list->second == p             ? "builtIn"
                                                     : "changed"},
      });
    }
  return {{"models", std::move(models)},
          {"file", facts.pricesFile},
          {"problem", optional(facts.pricesProblem)}};
}

template <std::size_t N>
json::array strings(const std::array<std::string_view, N>& values) {
  json::array list;
  for (std::string_view v : values)
    list.emplace_back(v);
  return list;
}

}  // namespace

PanelGlyph PanelView::glyph(const PanelFacts& facts) {
  switch (facts.state.glyph()) {
    case app::GlyphState::error:
      return PanelGlyph::error;
    case app::GlyphState::unpaired:
      return PanelGlyph::unpaired;
    case app::GlyphState::permissionPending:
      return PanelGlyph::permissionPending;
    case app::GlyphState::idle:
      break;
  }
  if (facts.voiceRunning && facts.voice.speaking)
    return PanelGlyph::speaking;
  if (facts.voiceRunning && facts.voice.listening)
    return PanelGlyph::listening;
  return PanelGlyph::idle;
}

std::string_view PanelView::glyphDescription(PanelGlyph glyph) {
  switch (glyph) {
    case PanelGlyph::unpaired:
      return "Parley \u2014 no device paired";
    case PanelGlyph::idle:
      return "Parley \u2014 idle";
    case PanelGlyph::listening:
      return "Parley \u2014 listening";
    case PanelGlyph::speaking:
      return "Parley \u2014 speaking";
    case PanelGlyph::permissionPending:
      return "Parley \u2014 permission needed";
    case PanelGlyph::error:
      return "Parley \u2014 error";
  }
  return "Parley";
}

std::string PanelView::render(const PanelFacts& facts) {
  static constexpr std::array<std::string_view, 6> kGlyphNames{
      "unpaired", "idle", "listening", "speaking", "permissionPending", "error"};
  const app::AppState& s = facts.state;
  const PanelGlyph g = glyph(facts);
  // The halo's state follows the voice session: running and listening,
  // speaking, or neither (thinking).
  const char* halo = !facts.voiceRunning     ? "idle"
                     : facts.voice.listening ? "listening"
                     : facts.voice.speaking  ? "speaking"
                                             : "thinking";
  json::value device = nullptr;
  if (s.connectedDevice) {
    json::object d{{"name", s.connectedDevice->deviceName}};
    if (s.latency)
      d["latencyMs"] = static_cast<std::int64_t>(std::lround(*s.latency * 1000));
    device = std::move(d);
  }
  return json::serialize(json::object{
      {"glyph", kGlyphNames[static_cast<std::size_t>(g)]},
      {"title", glyphDescription(g)},
      {"server", serverStatus(s.serverStatus)},
      {"device", std::move(device)},
      {"sleepHeld", s.sleepAssertionHeld},
      {"sessions", sessions(facts)},
      {"activeSession", optional(facts.activeSession)},
      {"voice", json::object{{"running", facts.voiceRunning},
                             {"halo", halo},
                             {"level", facts.voiceRunning ? facts.voice.level : 0.0f},
                             {"transcript", facts.voice.transcript},
                             {"error", optional(facts.voice.lastError)}}},
      {"tailscaleHost", optional(s.tailscaleHost)},
      {"pairing", pairing(s)},
      {"devices", devices(s)},
      {"hooks", json::object{{"installed", s.hookInstalled},
                             {"relayInstalled", s.relayInstalled},
                             {"relayPath", facts.relayPath},
                             {"events", facts.registeredEvents},
                             {"lastBackup", optional(s.lastBackupPath)}}},
      {"deny", json::object{{"commands", strings(protocol::DenyPatterns::patterns)},
                            {"paths", strings(protocol::DenyPaths::paths)}}},
      {"setup", json::object{{"completed", facts.hasCompletedSetup}, {"checks", checklist(facts)}}},
      {"notifications", notifications(facts)},
      {"phoneMayGrantModes", facts.phoneMayGrantModes},
      {"prices", prices(facts)},
      {"log", log(facts)},
  });
}

}  // namespace parley::panel
