#include "panel/panel_view.hpp"

#include <gtest/gtest.h>

namespace parley::panel {
namespace {

// The six states, first match wins: a failed server over everything, then
// no device, a pending permission, and desktop voice only while it runs.
TEST(PanelView, GlyphTakesTheFirstStateThatHolds) {
  const link::PairedDevice device{.deviceID = "D", .deviceName = "Pixel"};
  const auto facts = [&](link::WebSocketServer::Status server, bool paired, bool permission,
                         bool running, bool listening, bool speaking) {
    PanelFacts f;
    f.state.serverStatus = std::move(server);
    if (paired)
      f.state.pairedDevices = {device};
    f.state.permissionPending = permission;
    f.voiceRunning = running;
    f.voice.listening = listening;
    f.voice.speaking = speaking;
    return f;
  };
  using S = link::WebSocketServer;
  const struct {
    PanelFacts facts;
    const char* title;
  } cases[] = {
      {facts(S::Failed{"port taken"}, true, true, true, true, true), "Parley \u2014 error"},
      {facts(S::BindRefused{}, false, false, false, false, false), "Parley \u2014 error"},
      {facts(S::Listening{8787}, false, true, true, true, true), "Parley \u2014 no device paired"},
      {facts(S::Listening{8787}, true, true, true, true, true), "Parley \u2014 permission needed"},
      {facts(S::Listening{8787}, true, false, true, true, true), "Parley \u2014 speaking"},
      {facts(S::Listening{8787}, true, false, true, true, false), "Parley \u2014 listening"},
      // Flags left over from a stopped voice session do not count.
      {facts(S::Listening{8787}, true, false, false, true, true), "Parley \u2014 idle"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PanelView::glyphDescription(PanelView::glyph(c.facts)), c.title);
    EXPECT_NE(PanelView::render(c.facts).find(std::string("\"title\":\"") + c.title),
              std::string::npos)
        << c.title;
  }
}

}  // namespace
}  // namespace parley::panel
