#include "link/websocket_server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <future>
#include <optional>
#include <set>

#include "link/address_filter.hpp"
#include "link/event_ring.hpp"
#include "link/idempotency_cache.hpp"
#include "link/peer.hpp"
#include "protocol/envelope.hpp"

namespace parley::link {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Server = WebSocketServer;

namespace {

Date now() {
  return std::chrono::system_clock::now();
}

std::string textOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

bool isDenial(const error_code& ec) {
  namespace errc = boost::system::errc;
  return ec == errc::permission_denied || ec == errc::operation_not_permitted ||
         ec == errc::operation_not_supported;
}

// Accept failures that say nothing about the listener, only about one
// connection or a momentary shortage: accepting goes on.
bool isTransientAcceptError(const error_code& ec) {
  return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
         ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == asio::error::interrupted || ec.value() == ENFILE ||
         ec.value() == EPROTO;
}

}  // namespace

std::string describe(const Server::Status& status) {
  struct {
    std::string operator()(const Server::Listening& s) const {
      return "listening on :" + std::to_string(s.port);
    }
    std::string operator()(const Server::Failed& s) const { return "failed: " + s.message; }
    std::string operator()(const Server::Stopped&) const { return "stopped"; }
    std::string operator()(const Server::Starting&) const { return "starting"; }
    std::string operator()(const Server::LocalNetworkDenied&) const {
      return "local network denied";
    }
  } visitor;
  return std::visit(visitor, status);
}

class WebSocketServer::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(asio::any_io_executor executor, Configuration configuration, PairingStore pairing,
       std::weak_ptr<VoiceCommandSink> sink)
      : executor_(executor),
        strand_(asio::make_strand(executor)),
        config_(std::move(configuration)),
        pairing_(std::move(pairing)),
        sink_(std::move(sink)),
        ring_(config_.ringCapacity, config_.ringWindow),
        idempotency_(config_.idempotencyTTL),
        dropTimer_(strand_),
        acceptRetryTimer_(strand_) {}

  using Strand = asio::strand<asio::any_io_executor>;

  // Runs `work` on the strand with the server alive.
  template <class Work>
  void post(Work work) {
    asio::post(strand_,
               [self = shared_from_this(), work = std::move(work)]() mutable { work(*self); });
  }

  template <class Read>
  auto read(Read read) const -> decltype(read()) {
    if (strand_.running_in_this_thread())
      return read();
    std::packaged_task<decltype(read())()> task(std::move(read));
    auto result = task.get_future();
    asio::post(strand_, [&task] { task(); });
    return result.get();
  }

  // Wraps `work(Impl&, args...)` as a handler that may be called on any
  // thread: it hops back onto the strand and runs only if the server lives.
  template <class Work>
  auto backOnStrand(Work work) {
    return [weak = weak_from_this(), strand = strand_,
            work = std::make_shared<Work>(std::move(work))](auto... args) {
      asio::post(strand, [weak, work, args...]() mutable {
        if (auto self = weak.lock())
          (*work)(*self, std::move(args)...);
      });
    };
  }

  // ---- callbacks and state ----------------------------------------------

  std::function<void(const Status&)> onStatusChange;
  std::function<void(const PeerEvent&)> onPeerEvent;
  std::function<void(const std::string&)> onLog;

  void attach(std::weak_ptr<VoiceCommandSink> sink) { sink_ = std::move(sink); }

  const Configuration& config() const { return config_; }
  const EventRing& ring() const { return ring_; }
  const Status& status() const { return status_; }
  bool hasAuthenticatedPeer() const { return peer_ && peer_->isAuthenticated(); }

  void log(const std::string& line) {
    if (onLog)
      onLog(line);
  }

  void report(const PeerEvent& event) {
    if (onPeerEvent)
      onPeerEvent(event);
  }

  void setStatus(Status status) {
    if (status == status_)
      return;
    status_ = std::move(status);
    if (onStatusChange)
      onStatusChange(status_);
  }

  // ---- listener -----------------------------------------------------------

  void startListener() {
    if (acceptor_)
      return;
    setStatus(Starting{});
    error_code ec;
    tcp::acceptor acceptor(strand_);
    const tcp::endpoint endpoint = listenEndpoint(acceptor, ec);
    if (!ec)
      acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
      acceptor.bind(endpoint, ec);
    if (!ec)
      acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      listenerFailed(ec);
      return;
    }
    const std::uint16_t port = acceptor.local_endpoint(ec).port();
    acceptor_.emplace(std::move(acceptor));
    ++listenerGeneration_;
    setStatus(Listening{ec ? config_.port : port});
    log("listening on :" + std::to_string(ec ? config_.port : port) + " (Tailscale peers only)");
    acceptNext();
  }

  tcp::endpoint listenEndpoint(tcp::acceptor& acceptor, error_code& ec) {
    if (!config_.bindAddress.empty()) {
      const auto address = asio::ip::make_address(config_.bindAddress, ec);
      if (ec)
        return {};
      const tcp::endpoint endpoint(address, config_.port);
      acceptor.open(endpoint.protocol(), ec);
      return endpoint;
    }
    // Both families on one socket; IPv4-only when the system has no IPv6.
    acceptor.open(tcp::v6(), ec);
    if (!ec) {
      acceptor.set_option(asio::ip::v6_only(false), ec);
      if (!ec)
        return tcp::endpoint(tcp::v6(), config_.port);
      error_code ignored;
      acceptor.close(ignored);
    }
    acceptor.open(tcp::v4(), ec);
    return tcp::endpoint(tcp::v4(), config_.port);
  }

  void listenerFailed(const error_code& ec) {
    acceptRetryTimer_.cancel();
    if (acceptor_) {
      error_code ignored;
      acceptor_->close(ignored);
      acceptor_.reset();
      ++listenerGeneration_;
    }
    if (isDenial(ec))
      setStatus(LocalNetworkDenied{});
    else
      setStatus(Failed{ec.message()});
  }

  void closeListener() {
    acceptRetryTimer_.cancel();
    if (acceptor_) {
      error_code ignored;
      acceptor_->close(ignored);
      acceptor_.reset();
      ++listenerGeneration_;
    }
    setStatus(Stopped{});
  }

  void acceptNext() {
    acceptor_->async_accept(strand_, [weak = weak_from_this(), generation = listenerGeneration_](
                                         error_code ec, tcp::socket socket) {
      if (auto self = weak.lock())
        self->onAccept(generation, ec, std::move(socket));
    });
  }

  void onAccept(std::uint64_t generation, error_code ec, tcp::socket socket) {
    if (generation != listenerGeneration_ || !acceptor_)
      return;  // a listener since closed or replaced
    if (ec == asio::error::operation_aborted)
      return;
    if (!ec) {
      admit(std::move(socket));
      acceptNext();
    } else if (isTransientAcceptError(ec)) {
      log("listener waiting: " + ec.message());
      // Retrying at once would spin while descriptors are exhausted.
      acceptRetryTimer_.expires_after(config_.acceptRetryDelay);
      acceptRetryTimer_.async_wait([weak = weak_from_this(), generation](error_code timerError) {
        auto self = weak.lock();
        if (!timerError && self && self->acceptor_ && self->listenerGeneration_ == generation)
          self->acceptNext();
      });
    } else {
      listenerFailed(ec);
    }
  }

  // ---- peers ----------------------------------------------------------------

  bool addressAllowed(const tcp::endpoint& remote) const {
    if (config_.addressFilter)
      return config_.addressFilter(remote.address().to_string());
    return TailscaleAddressFilter::isAllowed(remote);
  }

  void admit(tcp::socket socket) {
    error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec)
      return;  // gone before we looked
    const std::string description = describeEndpoint(remote);
    if (config_.enforceTailscaleFilter && !addressAllowed(remote)) {
      socket.close(ec);
      report(RejectedAddress{description});
      log("refused non-Tailscale peer " + description);
      return;
    }
    closePeer(4409);  // one phone at a time: the newest wins

    auto peer = std::make_shared<Peer>(
        std::move(socket),
        Peer::Options{.outboundCapacity = std::max<std::size_t>(config_.sendQueueCapacity, 1),
                      .backlogLimit = config_.sendBacklogLimit,
                      .helloDeadline = config_.helloDeadline,
                      .closeGrace = config_.closeGrace});
    std::weak_ptr<Impl> weakSelf = weak_from_this();
    std::weak_ptr<Peer> weakPeer = peer;
    peer->onFrame = [weakSelf, weakPeer](std::string body) {
      auto self = weakSelf.lock();
      auto peer = weakPeer.lock();
      if (self && peer)
        self->onFrame(peer, body);
    };
    peer->onClosed = [weakSelf, weakPeer](const std::string& reason) {
      auto self = weakSelf.lock();
      auto peer = weakPeer.lock();
      if (self && peer)
        self->onPeerClosed(peer, reason);
    };
    peer->onLatency = [weakSelf](double seconds) {
      if (auto self = weakSelf.lock())
        self->report(Latency{seconds});
    };
    peer_ = peer;
    peer->start();
    log("peer " + description + " connected, awaiting hello");
  }

  void onPeerClosed(const std::shared_ptr<Peer>& peer, const std::string& reason) {
    if (peer != peer_)
      return;  // replaced or forgotten: reports nothing
    peer_.reset();
    report(Disconnected{reason});
    log("peer " + peer->remoteDescription() + " disconnected: " + reason);
  }

  void closePeer(std::uint16_t code) {
    if (peer_)
      std::shared_ptr<Peer>(peer_)->close(code);
  }

  void closeForSleep() {
    if (auto peer = std::move(peer_))
      peer->close(1001);
    log("connection closed 1001 (system sleeping)");
  }

  void resumeAfterWake() {
    log("waking: restarting listener");
    if (acceptor_)
      closeListener();
    startListener();
  }

  void stop(std::uint16_t code, const std::string& reason) {
    closePeer(code);
    closeListener();
    dropTimer_.cancel();
    dropTimerRunning_ = false;
    log("server stopped: " + reason);
  }

  // ---- frames ----------------------------------------------------------------

  void onFrame(const std::shared_ptr<Peer>& peer, const std::string& body) {
    std::optional<protocol::ClientEnvelope> envelope;
    try {
      envelope = protocol::ClientEnvelope::decode(body);
    } catch (const std::exception& e) {
      log("undecodable client frame (" + std::to_string(body.size()) + "B): " + e.what());
      return;
    }
    if (envelope->v != protocol::Wire::version) {
      peer->close(4400);
      log("client wire version " + std::to_string(envelope->v) +
          " != " + std::to_string(protocol::Wire::version) + " — closed 4400");
      return;
    }
    if (peer->isAuthenticated()) {
      dispatch(peer, envelope->message);
    } else if (const auto* hello = std::get_if<protocol::Hello>(&envelope->message)) {
      handshake(peer, *hello);
    } else {
      peer->close(4401);
      report(RejectedToken{});
      log("first frame was " + std::string(envelope->message.type()) + ", not hello — closed 4401");
    }
  }

  void handshake(const std::shared_ptr<Peer>& peer, const protocol::Hello& hello) {
    const std::optional<PairedDevice> device = pairing_.device(hello.token);
    if (!device) {
      peer->close(4401);
      report(RejectedToken{});
      log("hello rejected: bad token from " + peer->remoteDescription());
      return;
    }
    peer->authenticate(device->deviceID);
    try {
      pairing_.markSeen(device->deviceID, now());
    } catch (const std::exception& e) {
      // The phone is genuine; failing to note the time must not refuse it.
      log("could not record that “" + device->deviceName + "” was seen: " + e.what());
    }
    report(Connected{*device});
    log("paired device “" + device->deviceName + "” authenticated");

    EventRing::Replay replay = ring_.replay(hello.lastSeq);
    std::weak_ptr<Peer> weakPeer = peer;
    auto reply = [weakPeer, replay = std::move(replay)](
                     Impl& self, std::vector<protocol::SessionDescriptor> sessions) mutable {
      if (auto peer = weakPeer.lock())
        self.sendHelloAck(peer, std::move(replay), std::move(sessions));
    };
    auto sink = sink_.lock();
    if (!sink) {
      reply(*this, {});
      return;
    }
    asio::post(executor_, [sink, done = backOnStrand(std::move(reply))]() mutable {
      sink->sessions(std::move(done));
    });
  }

  void sendHelloAck(const std::shared_ptr<Peer>& peer, EventRing::Replay replay,
                    std::vector<protocol::SessionDescriptor> sessions) {
    if (peer != peer_ || peer->isTornDown())
      return;
    reportShed(peer->send(protocol::ServerEnvelope(ring_.latestSeq(), now(),
                                                   protocol::HelloAck{
                                                       .serverVersion = config_.serverVersion,
                                                       .resumedFromSeq = replay.resumedFromSeq,
                                                       .gap = replay.gap,
                                                       .sessions = std::move(sessions),
                                                   })));
    for (const EventRing::Entry& entry : replay.entries)
      reportShed(peer->send(entry.envelope()));
    if (replay.gap)
      log("client resumed past the ring — sent gap:true, " + std::to_string(replay.entries.size()) +
          " replayed");
    peer->startHeartbeat(config_.pingInterval, config_.pongDeadline);
  }

  // Runs `call(sink, done)` off the strand when a sink is attached. `done`
  // reports a failure as an "error" message with `code`; on success it runs
  // `then` on the strand with the result.
  template <class Call>
  bool callSink(Call call) {
    auto sink = sink_.lock();
    if (!sink)
      return false;
    asio::post(executor_, [sink, call = std::move(call)]() mutable { call(*sink); });
    return true;
  }

  VoiceCommandSink::Done failureReporter(std::string code, std::optional<std::string> sessionID) {
    auto handler = backOnStrand([code, sessionID](Impl& self, std::exception_ptr error) {
      if (error)
        self.broadcastFailure(code, error, sessionID);
    });
    return [handler](std::exception_ptr error) mutable { handler(error); };
  }

  template <class T, class OnValue>
  VoiceCommandSink::Result<T> resultReporter(std::string code, std::optional<std::string> sessionID,
                                             OnValue onValue) {
    auto handler =
        backOnStrand([code, sessionID, onValue](Impl& self, std::exception_ptr error, T value) {
          if (error)
            self.broadcastFailure(code, error, sessionID);
          else
            onValue(self, std::move(value));
        });
    return
        [handler](std::exception_ptr error, T value) mutable { handler(error, std::move(value)); };
  }

  void broadcastFailure(const std::string& code, const std::exception_ptr& error,
                        const std::optional<std::string>& sessionID) {
    broadcast(protocol::Failure{
        .code = code, .message = textOf(error), .sessionID = sessionID, .retriable = true});
  }

  void dispatch(const std::shared_ptr<Peer>& peer, const protocol::ClientMessage& message) {
    using namespace protocol;
    std::visit(
        [&](const auto& m) {
          using M = std::decay_t<decltype(m)>;
          if constexpr (std::is_same_v<M, Hello>) {
            log("ignoring duplicate hello");
          } else if constexpr (std::is_same_v<M, SubmitPrompt> ||
                               std::is_same_v<M, PermissionAnswer> ||
                               std::is_same_v<M, QuestionAnswer>) {
            if (!idempotency_.shouldProcess(m.clientMsgID, now())) {
              log("deduped replayed " + std::string(M::kType) + " " + m.clientMsgID.substr(0, 8));
              return;
            }
            command(m);
          } else if constexpr (std::is_same_v<M, Ping>) {
            reportShed(peer->send(ServerEnvelope(ring_.latestSeq(), now(), Pong{.echo = m.nonce})));
          } else if constexpr (std::is_same_v<M, TermSubscribe>) {
            if (m.active)
              startTermStream(m.sessionID);
            else
              stopTermStream();
          } else {
            command(m);
          }
        },
        static_cast<const ClientMessageVariant&>(message));
  }

  void command(const protocol::SubmitPrompt& m) {
    callSink([m, done = failureReporter("submit_failed", m.sessionID)](auto& sink) {
      sink.submit(m.sessionID, m.text, m.submit, m.confidence, done);
    });
  }
  void command(const protocol::Interrupt& m) {
    callSink([m, done = failureReporter("interrupt_failed", m.sessionID)](auto& sink) {
      sink.interrupt(m.sessionID, done);
    });
  }
  void command(const protocol::PermissionAnswer& m) {
    callSink([m, done = failureReporter("permission_failed", std::nullopt)](auto& sink) {
      sink.permissionAnswer(m.requestID, m.nonce, m.optionIndex, done);
    });
  }
  void command(const protocol::QuestionAnswer& m) {
    callSink([m, done = failureReporter("question_failed", m.sessionID)](auto& sink) {
      sink.questionAnswer(m.sessionID, m.optionIndex, m.expectedLabel, done);
    });
  }
  void command(const protocol::SendKey& m) {
    callSink([m, done = failureReporter("send_key_failed", m.sessionID)](auto& sink) {
      sink.sendKey(m.sessionID, m.key, done);
    });
  }
  void command(const protocol::GetPane& m) {
    auto done = resultReporter<protocol::PaneSnapshot>(
        "get_pane_failed", m.sessionID,
        [](Impl& self, protocol::PaneSnapshot snapshot) { self.broadcast(std::move(snapshot)); });
    callSink([m, done](auto& sink) { sink.paneSnapshot(m.sessionID, m.lines, done); });
  }
  void command(const protocol::GetDetail& m) {
    auto reply = [ref = m.ref](Impl& self, std::string text) {
      self.broadcast(protocol::ToolFinished{.sessionID = "",
                                            .toolUseID = ref,
                                            .ok = true,
                                            .summary = std::move(text),
                                            .truncated = false,
                                            .detailRef = ref});
    };
    auto done = resultReporter<std::string>("get_detail_failed", std::nullopt, reply);
    if (!callSink([m, done](auto& sink) { sink.detail(m.ref, done); }))
      reply(*this, "");
  }
  void command(const protocol::Focus& m) {
    callSink([m, done = failureReporter("focus_failed", m.sessionID)](auto& sink) {
      sink.focus(m.sessionID, done);
    });
  }
  void command(const protocol::SetPrefs& m) {
    callSink([m](auto& sink) { sink.setPrefs(m, [] {}); });
  }
  void command(const protocol::TermInput& m) {
    callSink([m, done = failureReporter("term_input_failed", m.sessionID)](auto& sink) {
      sink.termInput(m.sessionID, m.text, m.key, done);
    });
  }
  // Handled before dispatching to command().
  void command(const protocol::Hello&) {}
  void command(const protocol::Ping&) {}
  void command(const protocol::TermSubscribe&) {}

  // ---- terminal stream ---------------------------------------------------------

  struct TermStream {
    std::string sessionID;
    std::optional<std::string> lastText;
    asio::steady_timer timer;
  };

  void startTermStream(const std::string& sessionID) {
    stopTermStream();
    termStream_ = std::make_shared<TermStream>(
        TermStream{sessionID, std::nullopt, asio::steady_timer(strand_)});
    termTick(termStream_);
  }

  void stopTermStream() {
    if (termStream_)
      termStream_->timer.cancel();
    termStream_.reset();
  }

  void termTick(const std::shared_ptr<TermStream>& stream) {
    if (stream != termStream_)
      return;
    std::weak_ptr<TermStream> weakStream = stream;
    auto done =
        backOnStrand([weakStream](Impl& self, std::exception_ptr error, protocol::TermFrame frame) {
          auto stream = weakStream.lock();
          if (!stream || stream != self.termStream_)
            return;  // cancelled while the sink worked
          if (error) {
            self.termStream_.reset();
            self.broadcastFailure("term_frame_failed", error, stream->sessionID);
            return;
          }
          // Only a change of text is news; a resize alone is not sent.
          if (stream->lastText != frame.text) {
            stream->lastText = frame.text;
            self.broadcast(std::move(frame));
          }
          self.scheduleTermTick(stream);
        });
    const bool called = callSink([session = stream->sessionID, done](auto& sink) mutable {
      sink.termFrame(session, [done](std::exception_ptr error, protocol::TermFrame frame) mutable {
        done(error, std::move(frame));
      });
    });
    if (!called)
      scheduleTermTick(stream);
  }

  void scheduleTermTick(const std::shared_ptr<TermStream>& stream) {
    stream->timer.expires_after(config_.termFrameInterval);
    stream->timer.async_wait(
        [weak = weak_from_this(), weakStream = std::weak_ptr(stream)](error_code ec) {
          auto self = weak.lock();
          auto stream = weakStream.lock();
          if (!ec && self && stream)
            self->termTick(stream);
        });
  }

  // ---- broadcast and drop reports -------------------------------------------------

  // Every push's shedding is reported, the drop report's own and the
  // handshake's included, so the phone learns of every message it lost.
  void broadcast(protocol::ServerMessage message) {
    const EventRing::Entry entry = ring_.append(std::move(message), now());
    if (peer_ && peer_->isAuthenticated())
      reportShed(peer_->send(entry.envelope()));
  }

  void reportShed(const std::vector<std::string>& kinds) {
    if (kinds.empty())
      return;
    pendingDropCount_ += static_cast<std::int64_t>(kinds.size());
    pendingDropKinds_.insert(kinds.begin(), kinds.end());
    if (dropTimerRunning_)
      return;
    dropTimerRunning_ = true;
    dropTimer_.expires_after(config_.dropReportDelay);
    dropTimer_.async_wait([weak = weak_from_this()](error_code ec) {
      auto self = weak.lock();
      if (!ec && self && self->dropTimerRunning_)
        self->flushDropReport();
    });
  }

  void flushDropReport() {
    dropTimerRunning_ = false;
    const std::int64_t count = pendingDropCount_;
    std::vector<std::string> kinds(pendingDropKinds_.begin(), pendingDropKinds_.end());
    pendingDropCount_ = 0;
    pendingDropKinds_.clear();
    if (count < 1)
      return;
    broadcast(protocol::Dropped{.count = count, .kinds = std::move(kinds)});
    log("shed " + std::to_string(count) + " frames under backpressure");
  }

  // Final shutdown when the owner goes away.
  void shutdown() {
    onStatusChange = nullptr;
    onPeerEvent = nullptr;
    onLog = nullptr;
    closePeer(1001);
    closeListener();
    stopTermStream();
    dropTimer_.cancel();
    dropTimerRunning_ = false;
  }

 private:
  asio::any_io_executor executor_;
  Strand strand_;
  Configuration config_;
  PairingStore pairing_;
  std::weak_ptr<VoiceCommandSink> sink_;
  EventRing ring_;
  IdempotencyCache idempotency_;
  std::optional<tcp::acceptor> acceptor_;
  std::uint64_t listenerGeneration_ = 0;
  std::shared_ptr<Peer> peer_;
  std::int64_t pendingDropCount_ = 0;
  std::set<std::string> pendingDropKinds_;  // sorted, as the report wants them
  asio::steady_timer dropTimer_;
  bool dropTimerRunning_ = false;
  asio::steady_timer acceptRetryTimer_;
  Status status_ = Stopped{};
  std::shared_ptr<TermStream> termStream_;
};

// ---- public face ------------------------------------------------------------

WebSocketServer::WebSocketServer(asio::any_io_executor executor, Configuration configuration,
                                 PairingStore pairing, std::weak_ptr<VoiceCommandSink> sink)
    : impl_(std::make_shared<Impl>(executor, std::move(configuration), std::move(pairing),
                                   std::move(sink))) {}

WebSocketServer::~WebSocketServer() {
  impl_->post([](Impl& self) { self.shutdown(); });
}

void WebSocketServer::setOnStatusChange(std::function<void(const Status&)> callback) {
  impl_->post([callback = std::move(callback)](Impl& self) mutable {
    self.onStatusChange = std::move(callback);
  });
}

void WebSocketServer::setOnPeerEvent(std::function<void(const PeerEvent&)> callback) {
  impl_->post([callback = std::move(callback)](Impl& self) mutable {
    self.onPeerEvent = std::move(callback);
  });
}

void WebSocketServer::setOnLog(std::function<void(const std::string&)> callback) {
  impl_->post(
      [callback = std::move(callback)](Impl& self) mutable { self.onLog = std::move(callback); });
}

void WebSocketServer::attach(std::weak_ptr<VoiceCommandSink> sink) {
  impl_->post([sink = std::move(sink)](Impl& self) mutable { self.attach(std::move(sink)); });
}

void WebSocketServer::start() {
  impl_->post([](Impl& self) { self.startListener(); });
}

void WebSocketServer::stop(std::uint16_t closeCode, std::string reason) {
  impl_->post(
      [closeCode, reason = std::move(reason)](Impl& self) { self.stop(closeCode, reason); });
}

void WebSocketServer::publish(protocol::ServerMessage message) {
  impl_->post(
      [message = std::move(message)](Impl& self) mutable { self.broadcast(std::move(message)); });
}

void WebSocketServer::closeForSleep() {
  impl_->post([](Impl& self) { self.closeForSleep(); });
}

void WebSocketServer::resumeAfterWake() {
  impl_->post([](Impl& self) { self.resumeAfterWake(); });
}

std::uint64_t WebSocketServer::latestSeq() const {
  return impl_->read([impl = impl_.get()] { return impl->ring().latestSeq(); });
}

bool WebSocketServer::hasAuthenticatedPeer() const {
  return impl_->read([impl = impl_.get()] { return impl->hasAuthenticatedPeer(); });
}

WebSocketServer::Status WebSocketServer::status() const {
  return impl_->read([impl = impl_.get()] { return impl->status(); });
}

const WebSocketServer::Configuration& WebSocketServer::configuration() const {
  return impl_->config();
}

}  // namespace parley::link
