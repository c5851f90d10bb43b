#pragma once

// How the hook channel's socket is served; HookIngest's own part, not for
// other callers.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "claude/hook_backlog.hpp"
#include "claude/hook_ingest.hpp"
#include "claude/hook_ingest_error.hpp"
#include "claude/ndjson_framer.hpp"

namespace parley::claude {

// One listening socket and its connections, from start() to stop(). It lives
// on the accept strand: after construction only handlers on that strand touch
// it, so it needs no lock.
//
// Lines cut from a connection wait in `held_` until the backlog has room for
// them. While any wait there, nothing is read and nothing accepted: the
// connections that stopped are parked in order, and resume() reads them
// again, then accepts, once the consumer has caught up. So what was read is
// never dropped, and the writers feel the backpressure in the kernel.
class HookListener : public std::enable_shared_from_this<HookListener> {
 public:
  using Strand = boost::asio::strand<boost::asio::any_io_executor>;
  // Serves the listening socket `fd` (bound, listening, non-blocking) on
  // `acceptStrand`, and hands the lines on to `owner` on `deliveryStrand`.
  HookListener(std::weak_ptr<HookIngest> owner, Strand acceptStrand, Strand deliveryStrand, int fd,
               std::chrono::milliseconds deadline, std::size_t maxConnections,
               std::shared_ptr<HookBacklog> backlog);
  void begin() { awaitConnections(); }
  void close();

 private:
  struct Connection {
    boost::asio::local::stream_protocol::socket socket;
    NDJSONFramer framer;
    boost::asio::steady_timer deadline;
  };

  enum class Drained {
    ended,  // the peer closed, failed or overflowed
    open,   // nothing more to read for now
    more,   // the read budget ran out with more waiting
    full,   // stopped for want of room in the backlog
  };

  bool stalled() const { return !held_.empty(); }

  void awaitConnections();
  void acceptAll();

  // A relay writes its line and closes right after connecting, so by the
  // time it is accepted the whole connection is usually waiting: read it at
  // once, and only a connection that is still open joins the reactor.
  void adopt(int fd);

  // Ids grow with each connection, so the map's first entry is the oldest.
  void makeRoom();
  void armDeadline(std::uint64_t id);
  void expire(std::uint64_t id);
  void awaitData(std::uint64_t id);
  void readConnection(std::uint64_t id);

  // The consumer caught up: the lines that waited go first, then the
  // connections that stopped, in the order they stopped, then new ones.
  void resume();

  // Reads until the peer would block, the budget is spent or the backlog is
  // full; the lines cut are handed on as far as there is room.
  Drained drain(int fd, NDJSONFramer& framer);

  // Moves lines from `held_` into the next delivery while the backlog has
  // room; what is left waits for the consumer to catch up.
  void handOn();
  void flush();
  void report(HookIngestError error);

  std::weak_ptr<HookIngest> owner_;
  Strand deliveryStrand_;
  const std::chrono::milliseconds deadline_;
  const std::size_t maxConnections_;
  std::shared_ptr<HookBacklog> backlog_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  boost::asio::steady_timer backoff_;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::deque<std::string> held_;         // cut, not yet handed on
  std::vector<HookIngest::Line> batch_;  // handed on, not yet posted
  std::vector<std::uint64_t> parked_;    // stopped while the backlog was full
  bool acceptParked_ = false;
  bool wakeRequested_ = false;
  bool warnedFull_ = false;
  std::uint64_t nextId_ = 0;
  std::unique_ptr<char[]> buffer_;  // shared by every connection: reads run one at a time
  bool closed_ = false;
};

}  // namespace parley::claude
