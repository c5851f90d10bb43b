#pragma once

// How the application's parts leave the main thread and come back: blocking
// work goes to the worker pool, and its result returns to the main thread
// only while the part that asked still exists.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>

#include "base/exception_text.hpp"

namespace parley::app {

// What the worker produced, or why it failed.
template <class R>
struct Outcome {
  std::exception_ptr error;
  R value{};
  std::string errorText() const { return base::exceptionText(error); }
};

// Runs `f(owner)` on `home` if the owner still exists then.
template <class Owner, class F>
void postIfAlive(const boost::asio::any_io_executor& home, std::weak_ptr<Owner> owner, F f) {
  boost::asio::post(home, [owner = std::move(owner), f = std::move(f)]() mutable {
    if (auto self = owner.lock())
      f(*self);
  });
}

// Runs `work()` on `workers`, then `then(owner, outcome)` on `home`, if the
// owner still exists at each step.
template <class Owner, class Work, class Then>
void offThread(const boost::asio::any_io_executor& workers, boost::asio::any_io_executor home,
               std::weak_ptr<Owner> owner, Work work, Then then) {
  using R = std::invoke_result_t<Work>;
  boost::asio::post(workers, [home = std::move(home), owner = std::move(owner),
                              work = std::move(work), then = std::move(then)]() mutable {
    if (owner.expired())
      return;
    Outcome<R> outcome;
    try {
      outcome.value = work();
    } catch (...) {
      outcome.error = std::current_exception();
    }
    postIfAlive(home, std::move(owner),
                [then = std::move(then), outcome = std::move(outcome)](Owner& self) mutable {
                  then(self, outcome);
                });
  });
}

}  // namespace parley::app
