// Boost.JSON compiled into the relay itself, so the executable needs no Boost
// shared library at start-up.
#include <boost/json/src.hpp>
