#include "claude/hook_listener.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <utility>

namespace parley::claude {

namespace asio = boost::asio;
using Protocol = asio::local::stream_protocol;

namespace {

constexpr std::size_t kReadBufferSize = 65536;
// A connection that keeps sending is read at most this much per readiness
// event, so one busy peer cannot hold the strand (and stop()) for long.
constexpr std::size_t kReadBudget = 16 * kReadBufferSize;
// When the process runs out of descriptors, accept keeps failing while the
// connection still waits; pausing stops that from spinning the strand.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

}  // namespace

HookListener::HookListener(std::weak_ptr<HookIngest> owner, Strand acceptStrand,
                           Strand deliveryStrand, int fd, std::chrono::milliseconds deadline,
                           std::size_t maxConnections, std::shared_ptr<HookBacklog> backlog)
    : owner_(std::move(owner)),
      deliveryStrand_(std::move(deliveryStrand)),
      deadline_(deadline),
      maxConnections_(std::max<std::size_t>(maxConnections, 1)),
      backlog_(std::move(backlog)),
      acceptor_(acceptStrand, Protocol(), fd),
      backoff_(acceptStrand),
      buffer_(new char[kReadBufferSize]) {}

void HookListener::close() {
  closed_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  backoff_.cancel();
  connections_.clear();
  parked_.clear();
  held_.clear();
  batch_.clear();
}

void HookListener::awaitConnections() {
  acceptor_.async_wait(Protocol::acceptor::wait_read,
                       [self = shared_from_this()](const boost::system::error_code& error) {
                         if (error || self->closed_ || self->owner_.expired())
                           return;
                         self->acceptAll();
                       });
}

void HookListener::acceptAll() {
  // Lines of every connection drained here go to the delivery strand in
  // one task, in the order they were cut.
  while (true) {
    if (stalled()) {
      acceptParked_ = true;  // resume() accepts again
      flush();
      return;
    }
    const int fd =
        ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      adopt(fd);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED)
      continue;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      flush();
      backoff_.expires_after(kAcceptBackoff);
      backoff_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
        if (!error && !self->closed_)
          self->awaitConnections();
      });
      return;
    }
    break;  // EAGAIN: nothing more waiting
  }
  flush();
  awaitConnections();
}

void HookListener::adopt(int fd) {
  NDJSONFramer framer;
  const Drained drained = drain(fd, framer);
  if (drained == Drained::ended) {
    ::close(fd);
    return;
  }
  std::unique_ptr<Connection> connection;
  try {
    connection.reset(new Connection{Protocol::socket(acceptor_.get_executor(), Protocol(), fd),
                                    std::move(framer),
                                    asio::steady_timer(acceptor_.get_executor())});
  } catch (const boost::system::system_error&) {
    ::close(fd);
    return;
  }
  makeRoom();
  const std::uint64_t id = nextId_++;
  connections_.emplace(id, std::move(connection));
  armDeadline(id);
  if (drained == Drained::full)
    parked_.push_back(id);
  else
    awaitData(id);
}

void HookListener::makeRoom() {
  if (connections_.size() < maxConnections_) {
    if (connections_.size() < maxConnections_ / 2)
      warnedFull_ = false;
    return;
  }
  if (!warnedFull_) {
    warnedFull_ = true;
    report(HookIngestError::tooManyConnections(maxConnections_));
  }
  while (connections_.size() >= maxConnections_)
    connections_.erase(connections_.begin());
}

void HookListener::armDeadline(std::uint64_t id) {
  asio::steady_timer& timer = connections_.at(id)->deadline;
  timer.expires_after(deadline_);
  timer.async_wait([self = shared_from_this(), id](const boost::system::error_code& error) {
    if (!error && !self->closed_)
      self->expire(id);
  });
}

void HookListener::expire(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end())
    return;
  // While we are not reading, a writer's slowness is ours.
  if (stalled()) {
    armDeadline(id);
    return;
  }
  if (const std::size_t pending = found->second->framer.pendingBytes(); pending > 0)
    report(HookIngestError::connectionTimedOut(pending));
  connections_.erase(found);
}

void HookListener::awaitData(std::uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end())
    return;
  it->second->socket.async_wait(
      Protocol::socket::wait_read,
      [self = shared_from_this(), id](const boost::system::error_code& error) {
        if (self->closed_)
          return;
        const auto found = self->connections_.find(id);
        if (found == self->connections_.end())
          return;
        if (error || self->owner_.expired()) {
          self->connections_.erase(found);
          return;
        }
        self->readConnection(id);
        self->flush();
      });
}

void HookListener::readConnection(std::uint64_t id) {
  const auto found = connections_.find(id);
  if (found == connections_.end())
    return;
  if (stalled()) {
    parked_.push_back(id);
    return;
  }
  Connection& connection = *found->second;
  switch (drain(connection.socket.native_handle(), connection.framer)) {
    case Drained::ended:
      connections_.erase(found);
      break;
    case Drained::full:
      parked_.push_back(id);
      break;
    case Drained::open:
    case Drained::more:
      awaitData(id);
      break;
  }
}

void HookListener::resume() {
  wakeRequested_ = false;
  if (closed_)
    return;
  handOn();
  if (!stalled()) {
    for (const std::uint64_t id : std::exchange(parked_, {}))
      readConnection(id);
    if (!stalled() && std::exchange(acceptParked_, false)) {
      acceptAll();
      return;
    }
  }
  flush();
}

HookListener::Drained HookListener::drain(int fd, NDJSONFramer& framer) {
  std::size_t budget = kReadBudget;
  while (true) {
    const ssize_t n = ::read(fd, buffer_.get(), kReadBufferSize);
    if (n > 0) {
      for (std::string& line : framer.append({buffer_.get(), static_cast<std::size_t>(n)}))
        held_.push_back(std::move(line));
      handOn();
      if (framer.overflowed()) {
        flush();
        report(HookIngestError::frameOverflow());
        return Drained::ended;
      }
      if (stalled())
        return Drained::full;
      if (static_cast<std::size_t>(n) >= budget)
        return Drained::more;  // the next readiness event continues
      budget -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      for (std::string& line : framer.finish())
        held_.push_back(std::move(line));
      handOn();
      return Drained::ended;
    }
    if (errno == EINTR)
      continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Drained::open : Drained::ended;
  }
}

void HookListener::handOn() {
  while (!held_.empty() && backlog_->hasRoom()) {
    HookBacklog::Receipt receipt = backlog_->take(held_.front().size());
    batch_.push_back({std::move(held_.front()), std::move(receipt)});
    held_.pop_front();
  }
  if (held_.empty() || wakeRequested_)
    return;
  wakeRequested_ = true;
  backlog_->wakeWhenRoom([weak = weak_from_this(), strand = acceptor_.get_executor()] {
    asio::post(strand, [weak] {
      if (auto self = weak.lock())
        self->resume();
    });
  });
}

void HookListener::flush() {
  if (batch_.empty())
    return;
  asio::post(deliveryStrand_, [owner = owner_, lines = std::exchange(batch_, {})]() mutable {
    if (auto ingest = owner.lock())
      ingest->deliver(std::move(lines));
  });
}

void HookListener::report(HookIngestError error) {
  asio::post(deliveryStrand_, [owner = owner_, error = std::move(error)] {
    if (auto ingest = owner.lock())
      ingest->report(error);
  });
}

}  // namespace parley::claude
