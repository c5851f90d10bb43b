#pragma once

// Escape pressed at the keyboard during a turn sends no hook; Claude Code's
// transcript records the interruption. This follows the transcripts (through
// the usage reader, which already reads what they append) and tells the
// phone, as for an interrupt it sent itself. While a turn runs it looks every
// two seconds, so the phone hears without waiting for the sweep.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::claude {
class TranscriptUsage;
}

namespace parley::app {

class DeskInterrupts : public std::enable_shared_from_this<DeskInterrupts> {
 public:
  struct Outlets {
    // The sessions as last listed.
    std::function<const std::vector<protocol::SessionDescriptor>&()> sessions;
    // The interruption, for the phone and the log.
    std::function<void(protocol::ServerMessage)> publish;
    // Ends the session's turn, as a Stop hook would.
    std::function<void(const std::string& sessionID)> turnEnded;
  };

  // Everything runs on `main`.
  DeskInterrupts(boost::asio::any_io_executor main, std::shared_ptr<claude::TranscriptUsage> usage,
                 Outlets outlets);
  ~DeskInterrupts();

  // After each look at the transcripts: tells what they recorded, for a
  // session still busy (a phone's own interrupt has been told, and its
  // session is idle by then), and keeps looking while a turn runs.
  void looked();

 private:
  void watch();

  std::shared_ptr<claude::TranscriptUsage> usage_;
  Outlets out_;
  boost::asio::steady_timer timer_;
  bool watching_ = false;
};

}  // namespace parley::app
