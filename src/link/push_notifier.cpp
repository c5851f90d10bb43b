#include "link/push_notifier.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json.hpp>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <variant>

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

// What waits for the sending thread: a new message for every device away,
// or one device's retry.
using Work = std::variant<std::shared_ptr<const Message>, Job>;

}  // namespace

class PushNotifier::Impl {
 public:
  Impl(boost::asio::any_io_executor executor, Configuration configuration, PairingStore pairing,
       PushCrypto crypto)
      : executor_(std::move(executor)),
        config_(std::move(configuration)),
        pairing_(std::move(pairing)),
        crypto_(std::move(crypto)),
        sender_(PushSender::Options{.timeout = config_.requestTimeout,
                                    .allowLoopback = config_.allowLoopbackEndpoints}) {}

  std::function<void(const std::string&)> onLog;
  Duration longTurn() const { return config_.longTurn; }
  const PushSender& sender() const { return sender_; }

  void setSubject(std::string subject) {
    const std::lock_guard lock(mutex_);
    config_.subject = std::move(subject);
  }
  std::string subject() {
    const std::lock_guard lock(mutex_);
    return config_.subject;
  }

  void setConnected(std::optional<std::string> deviceID) {
    const std::lock_guard lock(mutex_);
    connected_ = std::move(deviceID);
  }

  // Any thread. Past the capacity the oldest waiting goes: the newest is
  // what the person needs now.
  void enqueue(Work work) {
    std::size_t waiting = 0;
    bool dropped = false;
    {
      const std::lock_guard lock(mutex_);
      if (stopped_)
        return;
      if (queue_.size() >= std::max<std::size_t>(config_.queueCapacity, 1)) {
        queue_.pop_front();
        dropped = true;
      }
      queue_.push_back(std::move(work));
      waiting = queue_.size();
      if (!draining_) {
        draining_ = true;
        boost::asio::post(executor_, [this] { drainOne(); });
      }
    }
    if (dropped)
      log("notification dropped: " + std::to_string(waiting) +
          " are waiting for a push service that is slow to answer, and the oldest went");
  }

  // Any thread: ends the transfer in progress, drops what waits.
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
      queue_.clear();
    }
    sender_.stop();
  }

 private:
  void log(const std::string& line) {
    if (onLog)
      onLog(line);
  }
  bool stopped() {
    const std::lock_guard lock(mutex_);
    return stopped_;
  }
  bool isConnected(const std::string& deviceID) {
    const std::lock_guard lock(mutex_);
    return connected_ == deviceID;
  }

  // One piece of work per turn, so retry timers run between them.
  void drainOne() {
    std::optional<Work> work;
    {
      const std::lock_guard lock(mutex_);
      if (stopped_ || queue_.empty()) {
        draining_ = false;
        return;
      }
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    if (auto* message = std::get_if<std::shared_ptr<const Message>>(&*work))
      notify(*message);
    else
      attempt(std::move(std::get<Job>(*work)));
    boost::asio::post(executor_, [this] { drainOne(); });
  }

  void notify(const std::shared_ptr<const Message>& message) {
    std::vector<PairingStore::PushTarget> targets;
    try {
      targets = pairing_.pushTargets();
    } catch (const std::exception& e) {
      log(std::string("notifications not sent: ") + e.what());
      return;
    }
    for (PairingStore::PushTarget& target : targets)
      attempt(Job{target.device.deviceID, target.device.deviceName,
                  std::move(target.subscription.endpoint), message});
  }

  // The subscription as stored now: a retry must not outlive a revocation,
  // a turned-off switch or a new subscription.
  std::optional<PushSubscription> current(const Job& job) {
    try {
      for (PairingStore::PushTarget& target : pairing_.pushTargets())
        if (target.device.deviceID == job.deviceID && target.subscription.endpoint == job.endpoint)
          return std::move(target.subscription);
    } catch (const std::exception& e) {
      log("notification to “" + text::shown(job.deviceName) + "” not sent: " + e.what());
    }
    return std::nullopt;
  }

  void attempt(Job job) {
    if (stopped() || isConnected(job.deviceID))
      return;  // quitting, or the phone came back and shows it live
    const std::optional<PushSubscription> subscription = current(job);
    if (!subscription)
      return;
    const std::string who = "notification to “" + text::shown(job.deviceName) + "”";
    PushReply reply;
    try {
      PushRequest request{
          .endpoint = subscription->endpoint,
          .authorization = crypto_.authorization(subscription->endpoint, subject(),
                                                 std::chrono::system_clock::now()),
          .body = PushCrypto::encrypt(job.message->payload, subscription->publicKeyBytes(),
                                      subscription->authBytes()),
          .ttl = config_.ttl,
          .urgency = job.message->urgency,
      };
      reply = sender_.send(request);
    } catch (const PushTransportError& e) {
      if (stopped())
        return;
      return retry(std::move(job), who + " failed: " + e.what(), std::nullopt);
    } catch (const PushEndpointError& e) {
      return log(who + " refused: " + e.what());
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
    auto owned = std::make_unique<boost::asio::steady_timer>(executor_, delay);
    boost::asio::steady_timer* timer = owned.get();
    timers_.emplace(timer, std::move(owned));
    // The notifier joins this thread before it goes, so `this` outlives
    // every handler that runs; the rest are destroyed unrun, owning nothing.
    timer->async_wait([this, timer, job = std::move(job)](const boost::system::error_code& ec) {
      if (ec)
        return;
      timers_.erase(timer);
      enqueue(job);
    });
  }

  boost::asio::any_io_executor executor_;  // one thread: no strand needed
  Configuration config_;                   // its subject guarded by mutex_
  PairingStore pairing_;
  PushCrypto crypto_;
  PushSender sender_;
  std::unordered_map<boost::asio::steady_timer*, std::unique_ptr<boost::asio::steady_timer>>
      timers_;

  std::mutex mutex_;  // what the queueing threads share with the sending one
  std::deque<Work> queue_;
  bool draining_ = false;  // a drainOne is posted
  bool stopped_ = false;
  std::optional<std::string> connected_;
};

PushNotifier::PushNotifier(Configuration configuration, PairingStore pairing, PushCrypto crypto)
    : pingOnly_(configuration.pingOnly) {
  impl_ = std::make_unique<Impl>(thread_.get_executor(), std::move(configuration),
                                 std::move(pairing), std::move(crypto));
}

PushNotifier::~PushNotifier() {
  impl_->stop();
  thread_.stop();
  thread_.join();
  // The timers go while their context is still there.
  impl_.reset();
}

void PushNotifier::setOnLog(std::function<void(const std::string&)> callback) {
  impl_->onLog = std::move(callback);
}

std::function<std::optional<EndpointRefusal>(const std::string&)> PushNotifier::endpointCheck()
    const {
  return [sender = impl_->sender()](const std::string& endpoint) { return sender.check(endpoint); };
}

void PushNotifier::setSubject(std::string subject) {
  impl_->setSubject(std::move(subject));
}

void PushNotifier::setPingOnly(bool pingOnly) {
  pingOnly_ = pingOnly;
}

std::string PushNotifier::payload(std::string full) const {
  return pingOnly_ ? pingPayload() : std::move(full);
}

void PushNotifier::deviceConnected(std::string deviceID) {
  impl_->setConnected(std::move(deviceID));
}

void PushNotifier::deviceDisconnected() {
  impl_->setConnected(std::nullopt);
}

void PushNotifier::onPermissionRequest(const std::string& sessionName,
                                       const protocol::PermissionRequest& request) {
  impl_->enqueue(std::make_shared<const Message>(
      Message{payload(permissionPayload(sessionName, request)), PushRequest::Urgency::high}));
}

void PushNotifier::onQuestion(const std::string& sessionName,
                              const protocol::QuestionRequest& question) {
  impl_->enqueue(std::make_shared<const Message>(
      Message{payload(questionPayload(sessionName, question)), PushRequest::Urgency::high}));
}

void PushNotifier::onTurnFinished(const std::string& sessionName,
                                  const protocol::TurnFinished& finished) {
  const auto ran = std::chrono::milliseconds(finished.durationMS.value_or(-1));
  if (ran >= std::chrono::duration_cast<std::chrono::milliseconds>(impl_->longTurn()))
    impl_->enqueue(std::make_shared<const Message>(
        Message{payload(turnPayload(sessionName, finished)), PushRequest::Urgency::normal}));
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

std::string PushNotifier::pingPayload() {
  return json::serialize(json::object{{"v", 1}, {"kind", "ping"}});
}

std::string PushNotifier::turnPayload(const std::string& sessionName,
                                      const protocol::TurnFinished& finished) {
  json::object out = base("turn", sessionName, finished.sessionID);
  out["line"] = firstOf({finished.narration.speech, finished.narration.text, "Turn finished"});
  return json::serialize(out);
}

}  // namespace parley::link
