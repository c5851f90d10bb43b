#pragma once

// One copy of what the application shows, as the control panel reads it:
// taken on the main thread in one piece.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/pairing.hpp"
#include "link/websocket_server.hpp"
#include "protocol/session.hpp"

namespace parley::app {

// The glyph's state, first match wins (see AppState::glyph()).
enum class GlyphState { unpaired, idle, permissionPending, error };

struct AppState {
  std::vector<protocol::SessionDescriptor> sessions;
  std::optional<std::string> activeSessionID;
  bool permissionPending = false;
  // Sessions Parley leaves alone until followed again, and those whose
  // window was opened from the phone in this run, by id.
  std::set<std::string> detached;
  std::set<std::string> fromPhone;
  // How many tools that may change files (file edits, commands) have
  // finished in each session: the panel reads a session's changes again
  // when its count moves, as the phone does on each such tool's end.
  std::map<std::string, std::uint64_t> changesSeen;

  link::WebSocketServer::Status serverStatus = link::WebSocketServer::Stopped{};
  std::optional<link::PairedDevice> connectedDevice;
  std::optional<double> latency;  // seconds
  std::vector<link::PairedDevice> pairedDevices;
  std::optional<std::string> tailscaleHost;
  std::optional<link::PairingPayload> pairingOffer;

  bool hookInstalled = false;
  bool relayInstalled = false;
  std::optional<std::string> lastBackupPath;
  bool sleepAssertionHeld = false;

  GlyphState glyph() const {
    if (std::holds_alternative<link::WebSocketServer::Failed>(serverStatus) ||
        std::holds_alternative<link::WebSocketServer::BindRefused>(serverStatus))
      return GlyphState::error;
    if (pairedDevices.empty())
      return GlyphState::unpaired;
    if (permissionPending)
      return GlyphState::permissionPending;
    return GlyphState::idle;
  }
};

}  // namespace parley::app
