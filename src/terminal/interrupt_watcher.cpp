#include "terminal/interrupt_watcher.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "terminal/tmux_client.hpp"

namespace parley::terminal {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

std::size_t InterruptWatcher::countIn(std::string_view screen) {
  std::size_t count = 0;
  for (std::size_t at = screen.find(kInterruptedText); at != std::string_view::npos;
       at = screen.find(kInterruptedText, at + 1))
    ++count;
  return count;
}

std::size_t InterruptWatcher::countIn(const protocol::SessionDescriptor& session) const {
  try {
    return countIn(TmuxClient(tmuxExecutable_, session.socketPath)
                       .capture(session.paneID, kHistoryLines, false));
  } catch (const std::exception&) {
    return 0;
  }
}

InterruptWatcher::InterruptWatcher(asio::any_io_executor executor,
                                   std::chrono::milliseconds interval,
                                   std::chrono::milliseconds timeout)
    : strand_(asio::make_strand(executor)),
      interval_(interval),
      timeout_(timeout),
      tmuxExecutable_(TmuxClient::resolveExecutable()) {}

void InterruptWatcher::watch(protocol::SessionDescriptor session, std::size_t before, Seen seen) {
  asio::post(strand_, [self = shared_from_this(), session = std::move(session), before,
                       seen = std::move(seen)]() mutable {
    self->look(std::make_shared<protocol::SessionDescriptor>(session), before,
               Clock::now() + self->timeout_, std::move(seen));
  });
}

void InterruptWatcher::stop() {
  asio::post(strand_, [self = shared_from_this()] { self->stopped_ = true; });
}

void InterruptWatcher::look(std::shared_ptr<protocol::SessionDescriptor> session,
                            std::size_t before, Clock::time_point deadline, Seen seen) {
  if (stopped_)
    return;
  if (countIn(*session) > before) {
    if (seen)
      seen(*session);
    return;
  }
  if (Clock::now() >= deadline)
    return;
  auto timer = std::make_shared<asio::steady_timer>(strand_, interval_);
  timer->async_wait([self = shared_from_this(), timer, session = std::move(session), before,
                     deadline,
                     seen = std::move(seen)](const boost::system::error_code& ec) mutable {
    if (!ec)
      self->look(std::move(session), before, deadline, std::move(seen));
  });
}

}  // namespace parley::terminal
