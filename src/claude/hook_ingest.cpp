#include "claude/hook_ingest.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "base/files.hpp"
#include "base/paths.hpp"
#include "claude/ndjson_framer.hpp"

namespace parley::claude {

namespace asio = boost::asio;
using Protocol = asio::local::stream_protocol;

const std::size_t HookIngest::maxPathBytes = sizeof(sockaddr_un::sun_path) - 1;

namespace {

constexpr std::size_t kReadBufferSize = 65536;
// A connection that keeps sending is read at most this much per readiness
// event, so one busy peer cannot hold the strand (and stop()) for long.
constexpr std::size_t kReadBudget = 16 * kReadBufferSize;
// When the process runs out of descriptors, accept keeps failing while the
// connection still waits; pausing stops that from spinning the strand.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// Removes what an earlier run left at `path`, but only a socket nobody
// listens on: a regular file there is the user's and is never deleted, and a
// live socket belongs to another running listener that must not lose its
// events. Returns the errno that makes the path unusable, or 0.
int clearStaleSocket(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    return 0;
  if (!S_ISSOCK(st.st_mode))
    return EADDRINUSE;
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const sockaddr_un address = socketAddress(path);
    const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(probe);
    if (rc == 0 || error == EAGAIN)
      return EADDRINUSE;
  }
  ::unlink(path.c_str());
  return 0;
}

}  // namespace

// The lines handed on and not yet processed. The listener counts each line
// in as it hands it on (on the accept strand); its receipt counts it out
// wherever the consumer lets go of it. A listener that found no room leaves
// a wake-up here, run by the release that makes room again.
class HookIngest::Waiting : public std::enable_shared_from_this<Waiting> {
 public:
  void setLimits(std::size_t maxLines, std::size_t maxBytes) {
    maxLines_ = std::max<std::size_t>(maxLines, 1);
    maxBytes_ = std::max<std::size_t>(maxBytes, 1);
  }

  bool hasRoom() const { return lines_ < maxLines_ && bytes_ < maxBytes_; }

  Receipt take(std::size_t bytes) {
    const std::size_t now = ++lines_;
    bytes_ += bytes;
    for (std::size_t peak = peak_; now > peak && !peak_.compare_exchange_weak(peak, now);) {
    }
    return std::make_shared<const Held>(shared_from_this(), bytes);
  }

  // `wake` runs once, on whichever thread lets go of the line that brings
  // the backlog down to half.
  void wakeWhenRoom(std::function<void()> wake) {
    {
      std::lock_guard lock(mutex_);
      wake_ = std::move(wake);
    }
    asleep_ = true;
    if (halfDone())
      wakeUp();
  }

  Backlog figures() const { return {lines_, bytes_, peak_}; }

 private:
  struct Held {
    Held(std::shared_ptr<Waiting> waiting, std::size_t size)
        : owner(std::move(waiting)), bytes(size) {}
    ~Held() { owner->release(bytes); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    std::shared_ptr<Waiting> owner;
    std::size_t bytes;
  };

  void release(std::size_t bytes) {
    --lines_;
    bytes_ -= bytes;
    if (asleep_ && halfDone())
      wakeUp();
  }

  // Resuming at half, not at the first free slot, lets the listener read
  // in runs instead of a line per release.
  bool halfDone() const { return lines_ <= maxLines_ / 2 && bytes_ <= maxBytes_ / 2; }

  void wakeUp() {
    if (!asleep_.exchange(false))
      return;
    std::function<void()> wake;
    {
      std::lock_guard lock(mutex_);
      wake = std::exchange(wake_, nullptr);
    }
    if (wake)
      wake();
  }

  std::atomic<std::size_t> maxLines_{defaultMaxBacklogLines};
  std::atomic<std::size_t> maxBytes_{defaultMaxBacklogBytes};
  std::atomic<std::size_t> lines_{0};
  std::atomic<std::size_t> bytes_{0};
  std::atomic<std::size_t> peak_{0};
  std::atomic<bool> asleep_{false};
  std::mutex mutex_;
  std::function<void()> wake_;
};

// One listening socket and its connections, from start() to stop(). It lives
// on the accept strand: after construction only handlers on that strand touch
// it, so it needs no lock.
//
// Lines cut from a connection wait in `held_` until the backlog has room for
// them. While any wait there, nothing is read and nothing accepted: the
// connections that stopped are parked in order, and resume() reads them
// again, then accepts, once the consumer has caught up. So what was read is
// never dropped, and the writers feel the backpressure in the kernel.
class HookIngest::Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(std::weak_ptr<HookIngest> owner, asio::strand<asio::any_io_executor> acceptStrand,
           asio::strand<asio::any_io_executor> deliveryStrand, int fd,
           std::chrono::milliseconds deadline, std::size_t maxConnections,
           std::shared_ptr<Waiting> waiting)
      : owner_(std::move(owner)),
        deliveryStrand_(std::move(deliveryStrand)),
        deadline_(deadline),
        maxConnections_(std::max<std::size_t>(maxConnections, 1)),
        waiting_(std::move(waiting)),
        acceptor_(acceptStrand, Protocol(), fd),
        backoff_(acceptStrand),
        buffer_(new char[kReadBufferSize]) {}

  void begin() { awaitConnections(); }

  void close() {
    closed_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    backoff_.cancel();
    connections_.clear();
    parked_.clear();
    held_.clear();
    batch_.clear();
  }

 private:
  struct Connection {
    Protocol::socket socket;
    NDJSONFramer framer;
    asio::steady_timer deadline;
  };

  enum class Drained {
    ended,  // the peer closed, failed or overflowed
    open,   // nothing more to read for now
    more,   // the read budget ran out with more waiting
    full,   // stopped for want of room in the backlog
  };

  bool stalled() const { return !held_.empty(); }

  void awaitConnections() {
    acceptor_.async_wait(Protocol::acceptor::wait_read,
                         [self = shared_from_this()](const boost::system::error_code& error) {
                           if (error || self->closed_ || self->owner_.expired())
                             return;
                           self->acceptAll();
                         });
  }

  void acceptAll() {
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

  // A relay writes its line and closes right after connecting, so by the
  // time it is accepted the whole connection is usually waiting: read it at
  // once, and only a connection that is still open joins the reactor.
  void adopt(int fd) {
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

  // Ids grow with each connection, so the map's first entry is the oldest.
  void makeRoom() {
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

  void armDeadline(std::uint64_t id) {
    asio::steady_timer& timer = connections_.at(id)->deadline;
    timer.expires_after(deadline_);
    timer.async_wait([self = shared_from_this(), id](const boost::system::error_code& error) {
      if (!error && !self->closed_)
        self->expire(id);
    });
  }

  void expire(std::uint64_t id) {
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

  void awaitData(std::uint64_t id) {
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

  void readConnection(std::uint64_t id) {
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

  // The consumer caught up: the lines that waited go first, then the
  // connections that stopped, in the order they stopped, then new ones.
  void resume() {
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

  // Reads until the peer would block, the budget is spent or the backlog is
  // full; the lines cut are handed on as far as there is room.
  Drained drain(int fd, NDJSONFramer& framer) {
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

  // Moves lines from `held_` into the next delivery while the backlog has
  // room; what is left waits for the consumer to catch up.
  void handOn() {
    while (!held_.empty() && waiting_->hasRoom()) {
      Receipt receipt = waiting_->take(held_.front().size());
      batch_.push_back({std::move(held_.front()), std::move(receipt)});
      held_.pop_front();
    }
    if (held_.empty() || wakeRequested_)
      return;
    wakeRequested_ = true;
    waiting_->wakeWhenRoom([weak = weak_from_this(), strand = acceptor_.get_executor()] {
      asio::post(strand, [weak] {
        if (auto self = weak.lock())
          self->resume();
      });
    });
  }

  void flush() {
    if (batch_.empty())
      return;
    asio::post(deliveryStrand_, [owner = owner_, lines = std::exchange(batch_, {})]() mutable {
      if (auto ingest = owner.lock())
        ingest->deliver(std::move(lines));
    });
  }

  void report(HookIngestError error) {
    asio::post(deliveryStrand_, [owner = owner_, error = std::move(error)] {
      if (auto ingest = owner.lock())
        ingest->report(error);
    });
  }

  std::weak_ptr<HookIngest> owner_;
  asio::strand<asio::any_io_executor> deliveryStrand_;
  const std::chrono::milliseconds deadline_;
  const std::size_t maxConnections_;
  std::shared_ptr<Waiting> waiting_;
  Protocol::acceptor acceptor_;
  asio::steady_timer backoff_;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::deque<std::string> held_;       // cut, not yet handed on
  std::vector<Line> batch_;            // handed on, not yet posted
  std::vector<std::uint64_t> parked_;  // stopped while the backlog was full
  bool acceptParked_ = false;
  bool wakeRequested_ = false;
  bool warnedFull_ = false;
  std::uint64_t nextId_ = 0;
  std::unique_ptr<char[]> buffer_;  // shared by every connection: reads run one at a time
  bool closed_ = false;
};

std::filesystem::path HookIngest::defaultSocketPath() {
  return base::hookSocketPath();
}

std::shared_ptr<HookIngest> HookIngest::create(asio::any_io_executor executor,
                                               std::filesystem::path path) {
  return std::shared_ptr<HookIngest>(new HookIngest(std::move(executor), std::move(path)));
}

HookIngest::HookIngest(asio::any_io_executor executor, std::filesystem::path path)
    : path_(std::move(path)),
      acceptStrand_(asio::make_strand(executor)),
      deliveryStrand_(asio::make_strand(executor)),
      waiting_(std::make_shared<Waiting>()) {}

HookIngest::~HookIngest() {
  stop();
}

void HookIngest::setConnectionLimits(std::chrono::milliseconds deadline,
                                     std::size_t maxConnections) {
  std::lock_guard lock(mutex_);
  connectionDeadline_ = deadline;
  maxConnections_ = maxConnections;
}

void HookIngest::setBacklogLimits(std::size_t maxLines, std::size_t maxBytes) {
  waiting_->setLimits(maxLines, maxBytes);
}

HookIngest::Backlog HookIngest::backlog() const {
  return waiting_->figures();
}

void HookIngest::setOnPayload(PayloadHandler handler) {
  auto shared = handler ? std::make_shared<const PayloadHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(callbackMutex_);
  onPayload_ = std::move(shared);
}

void HookIngest::setOnError(ErrorHandler handler) {
  auto shared = handler ? std::make_shared<const ErrorHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(callbackMutex_);
  onError_ = std::move(shared);
}

bool HookIngest::isListening() const {
  std::lock_guard lock(mutex_);
  return listener_ != nullptr;
}

void HookIngest::start() {
  std::lock_guard lock(mutex_);
  if (listener_)
    return;

  const std::string path = path_.string();
  if (path.size() > maxPathBytes)
    throw HookIngestError::socketPathTooLong(path);
  if (path.empty())
    throw HookIngestError::bindFailed(path, ENOENT);
  if (const auto directory = path_.parent_path(); !directory.empty()) {
    try {
      base::createDirectories(directory, 0700);
    } catch (const std::exception& e) {
      throw HookIngestError::directoryFailed(e.what());
    }
  }
  if (const int error = clearStaleSocket(path); error != 0)
    throw HookIngestError::bindFailed(path, error);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw HookIngestError::createFailed(errno);

  // The socket file takes its mode from the creation mask at bind(); with
  // 0177 it is born 0600, so no moment exists at which others may connect.
  const sockaddr_un address = socketAddress(path);
  const mode_t previousMask = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    ::close(fd);
    throw HookIngestError::bindFailed(path, bindError);
  }
  auto fail = [&](HookIngestError (*make)(int), int error) {
    ::close(fd);
    ::unlink(path.c_str());
    return make(error);
  };
  struct stat bound_st;
  if (::stat(path.c_str(), &bound_st) == 0) {
    socketDevice_ = bound_st.st_dev;
    socketInode_ = bound_st.st_ino;
  }
  if (::chmod(path.c_str(), 0600) != 0)
    throw fail(&HookIngestError::chmodFailed, errno);
  if (::listen(fd, 16) != 0)
    throw fail(&HookIngestError::listenFailed, errno);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    throw fail(&HookIngestError::listenFailed, errno);

  std::shared_ptr<Listener> listener;
  try {
    listener = std::make_shared<Listener>(weak_from_this(), acceptStrand_, deliveryStrand_, fd,
                                          connectionDeadline_, maxConnections_, waiting_);
  } catch (const boost::system::system_error& e) {
    throw fail(&HookIngestError::listenFailed, e.code().value());
  }
  asio::post(acceptStrand_, [listener] { listener->begin(); });
  listener_ = std::move(listener);
}

void HookIngest::stop() {
  std::lock_guard lock(mutex_);
  if (!listener_)
    return;
  asio::post(acceptStrand_, [listener = std::move(listener_)] { listener->close(); });
  listener_.reset();
  // Only our own socket: another listener may have taken the path since.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDevice_ && st.st_ino == socketInode_)
    ::unlink(path_.c_str());
}

void HookIngest::deliver(std::vector<Line> lines) {
  std::shared_ptr<const PayloadHandler> onPayload;
  std::shared_ptr<const ErrorHandler> onError;
  {
    std::lock_guard lock(callbackMutex_);
    onPayload = onPayload_;
    onError = onError_;
  }
  for (Line& line : lines) {
    // Released when this line is done with, unless the consumer keeps it.
    Receipt receipt = std::move(line.receipt);
    protocol::HookPayload payload;
    try {
      payload = protocol::HookPayload::decode(line.text);
    } catch (const std::exception& e) {
      if (onError)
        (*onError)(HookIngestError::undecodable(std::move(line.text), e.what()));
      continue;
    }
    if (onPayload)
      (*onPayload)(payload, line.text, std::move(receipt));
  }
}

void HookIngest::report(const HookIngestError& error) {
  std::shared_ptr<const ErrorHandler> onError;
  {
    std::lock_guard lock(callbackMutex_);
    onError = onError_;
  }
  if (onError)
    (*onError)(error);
}

}  // namespace parley::claude
