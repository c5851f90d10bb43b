#pragma once

// Tells when a session's turn was stopped by Escape: Claude Code then prints
// "Interrupted · What should Claude do …" in the pane. An Escape sent from
// the phone is followed by a look at the pane until the text shows (or a
// while has passed); a closing permission dialog is checked against the
// count taken when it opened. Counts cover the pane's history too, so an
// interruption scrolled off the screen is not mistaken for none.
//
// Its looks run on a strand of the executor it is given, waiting on timers.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/session.hpp"

namespace parley::terminal {

class InterruptWatcher : public std::enable_shared_from_this<InterruptWatcher> {
 public:
  // What Claude Code shows when a turn was stopped by Escape.
  static constexpr std::string_view kInterruptedText = "Interrupted \u00b7 What should Claude do";
  // How much of a pane's history is counted.
  static constexpr int kHistoryLines = 5000;

  static std::size_t countIn(std::string_view screen);
  // How often the session's pane (with its history) shows the text; 0 when
  // the pane cannot be read.
  std::size_t countIn(const protocol::SessionDescriptor& session) const;

  InterruptWatcher(boost::asio::any_io_executor executor, std::chrono::milliseconds interval,
                   std::chrono::milliseconds timeout);

  // What `watch` calls, on the strand, with the session seen interrupted.
  using Seen = std::function<void(const protocol::SessionDescriptor&)>;
  // After an Escape: looks until the count passes `before`, or the timeout.
  void watch(protocol::SessionDescriptor session, std::size_t before, Seen seen);
  // Ends the looking (any thread).
  void stop();

 private:
  void look(std::shared_ptr<protocol::SessionDescriptor> session, std::size_t before,
            std::chrono::steady_clock::time_point deadline, Seen seen);

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::chrono::milliseconds interval_;
  std::chrono::milliseconds timeout_;
  std::string tmuxExecutable_;
  bool stopped_ = false;  // on the strand
};

}  // namespace parley::terminal
