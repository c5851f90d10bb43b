#pragma once

// The single source of truth for which Claude Code sessions exist, which tmux
// pane each lives in and what each is doing (see SessionTable, which holds the
// state and the algorithms and is not thread-safe).
//
// SessionRegistry is the actor around it: every operation runs on its own
// strand of a worker pool, so refreshes (which start tmux and read /proc and
// files) never block the caller, and a refresh and a hook never interleave.
//
// Results come back as Asio completion handlers, so every caller picks its
// own style with a completion token:
//   - the application model (its io_context on the main thread):
//       registry.sweep(now, asio::bind_executor(mainContext,
//           [weak](std::vector<RegisteredSession> all) { ... }));
//     the handler runs on the main thread (its associated executor);
//   - the session driver (a coroutine on its own strand):
//       auto s = co_await registry.session(id, asio::use_awaitable);
//   - tests and command-line tools: registry.all(asio::use_future).get().
// A plain lambda without an associated executor runs on the registry's
// strand and must not block.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/session_table.hpp"

namespace parley::terminal {

class SessionRegistry {
 public:
  using Date = protocol::Date;
  using Sessions = std::vector<RegisteredSession>;

  // `executor` is the worker pool's; the registry makes its own strand on it.
  SessionRegistry(const boost::asio::any_io_executor& executor, SessionSources sources);
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  const boost::asio::strand<boost::asio::any_io_executor>& strand() const {
    return shared_->strand;
  }

  // Completion signature void(Sessions).
  template <class Token>
  auto all(Token&& token) {
    return onStrand<Sessions>([](SessionTable& t) { return t.all(); }, std::forward<Token>(token));
  }

  // void(std::optional<RegisteredSession>)
  template <class Token>
  auto session(std::string id, Token&& token) {
    return onStrand<std::optional<RegisteredSession>>(
        [id = std::move(id)](SessionTable& t) { return t.session(id); },
        std::forward<Token>(token));
  }

  // void(std::optional<RegisteredSession>)
  template <class Token>
  auto sessionForPane(std::string paneID, Token&& token) {
    return onStrand<std::optional<RegisteredSession>>(
        [paneID = std::move(paneID)](SessionTable& t) { return t.sessionForPane(paneID); },
        std::forward<Token>(token));
  }

  // void(std::optional<RegisteredSession>); the time of application is taken
  // on the strand.
  template <class Token>
  auto apply(protocol::HookPayload hook, Token&& token) {
    return onStrand<std::optional<RegisteredSession>>(
        [hook = std::move(hook)](SessionTable& t) {
          return t.apply(hook, std::chrono::system_clock::now());
        },
        std::forward<Token>(token));
  }

  // What a hook event did: the session it named (nothing when it named
  // none) and, then, every session after it.
  struct HookApplied {
    std::optional<RegisteredSession> session;
    // The whole list, when asked for and the event named a session.
    std::optional<Sessions> all;
  };

  // void(HookApplied): apply() and, with `list`, all() in one trip; or
  // apply() and a full refresh when `refreshFirst(session)` asks for one (a
  // session that has no version yet is found by the refresh). `refreshFirst`
  // runs on the strand.
  template <class Token>
  auto applyHook(protocol::HookPayload hook,
                 std::function<bool(const RegisteredSession&)> refreshFirst, bool list,
                 Token&& token) {
    return onStrand<HookApplied>(
        [hook = std::move(hook), refreshFirst = std::move(refreshFirst), list](SessionTable& t) {
          const auto now = std::chrono::system_clock::now();
          HookApplied result{t.apply(hook, now), {}};
          if (!result.session)
            return result;
          if (refreshFirst && refreshFirst(*result.session)) {
            Sessions swept = t.sweep(now);
            if (list)
              result.all = std::move(swept);
          } else if (list) {
            result.all = t.all();
          }
          return result;
        },
        std::forward<Token>(token));
  }

  // void(Sessions)
  template <class Token>
  auto sweep(Date now, Token&& token) {
    return onStrand<Sessions>([now](SessionTable& t) { return t.sweep(now); },
                              std::forward<Token>(token));
  }

  // void()
  template <class Token>
  auto prune(Token&& token) {
    return onStrand<void>([](SessionTable& t) { t.prune(); }, std::forward<Token>(token));
  }

  // void()
  template <class Token>
  auto insert(RegisteredSession registered, Token&& token) {
    return onStrand<void>([registered = std::move(registered)](
                              SessionTable& t) mutable { t.insert(std::move(registered)); },
                          std::forward<Token>(token));
  }

 private:
  struct Shared {
    Shared(const boost::asio::any_io_executor& executor, SessionSources sources)
        : strand(boost::asio::make_strand(executor)), table(std::move(sources)) {}
    boost::asio::strand<boost::asio::any_io_executor> strand;
    SessionTable table;  // touched only on `strand`
  };

  // Runs `work` on the strand and completes the handler on its associated
  // executor (the strand when it has none). Pending work keeps the state
  // alive, so destroying the registry never leaves a dangling operation.
  template <class R>
  struct SignatureOf {
    using type = void(R);
  };

  template <class R, class Work, class Token>
  auto onStrand(Work work, Token&& token) {
    return boost::asio::async_initiate<Token, typename SignatureOf<R>::type>(
        [](auto handler, std::shared_ptr<Shared> shared, Work job) {
          // The handler's executor has outstanding work until it completes,
          // so an io_context waiting for the answer does not run dry.
          auto target =
              boost::asio::prefer(boost::asio::get_associated_executor(handler, shared->strand),
                                  boost::asio::execution::outstanding_work.tracked);
          auto& strand = shared->strand;
          boost::asio::post(strand, [handler = std::move(handler), shared = std::move(shared),
                                     work = std::move(job), target = std::move(target)]() mutable {
            if constexpr (std::is_void_v<R>) {
              work(shared->table);
              boost::asio::dispatch(target,
                                    [handler = std::move(handler)]() mutable { handler(); });
            } else {
              R result = work(shared->table);
              boost::asio::dispatch(
                  target, [handler = std::move(handler), result = std::move(result)]() mutable {
                    handler(std::move(result));
                  });
            }
          });
        },
        token, shared_, std::move(work));
  }

  std::shared_ptr<Shared> shared_;
};

template <>
struct SessionRegistry::SignatureOf<void> {
  using type = void();
};

}  // namespace parley::terminal
