// The phone's commands after its hello: de-duplication, then one path for
// every session command: run off the strand, its failure reported under the
// command's code, what it produced published. And the terminal frame stream.

#include "base/exception_text.hpp"
#include "link/server_core.hpp"
#include "protocol/session_of.hpp"
#include "text/printable.hpp"

namespace parley::link {

namespace {

// The code of the "error" message a command's failure is reported with;
// empty for a command that cannot fail.
template <class Command>
constexpr std::string_view kFailureCode = "";
template <>
constexpr std::string_view kFailureCode<protocol::SubmitPrompt> = "submit_failed";
template <>
constexpr std::string_view kFailureCode<protocol::Interrupt> = "interrupt_failed";
template <>
constexpr std::string_view kFailureCode<protocol::PermissionAnswer> = "permission_failed";
template <>
constexpr std::string_view kFailureCode<protocol::QuestionAnswer> = "question_failed";
template <>
constexpr std::string_view kFailureCode<protocol::SendKey> = "send_key_failed";
template <>
constexpr std::string_view kFailureCode<protocol::GetPane> = "get_pane_failed";
template <>
constexpr std::string_view kFailureCode<protocol::GetDetail> = "get_detail_failed";
template <>
constexpr std::string_view kFailureCode<protocol::Focus> = "focus_failed";
template <>
constexpr std::string_view kFailureCode<protocol::TermInput> = "term_input_failed";
template <>
constexpr std::string_view kFailureCode<protocol::GetChanges> = "get_changes_failed";
template <>
constexpr std::string_view kFailureCode<protocol::GetFileDiff> = "get_file_diff_failed";
template <>
constexpr std::string_view kFailureCode<protocol::ListProjects> = "list_projects_failed";
template <>
constexpr std::string_view kFailureCode<protocol::ListHistory> = "list_history_failed";
template <>
constexpr std::string_view kFailureCode<protocol::StartSession> = "start_session_failed";
template <>
constexpr std::string_view kFailureCode<protocol::ResumeSession> = "resume_session_failed";
template <>
constexpr std::string_view kFailureCode<protocol::StopSession> = "stop_session_failed";
template <>
constexpr std::string_view kFailureCode<protocol::SetMode> = "set_mode_failed";

}  // namespace

using Impl = WebSocketServer::Impl;

void Impl::dispatch(const std::shared_ptr<Peer>& peer, const protocol::ClientMessage& message) {
  using namespace protocol;
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Hello>) {
          log("ignoring duplicate hello");
        } else if constexpr (std::is_same_v<M, Ping>) {
          sendPong(peer, m.nonce);
        } else if constexpr (std::is_same_v<M, PushSubscribe>) {
          setPush(peer, m);
        } else if constexpr (std::is_same_v<M, PushUnsubscribe>) {
          setPush(peer, std::nullopt);
        } else if constexpr (std::is_same_v<M, UploadImage>) {
          receiveImage(peer, m);
        } else if constexpr (std::is_same_v<M, TermSubscribe>) {
          if (m.active)
            startTermStream(m.sessionID);
          else
            stopTermStream();
        } else {
          // One key space for every command that carries an id: an id is
          // never acted on twice.
          if constexpr (requires { m.clientMsgID; }) {
            if (!idempotency_.shouldProcess(m.clientMsgID, now())) {
              log("deduped replayed " + std::string(M::kType) + " " +
                  text::printable(std::string_view(m.clientMsgID).substr(0, 8), 64));
              return;
            }
          }
          command(peer, m);
        }
      },
      static_cast<const ClientMessageVariant&>(message));
}

template <class Command>
void Impl::command(const std::shared_ptr<Peer>& peer, const Command& m) {
  auto done =
      backOnStrand([code = std::string(kFailureCode<Command>), sessionID = protocol::sessionOf(m),
                    asker = std::weak_ptr<Peer>(peer)](Impl& self, std::exception_ptr error,
                                                       protocol::CommandResult result) {
        if (!error)
          self.publishResult(asker, std::move(result));
        else if (!code.empty())
          self.broadcastFailure(code, error, sessionID);
      });
  const bool called = callCommands(m, std::move(done));
  // Without a session layer the phone still gets its detail, empty.
  if constexpr (std::is_same_v<Command, protocol::GetDetail>) {
    if (!called)
      publishResult(peer, protocol::DetailText{m.ref, ""});
  }
}

void Impl::publishResult(const std::weak_ptr<Peer>& asker, protocol::CommandResult result) {
  std::visit(
      [&](auto& value) {
        using V = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<V, protocol::Changes> ||
                      std::is_same_v<V, protocol::FileDiff> ||
                      std::is_same_v<V, protocol::Projects> ||
                      std::is_same_v<V, protocol::History> ||
                      std::is_same_v<V, protocol::SessionStarted>) {
          // Answers for the phone that asked, too large (or too personal to
          // one request) to keep for replays: one that reconnects asks again.
          if (const auto peer = asker.lock(); peer && peer == peer_ && peerGreeted_)
            reply(peer, std::move(value));
        } else if constexpr (std::is_same_v<V, protocol::PaneSnapshot> ||
                             std::is_same_v<V, protocol::TermFrame>) {
          broadcast(std::move(value));
        } else if constexpr (std::is_same_v<V, protocol::DetailText>) {
          broadcast(protocol::ToolFinished{.sessionID = "",
                                           .toolUseID = value.ref,
                                           .ok = true,
                                           .summary = std::move(value.text),
                                           .truncated = false,
                                           .detailRef = value.ref});
        }
      },
      result);
}

void Impl::broadcastFailure(const std::string& code, const std::exception_ptr& error,
                            const std::optional<std::string>& sessionID) {
  broadcast(protocol::Failure{.code = code,
                              .message = base::exceptionText(error),
                              .sessionID = sessionID,
                              .retriable = true});
}

// ---- notifications ---------------------------------------------------------------

void Impl::setPush(const std::shared_ptr<Peer>& peer,
                   const std::optional<protocol::PushSubscribe>& subscribe) {
  const std::uint64_t generation = ++pushGeneration_;
  const PairedDevice device = peerDevice_;
  if (!subscribe)
    return storePush(peer, device, std::nullopt);
  auto refuse = [&](const std::string& message, bool retriable) {
    refusePush(peer, device, message, retriable);
  };
  if (config_.vapidPublicKey.empty() || !config_.pushEndpointCheck)
    return refuse("this desktop cannot send notifications", false);
  std::optional<PushSubscription> subscription;
  try {
    subscription = PushSubscription::parse(subscribe->endpoint, subscribe->p256dh, subscribe->auth);
  } catch (const PushSubscriptionError& e) {
    return refuse(e.what(), false);
  }
  auto checked = backOnStrand(
      [peer, device, generation, subscription](Impl& self, std::optional<EndpointRefusal> refusal) {
        if (generation != self.pushGeneration_)
          return;  // the phone has asked again since; that answer stands
        if (refusal)
          return self.refusePush(peer, device, refusal->reason, refusal->retriable);
        self.storePush(peer, device, subscription);
      });
  boost::asio::post(executor_,
                    [check = config_.pushEndpointCheck, endpoint = subscription->endpoint,
                     checked]() mutable { checked(check(endpoint)); });
}

void Impl::storePush(const std::shared_ptr<Peer>& peer, const PairedDevice& device,
                     std::optional<PushSubscription> subscription) {
  const bool on = subscription.has_value();
  try {
    if (!pairing_.setPushSubscription(device.deviceID, std::move(subscription)))
      return refusePush(peer, device, "this device is no longer paired", false);
  } catch (const std::exception& e) {
    return refusePush(peer, device, e.what(), true);
  }
  log(std::string("notifications turned ") + (on ? "on" : "off") + " for “" +
      text::shown(device.deviceName) + "”");
  reply(peer, protocol::PushState{.enabled = on});
}

void Impl::refusePush(const std::shared_ptr<Peer>& peer, const PairedDevice& device,
                      const std::string& message, bool retriable) {
  log("notifications for “" + text::shown(device.deviceName) + "” not changed: " + message);
  reply(peer, protocol::Failure{.code = "push_failed",
                                .message = message,
                                .sessionID = std::nullopt,
                                .retriable = retriable});
}

// ---- images ------------------------------------------------------------------

void Impl::receiveImage(const std::shared_ptr<Peer>& peer, const protocol::UploadImage& part) {
  auto refuse = [peer, sessionID = part.sessionID](Impl& self, const std::string& message) {
    self.log("image from the phone refused: " + message);
    self.reply(peer, protocol::Failure{.code = "upload_failed",
                                       .message = message,
                                       .sessionID = sessionID,
                                       .retriable = false});
  };
  if (!config_.images)
    return refuse(*this, "this desktop does not take images");
  std::optional<ImageUploads::Received> image;
  try {
    image = config_.images->assemble(part);
  } catch (const std::exception& e) {
    return refuse(*this, e.what());
  }
  if (!image)
    return;
  if (config_.imageRefusal) {
    if (auto why = config_.imageRefusal(image->sessionID))
      return refuse(*this, *why);
  }
  // Written on a worker: 10 MB to disk and a walk of the uploads folder
  // would hold up every other message on the strand.
  auto stored = backOnStrand([peer, uploadID = part.uploadID, sessionID = part.sessionID, refuse](
                                 Impl& self, std::optional<std::string> id, std::string failure) {
    if (!id)
      return refuse(self, failure);
    self.log("image from the phone stored for " + text::printable(sessionID, 80));
    self.reply(peer, protocol::ImageStored{.uploadID = uploadID, .imageID = *id});
  });
  boost::asio::post(executor_,
                    [images = config_.images, image = std::move(*image), stored]() mutable {
                      try {
                        stored(std::optional<std::string>(images->store(image)), std::string());
                      } catch (const std::exception& e) {
                        stored(std::optional<std::string>(), std::string(e.what()));
                      }
                    });
}

// ---- terminal stream ----------------------------------------------------------
//
// One stream per server, not tied to a connection: it keeps polling across
// reconnects until unsubscribed, replaced, or failed.

void Impl::startTermStream(const std::string& sessionID) {
  stopTermStream();
  termStream_ = std::make_shared<TermStream>(
      TermStream{sessionID, std::nullopt, boost::asio::steady_timer(strand_)});
  termTick(termStream_);
}

void Impl::stopTermStream() {
  if (termStream_)
    termStream_->timer.cancel();
  termStream_.reset();
}

void Impl::termTick(const std::shared_ptr<TermStream>& stream) {
  if (stream != termStream_)
    return;
  std::weak_ptr<TermStream> weakStream = stream;
  auto done = backOnStrand(
      [weakStream](Impl& self, std::exception_ptr error, protocol::CommandResult result) {
        auto live = weakStream.lock();
        if (!live || live != self.termStream_)
          return;  // cancelled while the frame was taken
        if (error) {
          self.termStream_.reset();
          self.broadcastFailure("term_frame_failed", error, live->sessionID);
          return;
        }
        // Only a change of text is news; a resize alone is not sent. The
        // whole text is compared, so no collision can hide a change.
        auto* frame = std::get_if<protocol::TermFrame>(&result);
        if (frame && live->lastText != frame->text) {
          live->lastText = frame->text;
          self.broadcast(std::move(*frame));
        }
        self.scheduleTermTick(live);
      });
  if (!callCommands(protocol::TermFrameRequest{stream->sessionID}, std::move(done)))
    scheduleTermTick(stream);
}

void Impl::scheduleTermTick(const std::shared_ptr<TermStream>& stream) {
  stream->timer.expires_after(config_.termFrameInterval);
  stream->timer.async_wait(
      [weak = weak_from_this(), weakStream = std::weak_ptr(stream)](error_code ec) {
        auto self = weak.lock();
        auto live = weakStream.lock();
        if (!ec && self && live)
          self->termTick(live);
      });
}

}  // namespace parley::link
