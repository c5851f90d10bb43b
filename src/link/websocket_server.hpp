#pragma once

// The desktop end of the phone link: a WebSocket server that admits only
// Tailscale and loopback peers, keeps one phone at a time, authenticates it
// with its pairing token, numbers and replays what it sends, keeps the
// connection alive, and hands the phone's commands to the session layer's
// SessionCommands.
//
// All of its state lives on one strand of the executor it is given. Public
// operations only post work there and return at once, except the two
// synchronous reads, which wait for the strand. Callbacks run on the strand;
// receivers hop to their own thread. Beast stays inside the implementation.

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "link/image_uploads.hpp"
#include "link/pairing.hpp"
#include "link/push_sender.hpp"
#include "link/web_file.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session_commands.hpp"

namespace parley::link {

class WebSocketServer {
 public:
  using Duration = std::chrono::steady_clock::duration;

  struct Configuration {
    std::uint16_t port = 8787;  // 0 picks a free port (tests)
    // Empty: loopback (127.0.0.1 and ::1, where Tailscale's HTTPS proxy
    // connects from) and this machine's Tailscale addresses, bound as they
    // appear. Otherwise that one address only; tests use "127.0.0.1".
    std::string bindAddress;
    // The Tailscale program whose status names this machine's addresses and
    // the tailnet's machines; absent: the usual one; empty: never asked.
    std::optional<std::string> tailscaleExecutable;
    Duration tailnetRefreshInterval = std::chrono::seconds(30);
    std::size_t sendQueueCapacity = 256;  // below 1 counts as 1
    Duration pingInterval = std::chrono::seconds(20);
    Duration pongDeadline = std::chrono::seconds(10);
    Duration helloDeadline = std::chrono::seconds(10);
    Seconds idempotencyTTL = Seconds(600);
    bool enforceTailscaleFilter = true;
    // Connections still waiting for their hello. Past this the oldest of
    // them is closed, so a newcomer (the phone reconnecting) always gets in.
    std::size_t maxUnauthenticatedPeers = 8;
    // Replaces TailscaleAddressFilter::isAllowed when set (tests: loopback
    // cannot produce a foreign address).
    std::function<bool(std::string_view address)> addressFilter;
    Duration dropReportDelay = std::chrono::seconds(1);
    Duration termFrameInterval = std::chrono::milliseconds(400);
    Duration closeGrace = std::chrono::seconds(2);
    Duration acceptRetryDelay = std::chrono::milliseconds(500);
    std::size_t ringCapacity = 2000;
    Seconds ringWindow = Seconds(1800);
    // Past this many bytes of encoded messages the oldest are dropped too;
    // a phone resuming behind them is told of the gap.
    std::size_t ringMaxBytes = 8 * 1024 * 1024;
    // A phone with more frames than this waiting is not reading; it is cut
    // off and resynchronises from the ring when it returns.
    std::size_t sendBacklogLimit = 4096;
    // HelloAck.serverVersion: the application's short version.
    std::string serverVersion = "dev";
    // Answers plain HTTP GETs on the same port, under the same admission;
    // empty: every page is 404 and only the WebSocket upgrade is served.
    std::span<const WebFile> site;
    // The VAPID public key told to the phone in its HelloAck; empty when
    // this desktop cannot send notifications, and then push_subscribe is
    // refused.
    std::string vapidPublicKey;
    // Judges a push endpoint before it is stored (PushNotifier's
    // endpointCheck): nullopt when it may be used, else why not. It blocks
    // for a name lookup, so it runs off the strand. Unset: push_subscribe
    // is refused, as without a key.
    std::function<std::optional<EndpointRefusal>(const std::string& endpoint)> pushEndpointCheck;
    // Where upload_image puts what the phone sends; unset: uploads are
    // refused.
    std::shared_ptr<ImageUploads> images;
    // Why images for a session are not taken (it is detached at the desk),
    // or nullopt. Asked once the whole image is here, before it is stored;
    // unset: every session takes them.
    std::function<std::optional<std::string>(const std::string& sessionID)> imageRefusal;
  };

  struct Listening {
    std::uint16_t port = 0;
    bool operator==(const Listening&) const = default;
  };
  struct Failed {
    std::string message;
    bool operator==(const Failed&) const = default;
  };
  struct Stopped {
    bool operator==(const Stopped&) const = default;
  };
  struct Starting {
    bool operator==(const Starting&) const = default;
  };
  // The system refused to bind the port (EACCES/EPERM: a port below 1024,
  // or a policy such as AppArmor or SELinux).
  struct BindRefused {
    std::uint16_t port = 0;
    bool operator==(const BindRefused&) const = default;
  };
  using Status = std::variant<Listening, Failed, Stopped, Starting, BindRefused>;

  struct Connected {
    PairedDevice device;
    bool operator==(const Connected&) const = default;
  };
  struct RejectedAddress {
    std::string remote;
    bool operator==(const RejectedAddress&) const = default;
  };
  struct Disconnected {
    std::string reason;
    bool operator==(const Disconnected&) const = default;
  };
  struct Latency {
    double seconds = 0;
    bool operator==(const Latency&) const = default;
  };
  struct RejectedToken {
    bool operator==(const RejectedToken&) const = default;
  };
  // The phone's hello was answered (HelloAck and replay sent): what is
  // published from now on follows them.
  struct Greeted {
    bool operator==(const Greeted&) const = default;
  };
  using PeerEvent =
      std::variant<Connected, RejectedAddress, Disconnected, Latency, RejectedToken, Greeted>;

  // The strand is made on `executor`; commands are posted to `executor`
  // itself, off the strand.
  WebSocketServer(boost::asio::any_io_executor executor, Configuration configuration,
                  PairingStore pairing, std::weak_ptr<protocol::SessionCommands> commands = {});
  // Closes the peer and the listener; pending work finds the server gone.
  ~WebSocketServer();
  WebSocketServer(const WebSocketServer&) = delete;
  WebSocketServer& operator=(const WebSocketServer&) = delete;

  // Set once, before start().
  void setOnStatusChange(std::function<void(const Status&)> callback);
  void setOnPeerEvent(std::function<void(const PeerEvent&)> callback);
  void setOnLog(std::function<void(const std::string&)> callback);

  void attach(std::weak_ptr<protocol::SessionCommands> commands);
  void start();
  // Closes the peer with `closeCode` (1001 from the application), closes the
  // listener, logs "server stopped: " + reason.
  void stop(std::uint16_t closeCode, std::string reason);
  // Numbers the message in the ring and sends it to the authenticated phone.
  void publish(protocol::ServerMessage message);
  void closeForSleep();
  void resumeAfterWake();

  // Synchronous reads on the strand; from a callback they run inline.
  std::uint64_t latestSeq() const;
  bool hasAuthenticatedPeer() const;
  Status status() const;

  const Configuration& configuration() const;

  class Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The link's state in words, the one place they are written: a line
// ("listening on :8787", "stopped", …) for logs and the panel, and for a
// failure what the person can do about it.
struct StatusText {
  std::string line;
  std::optional<std::string> help;
};
StatusText describe(const WebSocketServer::Status& status);

}  // namespace parley::link
