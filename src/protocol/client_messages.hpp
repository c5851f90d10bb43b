#pragma once

// Everything the phone sends to the desktop. Each case is a payload record
// with its wire type string; ClientMessage is the sum of them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/changes.hpp"
#include "protocol/hook_payload.hpp"
#include "protocol/projects.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol {

struct Hello {
  static constexpr std::string_view kType = "hello";
  std::string token;
  std::string deviceID;
  std::string appVersion;
  std::optional<std::uint64_t> lastSeq;
  PARLEY_WIRE_RECORD(Hello);
};

struct SubmitPrompt {
  static constexpr std::string_view kType = "submit_prompt";
  std::string clientMsgID;
  std::string sessionID;
  std::string text;
  bool submit = true;
  std::optional<double> confidence;
  // Ids of images the phone stored with upload_image, pasted before the
  // text (at most five).
  std::optional<std::vector<std::string>> images;
  PARLEY_WIRE_RECORD(SubmitPrompt);
};

struct Interrupt {
  static constexpr std::string_view kType = "interrupt";
  std::string sessionID;
  PARLEY_WIRE_RECORD(Interrupt);
};

struct PermissionAnswer {
  static constexpr std::string_view kType = "permission_answer";
  std::string clientMsgID;
  std::string requestID;
  std::string nonce;
  std::int64_t optionIndex = 0;
  PARLEY_WIRE_RECORD(PermissionAnswer);
};

struct QuestionAnswer {
  static constexpr std::string_view kType = "question_answer";
  std::string clientMsgID;
  std::string sessionID;
  std::string requestID;
  std::int64_t questionIndex = 0;
  std::int64_t optionIndex = 0;
  std::string expectedLabel;
  PARLEY_WIRE_RECORD(QuestionAnswer);
};

struct SendKey {
  static constexpr std::string_view kType = "send_key";
  enum class Key { escape, btab, ctrlO, up, down };
  std::string sessionID;
  Key key = Key::escape;
  PARLEY_WIRE_RECORD(SendKey);
};

struct GetPane {
  static constexpr std::string_view kType = "get_pane";
  std::string sessionID;
  std::int64_t lines = 0;
  PARLEY_WIRE_RECORD(GetPane);
};

struct GetDetail {
  static constexpr std::string_view kType = "get_detail";
  std::string ref;
  PARLEY_WIRE_RECORD(GetDetail);
};

struct Focus {
  static constexpr std::string_view kType = "focus";
  std::string sessionID;
  PARLEY_WIRE_RECORD(Focus);
};

struct SetPrefs {
  static constexpr std::string_view kType = "set_prefs";
  enum class Verbosity { full, digest, finalOnly };
  std::optional<bool> ttsEnabled;
  std::optional<Verbosity> verbosity;
  std::optional<bool> speakTools;
  PARLEY_WIRE_RECORD(SetPrefs);
};

struct TermInput {
  static constexpr std::string_view kType = "term_input";
  enum class Key {
    enter,
    escape,
    tab,
    backspace,
    up,
    down,
    left,
    right,
    ctrlC,
    ctrlD,
    ctrlZ,
    ctrlL,
    ctrlR,
    ctrlU,
  };
  std::string sessionID;
  std::optional<std::string> text;
  std::optional<Key> key;
  PARLEY_WIRE_RECORD(TermInput);
};

struct TermSubscribe {
  static constexpr std::string_view kType = "term_subscribe";
  std::string sessionID;
  bool active = false;
  PARLEY_WIRE_RECORD(TermSubscribe);
};

struct Ping {
  static constexpr std::string_view kType = "ping";
  std::string nonce;
  PARLEY_WIRE_RECORD(Ping);
};

// Turns notifications on for this phone: the browser's push subscription.
// Optional: a phone that never sends it is never notified.
struct PushSubscribe {
  static constexpr std::string_view kType = "push_subscribe";
  std::string endpoint;
  std::string p256dh;
  std::string auth;
  PARLEY_WIRE_RECORD(PushSubscribe);
};

// Turns notifications off for this phone; the payload is an empty object.
struct PushUnsubscribe {
  static constexpr std::string_view kType = "push_unsubscribe";
  PARLEY_WIRE_RECORD(PushUnsubscribe);
};

// The files the session's project has changed, answered with a Changes
// (server_messages.hpp).
struct GetChanges {
  static constexpr std::string_view kType = "get_changes";
  std::string sessionID;
  PARLEY_WIRE_RECORD(GetChanges);
};

// One file's diff, by a path and area from the session's Changes; answered
// with a FileDiff.
struct GetFileDiff {
  static constexpr std::string_view kType = "get_file_diff";
  std::string sessionID;
  std::string path;
  ChangedFile::Area area = ChangedFile::Area::unstaged;
  PARLEY_WIRE_RECORD(GetFileDiff);
};

// One part of an image for the phone's next prompt: base64url bytes, parts
// numbered from 0, `last` on the final one. Answered with image_stored, or
// an error "upload_failed" that ends the upload.
struct UploadImage {
  static constexpr std::string_view kType = "upload_image";
  std::string uploadID;
  std::string sessionID;
  std::int64_t part = 0;
  bool last = false;
  std::string data;
  PARLEY_WIRE_RECORD(UploadImage);
};

// The recent projects, answered with Projects; the payload is an empty
// object.
struct ListProjects {
  static constexpr std::string_view kType = "list_projects";
  PARLEY_WIRE_RECORD(ListProjects);
};

// One page of a project's past sessions, newest first, answered with History.
struct ListHistory {
  static constexpr std::string_view kType = "list_history";
  std::string projectID;
  std::int64_t offset = 0;
  PARLEY_WIRE_RECORD(ListHistory);
};

// A new Claude Code session in a listed project, with an optional first
// prompt; answered with SessionStarted.
struct StartSession {
  static constexpr std::string_view kType = "start_session";
  std::string clientMsgID;
  std::string projectID;
  std::optional<std::string> prompt;
  PARLEY_WIRE_RECORD(StartSession);
};

// A listed past session, continued; answered with SessionStarted.
struct ResumeSession {
  static constexpr std::string_view kType = "resume_session";
  std::string clientMsgID;
  std::string historyID;
  PARLEY_WIRE_RECORD(ResumeSession);
};

// Asks the session's Claude Code to exit.
struct StopSession {
  static constexpr std::string_view kType = "stop_session";
  std::string clientMsgID;
  std::string sessionID;
  PARLEY_WIRE_RECORD(StopSession);
};

// Switches the session's permission mode (as Shift+Tab at the keyboard);
// acknowledged by the next session list, which shows the mode.
struct SetMode {
  static constexpr std::string_view kType = "set_mode";
  std::string clientMsgID;
  std::string sessionID;
  PermissionMode mode = PermissionMode::default_;
  PARLEY_WIRE_RECORD(SetMode);
};

template <>
struct EnumNames<SendKey::Key> {
  static constexpr std::array<std::string_view, 5> names{"escape", "btab", "ctrlO", "up", "down"};
};

template <>
struct EnumNames<SetPrefs::Verbosity> {
  static constexpr std::array<std::string_view, 3> names{"full", "digest", "finalOnly"};
};

template <>
struct EnumNames<TermInput::Key> {
  static constexpr std::array<std::string_view, 14> names{
      "enter", "escape", "tab",   "backspace", "up",    "down",  "left",
      "right", "ctrlC",  "ctrlD", "ctrlZ",     "ctrlL", "ctrlR", "ctrlU"};
};

// The alternatives are in wire declaration order, which is also the order in
// which a decoder tries the type strings.
using ClientMessageVariant =
    std::variant<Hello, SubmitPrompt, Interrupt, PermissionAnswer, QuestionAnswer, SendKey, GetPane,
                 GetDetail, Focus, SetPrefs, TermInput, TermSubscribe, Ping, PushSubscribe,
                 PushUnsubscribe, GetChanges, GetFileDiff, UploadImage, ListProjects, ListHistory,
                 StartSession, ResumeSession, StopSession, SetMode>;

struct ClientMessage : ClientMessageVariant {
  using ClientMessageVariant::ClientMessageVariant;
  explicit ClientMessage(ClientMessageVariant v) : ClientMessageVariant(std::move(v)) {}

  std::string_view type() const;
  json::object payloadJson() const;
  // The de-duplication id of the cases that carry one.
  std::optional<std::string> clientMsgID() const;
  // Throws UnknownMessageType for a type string no case has, DecodeError for
  // a payload that does not decode as that case's record.
  static ClientMessage decode(std::string_view type, const json::value& payload);

  bool operator==(const ClientMessage& other) const {
    return static_cast<const ClientMessageVariant&>(*this) ==
           static_cast<const ClientMessageVariant&>(other);
  }
};

}  // namespace parley::protocol
