// Where the server listens and whom it admits. It binds loopback (where
// Tailscale's HTTPS proxy connects from) and this machine's Tailscale
// addresses, not every interface, and admits loopback and the addresses
// Tailscale reports for this tailnet's machines. Tailscale's status is read
// again periodically: its addresses may appear after the server started
// (tailscaled comes up later, or logs in), and machines join and leave.
// When the status cannot be read, the Tailscale address ranges are admitted.

#include <boost/asio/ip/v6_only.hpp>

#include "link/address_filter.hpp"
#include "link/page_origin.hpp"
#include "link/pairing.hpp"
#include "link/server_core.hpp"
#include "link/tailscale.hpp"

namespace parley::link {

namespace asio = boost::asio;
using Impl = WebSocketServer::Impl;

namespace {

bool isDenial(const boost::system::error_code& ec) {
  namespace errc = boost::system::errc;
  return ec == errc::permission_denied || ec == errc::operation_not_permitted ||
         ec == errc::operation_not_supported;
}

// Accept failures that say nothing about the listener, only about one
// connection or a momentary shortage: accepting goes on.
bool isTransientAcceptError(const boost::system::error_code& ec) {
  return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
         ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == asio::error::interrupted || ec.value() == ENFILE ||
         ec.value() == EPROTO;
}

std::optional<TailscaleStatus::Info> readTailscale(const std::string& executable) {
  try {
    return TailscaleStatus(executable).read();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::shared_ptr<Impl::Listener> Impl::openListener(const std::string& address, std::uint16_t port,
                                                   bool tailnet, error_code& ec) {
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec)
    return nullptr;
  const tcp::endpoint endpoint(ip, port);
  auto listener = std::make_shared<Listener>(Listener{.address = address,
                                                      .tailnet = tailnet,
                                                      .acceptor = tcp::acceptor(strand_),
                                                      .retry = asio::steady_timer(strand_)});
  tcp::acceptor& acceptor = listener->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec)
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec && ip.is_v6())
    acceptor.set_option(asio::ip::v6_only(true), ec);
  if (!ec)
    acceptor.bind(endpoint, ec);
  if (!ec)
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    return nullptr;
  listeners_.push_back(listener);
  acceptNext(listener);
  return listener;
}

void Impl::startListener() {
  if (!listeners_.empty())
    return;
  setStatus(Starting{});
  error_code ec;
  const std::vector<std::string> addresses = config_.bindAddress.empty()
                                                 ? std::vector<std::string>{"127.0.0.1", "::1"}
                                                 : std::vector<std::string>{config_.bindAddress};
  std::uint16_t port = config_.port;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    auto listener = openListener(addresses[i], port, false, ec);
    if (!listener && i == 0) {
      listenerFailed(ec);
      return;
    }
    if (!listener) {
      log("not listening on " + addresses[i] + ": " + ec.message());
      continue;
    }
    error_code ignored;
    if (port == 0)
      port = listener->acceptor.local_endpoint(ignored).port();
  }
  boundPort_ = port;
  setStatus(Listening{port});
  log("listening on :" + std::to_string(port) + " (Tailscale peers only)");
  refreshTailnet();
}

void Impl::listenerFailed(const error_code& ec) {
  closeListeners();
  if (isDenial(ec))
    setStatus(BindRefused{boundPort_ != 0 ? boundPort_ : config_.port});
  else
    setStatus(Failed{ec.message()});
}

void Impl::closeListeners() {
  for (const auto& listener : std::exchange(listeners_, {})) {
    error_code ignored;
    listener->retry.cancel();
    listener->acceptor.close(ignored);
  }
  tailnetTimer_.cancel();
  ++tailnetGeneration_;
}

void Impl::closeListener() {
  closeListeners();
  setStatus(Stopped{});
}

void Impl::acceptNext(const std::shared_ptr<Listener>& listener) {
  listener->acceptor.async_accept(strand_,
                                  [weak = weak_from_this(), weakListener = std::weak_ptr(listener)](
                                      error_code ec, tcp::socket socket) {
                                    auto self = weak.lock();
                                    auto live = weakListener.lock();
                                    if (self && live)
                                      self->onAccept(live, ec, std::move(socket));
                                  });
}

void Impl::onAccept(const std::shared_ptr<Listener>& listener, error_code ec, tcp::socket socket) {
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
    return;  // a listener since closed
  if (ec == asio::error::operation_aborted)
    return;
  if (!ec) {
    admit(std::move(socket));
    acceptNext(listener);
  } else if (isTransientAcceptError(ec)) {
    log("listener waiting: " + ec.message());
    // Retrying at once would spin while descriptors are exhausted.
    listener->retry.expires_after(config_.acceptRetryDelay);
    listener->retry.async_wait(
        [weak = weak_from_this(), weakListener = std::weak_ptr(listener)](error_code timerError) {
          auto self = weak.lock();
          auto live = weakListener.lock();
          if (!timerError && self && live &&
              std::find(self->listeners_.begin(), self->listeners_.end(), live) !=
                  self->listeners_.end())
            self->acceptNext(live);
        });
  } else if (listener->tailnet) {
    // The Tailscale interface went away; the next status read rebinds it.
    log("stopped listening on " + listener->address + ": " + ec.message());
    std::erase(listeners_, listener);
  } else {
    listenerFailed(ec);
  }
}

// ---- Tailscale ------------------------------------------------------------------

void Impl::refreshTailnet() {
  const std::string executable =
      config_.tailscaleExecutable ? *config_.tailscaleExecutable : defaultTailscaleExecutable();
  if (executable.empty())
    return;
  // Reading the status runs a program: off the strand.
  auto done = backOnStrand(
      [generation = tailnetGeneration_](Impl& self, std::optional<TailscaleStatus::Info> info) {
        if (generation == self.tailnetGeneration_)
          self.applyTailnet(info);
      });
  asio::post(executor_, [executable, done]() mutable { done(readTailscale(executable)); });
}

void Impl::applyTailnet(const std::optional<TailscaleStatus::Info>& info) {
  if (info) {
    std::vector<std::string> known = info->tailscaleIPs;
    known.insert(known.end(), info->peerIPs.begin(), info->peerIPs.end());
    tailnetAddresses_ = std::move(known);
    // Kept while Tailscale is unreadable: the name of a tailnet seldom
    // changes, and forgetting it would cut off the other desktops' pages.
    if (std::string tailnet = tailnetOf(info->magicDNSName); tailnet != tailnet_) {
      tailnet_ = std::move(tailnet);
      log(tailnet_.empty()
              ? std::string("pages of other desktops may not connect")
              : std::string("pages of the desktops of ").append(tailnet_).append(" may connect"));
    }
  } else {
    tailnetAddresses_.reset();  // unknown: the address ranges decide
  }
  if (config_.bindAddress.empty() && info) {
    const auto& wanted = info->tailscaleIPs;
    // Addresses Tailscale no longer has stop being listened on.
    std::erase_if(listeners_, [&](const std::shared_ptr<Listener>& listener) {
      if (!listener->tailnet ||
          std::find(wanted.begin(), wanted.end(), listener->address) != wanted.end())
        return false;
      error_code ignored;
      listener->acceptor.close(ignored);
      log("stopped listening on " + listener->address + ": no longer this machine's");
      return true;
    });
    for (const std::string& address : wanted) {
      const bool bound = std::any_of(listeners_.begin(), listeners_.end(),
                                     [&](const auto& l) { return l->address == address; });
      if (bound)
        continue;
      error_code ec;
      if (openListener(address, boundPort_, true, ec))
        log("listening on " + address + " port " + std::to_string(boundPort_));
      else if (unbindable_.insert(address + ": " + ec.message()).second)
        log("cannot listen on " + address + ": " + ec.message());
    }
  }
  tailnetTimer_.expires_after(config_.tailnetRefreshInterval);
  tailnetTimer_.async_wait(
      [weak = weak_from_this(), generation = tailnetGeneration_](error_code ec) {
        auto self = weak.lock();
        if (!ec && self && generation == self->tailnetGeneration_ && !self->listeners_.empty())
          self->refreshTailnet();
      });
}

bool Impl::addressAllowed(const tcp::endpoint& remote) const {
  if (config_.addressFilter)
    return config_.addressFilter(remote.address().to_string());
  return TailscaleAddressFilter::isAllowed(remote.address().to_string(), tailnetAddresses_);
}

}  // namespace parley::link
