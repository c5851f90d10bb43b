#pragma once

// What the control panel shows, as one JSON document: the application's
// state with what only the panel keeps (the setup checklist) and the
// desktop voice's display. The page turns it into words.

#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "app/activity_log.hpp"
#include "app/app_state.hpp"
#include "app/notification_settings.hpp"
#include "claude/model_prices.hpp"
#include "desktop/desktop_voice.hpp"
#include "panel/setup_checklist.hpp"

namespace parley::panel {

// The glyph's six states: the model's four, with desktop voice listening and
// speaking between a pending permission and idle.
enum class PanelGlyph { unpaired, idle, listening, speaking, permissionPending, error };

struct PanelFacts {
  app::AppState state;
  const std::deque<app::LogEntry>* log = nullptr;
  bool voiceRunning = false;
  desktop::DesktopVoice::Display voice;
  std::optional<std::string> activeSession;
  std::optional<SetupChecklist> checklist;
  bool hasCompletedSetup = false;
  std::string relayPath;
  std::size_t registeredEvents = 0;
  app::NotificationSettings notifications;
  bool phoneMayGrantModes = false;
  // Where the alerts think the person is, in words.
  std::string whereabouts;
  // The VAPID subject push services are told now.
  std::string pushSubject;
  // The prices the estimates use, the file the person's own are kept in,
  // and why that file was not used, if it was not.
  const claude::ModelPrices* prices = nullptr;
  std::string pricesFile;
  std::optional<std::string> pricesProblem;
};

class PanelView {
 public:
  static PanelGlyph glyph(const PanelFacts& facts);
  // "Parley — permission needed" and the others, the tab's title.
  static std::string_view glyphDescription(PanelGlyph glyph);
  static std::string render(const PanelFacts& facts);
};

}  // namespace parley::panel
