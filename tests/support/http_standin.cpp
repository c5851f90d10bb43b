#include "http_standin.hpp"

#include <algorithm>
#include <cstring>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>

namespace parley::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;

struct HttpStandin::Impl {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io};
  Handler handler;
  std::thread thread;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::vector<Request> requests;
  std::vector<std::shared_ptr<asio::ip::tcp::socket>> held;

  void serve() {
    while (!stopping.load()) {
      auto socket = std::make_shared<asio::ip::tcp::socket>(io);
      boost::system::error_code error;
      acceptor.accept(*socket, error);
      if (error)
        return;
      boost::beast::flat_buffer buffer;
      for (;;) {
        Request request;
        http::read(*socket, buffer, request, error);
        if (error)
          break;
        {
          std::lock_guard lock(mutex);
          requests.push_back(request);
        }
        auto response = handler(request);
        if (!response) {
          // Keep the client waiting; the socket closes with the stand-in.
          std::lock_guard lock(mutex);
          held.push_back(socket);
          break;
        }
        response->keep_alive(false);
        response->prepare_payload();
        http::write(*socket, *response, error);
        socket->shutdown(asio::ip::tcp::socket::shutdown_both, error);
        break;
      }
    }
  }
};

HttpStandin::HttpStandin(Handler handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  impl_->thread = std::thread([this] { impl_->serve(); });
}

HttpStandin::~HttpStandin() {
  impl_->stopping.store(true);
  boost::system::error_code error;
  // Wake the blocking accept with a connection of our own.
  asio::ip::tcp::socket wake(impl_->io);
  wake.connect({asio::ip::make_address("127.0.0.1"), port_}, error);
  wake.close(error);
  impl_->thread.join();
}

std::vector<HttpStandin::Request> HttpStandin::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<std::int16_t> HttpStandin::uploadedSamples(const std::string& body) {
  const auto riff = body.find("RIFF");
  const auto data = body.find("data", riff == std::string::npos ? 0 : riff);
  if (riff == std::string::npos || data == std::string::npos || data + 8 > body.size())
    return {};
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, body.data() + data + 4, sizeof bytes);
  std::vector<std::int16_t> samples(std::min<std::size_t>(bytes, body.size() - data - 8) / 2);
  std::memcpy(samples.data(), body.data() + data + 8, samples.size() * 2);
  return samples;
}

HttpStandin::Response HttpStandin::reply(unsigned status, std::string contentType,
                                         std::string body) {
  Response response{static_cast<http::status>(status), 11};
  if (!contentType.empty())
    response.set(http::field::content_type, contentType);
  response.body() = std::move(body);
  return response;
}

}  // namespace parley::test
