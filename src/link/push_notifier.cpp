#include "link/push_notifier.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/json.hpp>
#include <optional>
#include <set>

#include "link/push_sender.hpp"
#include "text/printable.hpp"
#include "text/unicode.hpp"

namespace parley::link {

namespace {

namespace json = boost::json;

// A notification shows one or two lines; the page fetches the rest.
constexpr std::size_t kLineCharacters = 140;

std::string shortLine(std::string_view text) {
  const std::string_view trimmed = text::trimmed(text);
  const std::string_view prefix = text::characterPrefix(trimmed, kLineCharacters);
  return prefix.size() < trimmed.size() ? std::string(prefix) + "…" : std::string(prefix);
}

std::string firstOf(std::initializer_list<std::string_view> candidates) {
  for (std::string_view candidate : candidates)
    if (!text::trimmed(candidate).empty())
      return shortLine(candidate);
  return {};
}

json::object base(std::string_view kind, const std::string& sessionName,
                  const std::string& sessionID) {
  return json::object{
      {"v", 1}, {"kind", kind}, {"sessionID", sessionID}, {"session", shortLine(sessionName)}};
}

std::string shown(std::string_view text) {
  return text::printable(text, 200);
}

struct Message {
  std::string payload;
  PushRequest::Urgency urgency = PushRequest::Urgency::normal;
};

struct Job {
  std::string deviceID;
  std::string deviceName;
  std::string endpoint;  // the subscription this job was made for
  std::shared_ptr<const Message> message;
  int attempt = 1;
};

}  // namespace

class PushNotifier::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(boost::asio::any_io_executor executor, Configuration configuration, PairingStore pairing,
       PushCrypto crypto)
      : strand_(boost::asio::make_strand(executor)),
        config_(std::move(configuration)),
        pairing_(std::move(pairing)),
        crypto_(std::move(crypto)),
        sender_(config_.requestTimeout) {}

  template <class Work>
  void post(Work work) {
    boost::asio::post(
        strand_, [self = shared_from_this(), work = std::move(work)]() mutable { work(*self); });
  }

  std::function<void(const std::string&)> onLog;
  std::optional<std::string> connected;
  Duration longTurn() const { return config_.longTurn; }

  void notify(const Message& message) {
    std::vector<PairingStore::PushTarget> targets;
    try {
      targets = pairing_.pushTargets();
    } catch (const std::exception& e) {
      log(std::string("notifications not sent: ") + e.what());
      return;
    }
    auto shared = std::make_shared<const Message>(message);
    for (PairingStore::PushTarget& target : targets) {
      if (target.device.deviceID == connected)
        continue;
      attempt(Job{target.device.deviceID, target.device.deviceName,
                  std::move(target.subscription.endpoint), shared});
    }
  }

  void cancelAll() {
    for (const auto& timer : timers_)
      timer->cancel();
    timers_.clear();
  }

 private:
  void log(const std::string& line) {
    if (onLog)
      onLog(line);
  }

  // The subscription as stored now: a retry must not outlive a revocation,
  // a turned-off switch or a new subscription.
  std::optional<PushSubscription> current(const Job& job) {
    try {
      for (PairingStore::PushTarget& target : pairing_.pushTargets())
        if (target.device.deviceID == job.deviceID && target.subscription.endpoint == job.endpoint)
          return std::move(target.subscription);
    } catch (const std::exception& e) {
      log("notification to “" + shown(job.deviceName) + "” not sent: " + e.what());
    }
    return std::nullopt;
  }

  void attempt(Job job) {
    if (job.deviceID == connected)
      return;  // the phone came back and shows it live
    const std::optional<PushSubscription> subscription = current(job);
    if (!subscription)
      return;
    const std::string who = "notification to “" + shown(job.deviceName) + "”";
    PushReply reply;
    try {
      PushRequest request{
          .endpoint = subscription->endpoint,
          .authorization = crypto_.authorization(subscription->endpoint, config_.subject,
                                                 std::chrono::system_clock::now()),
          .body = PushCrypto::encrypt(job.message->payload, subscription->publicKeyBytes(),
                                      subscription->authBytes()),
          .ttl = config_.ttl,
          .urgency = job.message->urgency,
      };
      reply = sender_.send(request);
    } catch (const PushTransportError& e) {
      return retry(std::move(job), who + " failed: " + e.what(), std::nullopt);
    } catch (const std::exception& e) {
      return log(who + " failed: " + e.what());
    }
    const long status = reply.status;
    if (status >= 200 && status < 300)
      return;
    const std::string http = "HTTP " + std::to_string(status);
    if (status == 404 || status == 410) {
      try {
        pairing_.dropPushSubscription(job.deviceID, job.endpoint);
        log(who + " refused (" + http + "): the subscription has expired and was removed");
      } catch (const std::exception& e) {
        log(who + " refused (" + http + "); removing the subscription failed: " + e.what());
      }
      return;
    }
    if (status == 429 || status >= 500)
      return retry(std::move(job), who + " failed: " + http, reply.retryAfter);
    log(who + " failed: " + http);
  }

  void retry(Job job, const std::string& failure, std::optional<std::chrono::seconds> after) {
    if (job.attempt >= config_.maxAttempts) {
      log(failure + " — gave up after " + std::to_string(job.attempt) + " attempts");
      return;
    }
    Duration delay = config_.firstRetryDelay * (1 << std::min(job.attempt - 1, 16));
    if (after)
      delay = std::max<Duration>(delay, *after);
    delay = std::min(delay, config_.maxRetryDelay);
    log(failure + " — retry " + std::to_string(job.attempt) + " of " +
        std::to_string(config_.maxAttempts - 1) + " in " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()) +
        " ms");
    ++job.attempt;
    auto timer = std::make_shared<boost::asio::steady_timer>(strand_, delay);
    timers_.insert(timer);
    timer->async_wait([weak = weak_from_this(), timer,
                       job = std::move(job)](const boost::system::error_code& ec) mutable {
      auto self = weak.lock();
      if (!self)
        return;
      self->timers_.erase(timer);
      if (!ec)
        self->attempt(std::move(job));
    });
  }

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  Configuration config_;
  PairingStore pairing_;
  PushCrypto crypto_;
  PushSender sender_;
  std::set<std::shared_ptr<boost::asio::steady_timer>> timers_;
};

PushNotifier::PushNotifier(boost::asio::any_io_executor executor, Configuration configuration,
                           PairingStore pairing, PushCrypto crypto)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(configuration),
                                   std::move(pairing), std::move(crypto))) {}

PushNotifier::~PushNotifier() {
  impl_->post([](Impl& self) { self.cancelAll(); });
}

void PushNotifier::setOnLog(std::function<void(const std::string&)> callback) {
  impl_->post([callback = std::move(callback)](Impl& self) { self.onLog = callback; });
}

void PushNotifier::deviceConnected(std::string deviceID) {
  impl_->post([id = std::move(deviceID)](Impl& self) { self.connected = id; });
}

void PushNotifier::deviceDisconnected() {
  impl_->post([](Impl& self) { self.connected.reset(); });
}

void PushNotifier::onPermissionRequest(const std::string& sessionName,
                                       const protocol::PermissionRequest& request) {
  impl_->post([m = Message{permissionPayload(sessionName, request), PushRequest::Urgency::high}](
                  Impl& self) { self.notify(m); });
}

void PushNotifier::onQuestion(const std::string& sessionName,
                              const protocol::QuestionRequest& question) {
  impl_->post([m = Message{questionPayload(sessionName, question), PushRequest::Urgency::high}](
                  Impl& self) { self.notify(m); });
}

void PushNotifier::onTurnFinished(const std::string& sessionName,
                                  const protocol::TurnFinished& finished) {
  impl_->post([m = Message{turnPayload(sessionName, finished), PushRequest::Urgency::normal},
               ran = std::chrono::milliseconds(finished.durationMS.value_or(-1))](Impl& self) {
    if (ran >= std::chrono::duration_cast<std::chrono::milliseconds>(self.longTurn()))
      self.notify(m);
  });
}

// ---- payloads ------------------------------------------------------------------

std::string PushNotifier::permissionPayload(const std::string& sessionName,
                                            const protocol::PermissionRequest& request) {
  const bool destructive = request.tier == protocol::RiskTier::destructive;
  json::object out = base("permission", sessionName, request.sessionID);
  out["requestID"] = request.requestID;
  out["tier"] =
      protocol::EnumNames<protocol::RiskTier>::names[static_cast<std::size_t>(request.tier)];
  // A destructive call is never approved from the phone: the notification
  // says where it can be.
  out["atKeyboard"] = destructive;
  const std::string what =
      firstOf({request.narration.speech, request.narration.text, request.toolName});
  out["line"] = (destructive ? "Approve at the keyboard: " : "Needs your approval: ") + what;
  return json::serialize(out);
}

std::string PushNotifier::questionPayload(const std::string& sessionName,
                                          const protocol::QuestionRequest& question) {
  json::object out = base("question", sessionName, question.sessionID);
  out["requestID"] = question.requestID;
  const std::string_view first =
      question.questions.empty() ? std::string_view() : question.questions.front().text;
  out["line"] = firstOf({question.narration.speech, first, "Claude has a question"});
  return json::serialize(out);
}

std::string PushNotifier::turnPayload(const std::string& sessionName,
                                      const protocol::TurnFinished& finished) {
  json::object out = base("turn", sessionName, finished.sessionID);
  out["line"] = firstOf({finished.narration.speech, finished.narration.text, "Turn finished"});
  return json::serialize(out);
}

}  // namespace parley::link
