#include "app/desk_interrupts.hpp"

#include <algorithm>
#include <chrono>

#include "claude/transcript_usage.hpp"

namespace parley::app {

using protocol::SessionState;

DeskInterrupts::DeskInterrupts(boost::asio::any_io_executor main,
                               std::shared_ptr<claude::TranscriptUsage> usage, Outlets outlets)
    : usage_(std::move(usage)), out_(std::move(outlets)), timer_(main) {}

DeskInterrupts::~DeskInterrupts() {
  timer_.cancel();
}

void DeskInterrupts::looked() {
  const auto& sessions = out_.sessions();
  for (const std::string& id : usage_->takeInterrupted()) {
    const auto s = std::find_if(sessions.begin(), sessions.end(),
                                [&](const auto& d) { return d.sessionID == id; });
    if (s == sessions.end() || s->state != SessionState::busy)
      continue;
    out_.publish(protocol::Interrupted{.sessionID = id,
                                       .detectedVia = "transcript: Escape at the keyboard"});
    out_.turnEnded(id);
  }
  watch();
}

void DeskInterrupts::watch() {
  const auto& sessions = out_.sessions();
  const bool busy = std::any_of(sessions.begin(), sessions.end(),
                                [](const auto& d) { return d.state == SessionState::busy; });
  if (watching_ || !busy)
    return;
  watching_ = true;
  timer_.expires_after(std::chrono::seconds(2));
  timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!self)
      return;
    self->watching_ = false;
    if (ec)
      return;
    std::vector<protocol::SessionDescriptor> listed = self->out_.sessions();
    self->usage_->annotate(listed);
    self->looked();
  });
}

}  // namespace parley::app
