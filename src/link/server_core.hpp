#pragma once

// The WebSocket server's state and its operations, all run on one strand.
// Private to the server's implementation files: websocket_server.cpp
// (connections, sleep and wake), server_handshake.cpp (the hello, replay,
// pings), server_broadcast.cpp (the ring, drop reports),
// server_listeners.cpp (the listening sockets and the tailnet's addresses
// they follow) and server_commands.cpp (phone commands to the session
// layer, the terminal stream). Peer is only declared here, so the command
// half compiles without Beast.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "link/drop_ledger.hpp"
#include "link/event_ring.hpp"
#include "link/idempotency_cache.hpp"
#include "link/push_subscription.hpp"
#include "link/tailscale.hpp"
#include "link/websocket_server.hpp"
#include "protocol/envelope.hpp"

namespace parley::link {

class Peer;
class DeviceStoreWatcher;

class WebSocketServer::Impl : public std::enable_shared_from_this<Impl> {
 public:
  using Strand = boost::asio::strand<boost::asio::any_io_executor>;
  using tcp = boost::asio::ip::tcp;
  using error_code = boost::system::error_code;

  Impl(boost::asio::any_io_executor executor, Configuration configuration, PairingStore pairing,
       std::weak_ptr<protocol::SessionCommands> commands);

  // Runs `work(Impl&)` on the strand, keeping the server alive until then.
  template <class Work>
  void post(Work work) {
    boost::asio::post(
        strand_, [self = shared_from_this(), work = std::move(work)]() mutable { work(*self); });
  }

  // Runs `read()` on the strand and waits for its result (inline when
  // already there). The executor must be running.
  template <class Read>
  auto read(Read read) const -> decltype(read()) {
    if (strand_.running_in_this_thread())
      return read();
    std::packaged_task<decltype(read())()> task(std::move(read));
    auto result = task.get_future();
    boost::asio::post(strand_, [&task] { task(); });
    return result.get();
  }

  std::function<void(const Status&)> onStatusChange;
  std::function<void(const PeerEvent&)> onPeerEvent;
  std::function<void(const std::string&)> onLog;

  const Configuration& config() const { return config_; }
  const Status& status() const { return status_; }
  std::uint64_t latestSeq() const { return ring_.latestSeq(); }
  bool hasAuthenticatedPeer() const;

  void attach(std::weak_ptr<protocol::SessionCommands> commands) {
    commands_ = std::move(commands);
  }
  void startListener();
  void stop(std::uint16_t code, const std::string& reason);
  void closeForSleep();
  void resumeAfterWake();
  // Records the message in the ring and sends it to the authenticated peer.
  void broadcast(protocol::ServerMessage message);
  // The owner went away: close everything, report nothing more.
  void shutdown();

 private:
  struct TermStream {
    std::string sessionID;
    std::optional<std::string> lastText;
    boost::asio::steady_timer timer;
  };

  static Date now() { return std::chrono::system_clock::now(); }
  void log(const std::string& line);
  void report(const PeerEvent& event);
  void setStatus(Status status);

  // server_listeners.cpp: where it listens and whom it admits.
  struct Listener {
    std::string address;
    bool tailnet = false;  // one of Tailscale's addresses, bound when reported
    tcp::acceptor acceptor;
    boost::asio::steady_timer retry;
  };
  std::shared_ptr<Listener> openListener(const std::string& address, std::uint16_t port,
                                         bool tailnet, error_code& ec);
  void listenerFailed(const error_code& ec);
  void closeListeners();
  void closeListener();
  void acceptNext(const std::shared_ptr<Listener>& listener);
  void onAccept(const std::shared_ptr<Listener>& listener, error_code ec, tcp::socket socket);
  void refreshTailnet();
  void applyTailnet(const std::optional<TailscaleStatus::Info>& info);
  bool addressAllowed(const tcp::endpoint& remote) const;

  // websocket_server.cpp: the connections.
  void admit(tcp::socket socket);
  void onPeerClosed(const std::shared_ptr<Peer>& peer, const std::string& reason);
  void closePeer(std::uint16_t code);
  // Closes every connection still waiting for its hello.
  void closePending(std::uint16_t code);
  void watchDeviceStore();
  // The store changed: a phone whose token no longer authenticates is
  // closed at once.
  void recheckDevice();
  void onFrame(const std::shared_ptr<Peer>& peer, const std::string& body);
  void handshake(const std::shared_ptr<Peer>& peer, const protocol::Hello& hello);
  void sendHelloAck(const std::shared_ptr<Peer>& peer, std::optional<std::uint64_t> lastSeq,
                    std::uint64_t handshakeSeq, std::vector<protocol::SessionDescriptor> sessions);
  void sendPong(const std::shared_ptr<Peer>& peer, const std::string& nonce);
  // To this phone only, not recorded in the ring.
  void reply(const std::shared_ptr<Peer>& peer, protocol::ServerMessage message);
  // Hands the greeted phone the numbered messages after its cursor, as far
  // as its queue has room: a long replay, or a burst, goes out at the pace
  // the phone reads instead of overflowing the queue.
  void feed();
  // Hands the phone the next numbered message; what the push sheds is owed
  // to the phone's device.
  void sendNumbered(const std::shared_ptr<Peer>& peer, const EventRing::Entry& entry);
  // The ring is about to drop an entry: one the phone has not been given
  // yet is pushed now, where the queue's shedding decides what it keeps.
  void evicting(const EventRing::Entry& entry);
  void onSent(const std::shared_ptr<Peer>& peer, std::string_view type);
  void owe(const std::shared_ptr<Peer>& peer, const std::vector<protocol::ServerEnvelope>& shed);
  void flushDropReport();

  // server_commands.cpp: commands and the terminal stream.
  void dispatch(const std::shared_ptr<Peer>& peer, const protocol::ClientMessage& message);
  // The one path of every session command: run it, then report its failure
  // under the command's code or publish what it produced.
  template <class Command>
  void command(const std::shared_ptr<Peer>& peer, const Command& m);
  void broadcastFailure(const std::string& code, const std::exception_ptr& error,
                        const std::optional<std::string>& sessionID);
  // What a command produced: broadcast, or (an answer too large to keep)
  // sent to the phone that asked while it is still the one connected.
  void publishResult(const std::weak_ptr<Peer>& asker, protocol::CommandResult result);
  // Stores (or with nullopt removes) the phone's push subscription and
  // answers with push_state, or with an error saying what was refused. A
  // new subscription's endpoint is checked off the strand first; a later
  // push_subscribe or push_unsubscribe supersedes one still being checked.
  void setPush(const std::shared_ptr<Peer>& peer,
               const std::optional<protocol::PushSubscribe>& subscribe);
  void storePush(const std::shared_ptr<Peer>& peer, const PairedDevice& device,
                 std::optional<PushSubscription> subscription);
  // The error to the phone and one log line; nothing is stored.
  void refusePush(const std::shared_ptr<Peer>& peer, const PairedDevice& device,
                  const std::string& message, bool retriable);
  // Stores one part of an image; the last part is answered with its id,
  // a refusal with an error to the phone that sent it.
  void receiveImage(const std::shared_ptr<Peer>& peer, const protocol::UploadImage& part);
  void startTermStream(const std::string& sessionID);
  void stopTermStream();
  void termTick(const std::shared_ptr<TermStream>& stream);
  void scheduleTermTick(const std::shared_ptr<TermStream>& stream);

  // Wraps `work(Impl&, args...)` as a handler that may be called on any
  // thread: it hops back onto the strand and runs only if the server lives.
  template <class Work>
  auto backOnStrand(Work work) {
    return [weak = weak_from_this(), strand = strand_,
            work = std::make_shared<Work>(std::move(work))](auto... args) {
      boost::asio::post(strand, [weak, work, args...]() mutable {
        if (auto self = weak.lock())
          (*work)(*self, std::move(args)...);
      });
    };
  }

  // Runs the command off the strand when a command handler is attached;
  // returns whether one was. The calls keep the phone's order (its text,
  // then the Enter after it): they go through a strand of their own, not
  // straight to the pool, where two threads could swap them.
  bool callCommands(protocol::SessionCommand command, protocol::SessionCommands::Done done) {
    auto commands = commands_.lock();
    if (!commands)
      return false;
    boost::asio::post(commandStrand_,
                      [commands, command = std::move(command), done = std::move(done)]() mutable {
                        commands->run(std::move(command), std::move(done));
                      });
    return true;
  }

  boost::asio::any_io_executor executor_;
  Strand strand_;
  Strand commandStrand_;  // the calls into the session layer, in order
  Configuration config_;
  PairingStore pairing_;
  std::weak_ptr<protocol::SessionCommands> commands_;
  EventRing ring_;
  IdempotencyCache idempotency_;
  std::vector<std::shared_ptr<Listener>> listeners_;
  std::uint16_t boundPort_ = 0;
  // Tailscale's addresses for this tailnet's machines; absent when unknown.
  std::optional<std::vector<std::string>> tailnetAddresses_;
  // This machine's tailnet, whose desktops' pages may open the link; empty
  // until Tailscale names it.
  std::string tailnet_;
  boost::asio::steady_timer tailnetTimer_;
  // Bumped when the listeners go, so a status read still running is ignored.
  std::uint64_t tailnetGeneration_ = 0;
  // Addresses (with the reason) already reported as impossible to bind.
  std::set<std::string> unbindable_;
  // The authenticated phone, and how it authenticated.
  std::shared_ptr<Peer> peer_;
  std::string peerToken_;
  // The phone has its HelloAck: numbered messages go to it only from then
  // on; until then they wait in the ring for the replay that follows it.
  bool peerGreeted_ = false;
  // The seq of the last numbered message handed to the phone's queue: what
  // comes after it in the ring is still to be fed.
  std::uint64_t peerCursor_ = 0;
  PairedDevice peerDevice_;
  // Connections still waiting for their hello, oldest first. None of them
  // can touch the phone until its hello authenticates.
  std::vector<std::shared_ptr<Peer>> pending_;
  std::shared_ptr<DeviceStoreWatcher> deviceWatcher_;
  DropLedger drops_;
  boost::asio::steady_timer dropTimer_;
  bool dropTimerRunning_ = false;
  Status status_ = Stopped{};
  std::shared_ptr<TermStream> termStream_;
  std::uint64_t pushGeneration_ = 0;  // bumped by every push_(un)subscribe
};

}  // namespace parley::link
