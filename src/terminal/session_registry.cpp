#include "terminal/session_registry.hpp"

namespace parley::terminal {

SessionRegistry::SessionRegistry(const boost::asio::any_io_executor& executor,
                                 SessionSources sources)
    : shared_(std::make_shared<Shared>(executor, std::move(sources))) {}

}  // namespace parley::terminal
