#pragma once

// The model's hops between the main thread and the worker pool, shared by
// the files that implement AppModel.

#include <boost/asio/post.hpp>
#include <exception>
#include <string>
#include <type_traits>

#include "app/app_model.hpp"

namespace parley::app {

namespace asio = boost::asio;

// What the worker produced, or why it failed.
template <class R>
struct Outcome {
  std::exception_ptr error;
  R value{};
  std::string errorText() const {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown error";
    }
  }
};

template <class F>
void AppModel::onMain(F f) {
  asio::post(main_, [weak = weak_from_this(), f = std::move(f)]() mutable {
    if (auto self = weak.lock())
      f(*self);
  });
}

template <class Work, class Then>
void AppModel::offMain(Work work, Then then) {
  using R = std::invoke_result_t<Work>;
  asio::post(workers_, [&main = main_, weak = weak_from_this(), work = std::move(work),
                        then = std::move(then)]() mutable {
    if (weak.expired())
      return;
    Outcome<R> outcome;
    try {
      outcome.value = work();
    } catch (...) {
      outcome.error = std::current_exception();
    }
    asio::post(main, [weak, then = std::move(then), outcome = std::move(outcome)]() mutable {
      if (auto self = weak.lock())
        then(*self, outcome);
    });
  });
}

}  // namespace parley::app
