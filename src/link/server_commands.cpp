// The phone's commands after its hello: de-duplication, calls on the
// VoiceCommandSink off the strand with their results and failures brought
// back onto it, and the terminal frame stream.

#include "link/server_core.hpp"
#include "text/printable.hpp"

namespace parley::link {

namespace {

std::string textOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

using Impl = WebSocketServer::Impl;

void Impl::dispatch(const std::shared_ptr<Peer>& peer, const protocol::ClientMessage& message) {
  using namespace protocol;
  std::visit(
      [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Hello>) {
          log("ignoring duplicate hello");
        } else if constexpr (std::is_same_v<M, SubmitPrompt> ||
                             std::is_same_v<M, PermissionAnswer> ||
                             std::is_same_v<M, QuestionAnswer>) {
          // One key space for the three: an id is never acted on twice.
          if (!idempotency_.shouldProcess(m.clientMsgID, now())) {
            log("deduped replayed " + std::string(M::kType) + " " +
                text::printable(std::string_view(m.clientMsgID).substr(0, 8), 64));
            return;
          }
          command(m);
        } else if constexpr (std::is_same_v<M, Ping>) {
          sendPong(peer, m.nonce);
        } else if constexpr (std::is_same_v<M, TermSubscribe>) {
          if (m.active)
            startTermStream(m.sessionID);
          else
            stopTermStream();
        } else {
          command(m);
        }
      },
      static_cast<const ClientMessageVariant&>(message));
}

void Impl::broadcastFailure(const std::string& code, const std::exception_ptr& error,
                            const std::optional<std::string>& sessionID) {
  broadcast(protocol::Failure{
      .code = code, .message = textOf(error), .sessionID = sessionID, .retriable = true});
}

VoiceCommandSink::Done Impl::failureReporter(std::string code,
                                             std::optional<std::string> sessionID) {
  auto handler = backOnStrand([code, sessionID](Impl& self, std::exception_ptr error) {
    if (error)
      self.broadcastFailure(code, error, sessionID);
  });
  return [handler](std::exception_ptr error) mutable { handler(error); };
}

void Impl::command(const protocol::SubmitPrompt& m) {
  callSink([m, done = failureReporter("submit_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.submit(m.sessionID, m.text, m.submit, m.confidence, done);
  });
}

void Impl::command(const protocol::Interrupt& m) {
  callSink([m, done = failureReporter("interrupt_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.interrupt(m.sessionID, done);
  });
}

void Impl::command(const protocol::PermissionAnswer& m) {
  callSink([m, done = failureReporter("permission_failed", std::nullopt)](VoiceCommandSink& sink) {
    sink.permissionAnswer(m.requestID, m.nonce, m.optionIndex, done);
  });
}

void Impl::command(const protocol::QuestionAnswer& m) {
  callSink([m, done = failureReporter("question_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.questionAnswer(m.sessionID, m.optionIndex, m.expectedLabel, done);
  });
}

void Impl::command(const protocol::SendKey& m) {
  callSink([m, done = failureReporter("send_key_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.sendKey(m.sessionID, m.key, done);
  });
}

void Impl::command(const protocol::GetPane& m) {
  auto done = resultReporter<protocol::PaneSnapshot>(
      "get_pane_failed", m.sessionID,
      [](Impl& self, protocol::PaneSnapshot snapshot) { self.broadcast(std::move(snapshot)); });
  callSink([m, done](VoiceCommandSink& sink) { sink.paneSnapshot(m.sessionID, m.lines, done); });
}

void Impl::command(const protocol::GetDetail& m) {
  auto reply = [ref = m.ref](Impl& self, std::string text) {
    self.broadcast(protocol::ToolFinished{.sessionID = "",
                                          .toolUseID = ref,
                                          .ok = true,
                                          .summary = std::move(text),
                                          .truncated = false,
                                          .detailRef = ref});
  };
  auto done = resultReporter<std::string>("get_detail_failed", std::nullopt, reply);
  // Without a sink the phone still gets its answer, empty.
  if (!callSink([m, done](VoiceCommandSink& sink) { sink.detail(m.ref, done); }))
    reply(*this, "");
}

void Impl::command(const protocol::Focus& m) {
  callSink([m, done = failureReporter("focus_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.focus(m.sessionID, done);
  });
}

void Impl::command(const protocol::SetPrefs& m) {
  callSink([m](VoiceCommandSink& sink) { sink.setPrefs(m, [] {}); });
}

void Impl::command(const protocol::TermInput& m) {
  callSink([m, done = failureReporter("term_input_failed", m.sessionID)](VoiceCommandSink& sink) {
    sink.termInput(m.sessionID, m.text, m.key, done);
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
  auto done =
      backOnStrand([weakStream](Impl& self, std::exception_ptr error, protocol::TermFrame frame) {
        auto stream = weakStream.lock();
        if (!stream || stream != self.termStream_)
          return;  // cancelled while the sink worked
        if (error) {
          self.termStream_.reset();
          self.broadcastFailure("term_frame_failed", error, stream->sessionID);
          return;
        }
        // Only a change of text is news; a resize alone is not sent. The
        // whole text is compared, so no collision can hide a change.
        if (stream->lastText != frame.text) {
          stream->lastText = frame.text;
          self.broadcast(std::move(frame));
        }
        self.scheduleTermTick(stream);
      });
  const bool called = callSink([session = stream->sessionID, done](VoiceCommandSink& sink) {
    sink.termFrame(session, [done](std::exception_ptr error, protocol::TermFrame frame) mutable {
      done(error, std::move(frame));
    });
  });
  if (!called)
    scheduleTermTick(stream);
}

void Impl::scheduleTermTick(const std::shared_ptr<TermStream>& stream) {
  stream->timer.expires_after(config_.termFrameInterval);
  stream->timer.async_wait(
      [weak = weak_from_this(), weakStream = std::weak_ptr(stream)](error_code ec) {
        auto self = weak.lock();
        auto stream = weakStream.lock();
        if (!ec && self && stream)
          self->termTick(stream);
      });
}

}  // namespace parley::link
