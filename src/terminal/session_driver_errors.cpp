// The refusals the driver answers with, each worded for the person who
// reads it on the phone.

#include "protocol/remote_approval.hpp"
#include "terminal/session_driver.hpp"

namespace parley::terminal {

SessionDriver::CommandError SessionDriver::CommandError::unknownSession(const std::string& id) {
  return {Kind::unknownSession, "no such session: " + id};
}

SessionDriver::CommandError SessionDriver::CommandError::announceOnly(
    const protocol::SessionDescriptor& d) {
  std::string why = "session ";
  why.append(d.sessionID).append(" is announce-only");
  if (d.announceOnly)
    why.append(": ").append(*d.announceOnly);
  return {Kind::announceOnly, why};
}

SessionDriver::CommandError SessionDriver::CommandError::paneGone(const std::string& pane) {
  return {Kind::paneGone, "pane " + pane + " no longer exists"};
}

SessionDriver::CommandError SessionDriver::CommandError::optionNotFound(std::int64_t number) {
  return {Kind::optionNotFound, "option " + std::to_string(number) + " is not on screen"};
}

SessionDriver::CommandError SessionDriver::CommandError::noDetail(const std::string& ref) {
  return {Kind::noDetail, "no detail for " + ref};
}

SessionDriver::CommandError SessionDriver::CommandError::noDialog() {
  return {Kind::noDialog, "no permission dialog is open"};
}

SessionDriver::CommandError SessionDriver::CommandError::keyboardOnly() {
  return {Kind::keyboardOnly, protocol::kKeyboardOnlyText};
}

SessionDriver::CommandError SessionDriver::CommandError::awaitingAnswer(const std::string& label) {
  return {Kind::awaitingAnswer, label +
                                    " is waiting for an answer to the dialog on its screen: answer "
                                    "that request first (nothing else is sent to it until then)"};
}

SessionDriver::CommandError SessionDriver::CommandError::noQuestion(const std::string& label) {
  return {Kind::noQuestion, "no question is waiting in " + label};
}

SessionDriver::CommandError SessionDriver::CommandError::noInputBox(const std::string& label) {
  return {Kind::noInputBox, "Claude Code's input box is not on screen in " + label +
                                " (a menu or view covers it): nothing is typed or submitted "
                                "where it cannot be read back"};
}

SessionDriver::CommandError SessionDriver::CommandError::notRemotely(const std::string& what) {
  return {Kind::notRemotely, what};
}

SessionDriver::CommandError SessionDriver::CommandError::noImage(const std::string& why) {
  return {Kind::noImage, why};
}

SessionDriver::CommandError SessionDriver::CommandError::unknownProject(const std::string& id) {
  return {Kind::unknownProject, "no such project: " + id + " (list the projects again)"};
}

SessionDriver::CommandError SessionDriver::CommandError::unknownHistory(const std::string& id) {
  return {Kind::unknownHistory, "no such past session: " + id + " (list its project again)"};
}

SessionDriver::CommandError SessionDriver::CommandError::folderGone(const std::string& folder) {
  return {Kind::folderGone, "the folder " + folder + " no longer exists"};
}

SessionDriver::CommandError SessionDriver::CommandError::untrusted(const std::string& folder) {
  return {Kind::untrusted, "Claude Code has not been told to trust " + folder +
                               ": open it once at the desk, then start it from the phone"};
}

SessionDriver::CommandError SessionDriver::CommandError::cannotStart(const std::string& why) {
  return {Kind::cannotStart, why};
}

SessionDriver::CommandError SessionDriver::CommandError::cannotSwitch(const std::string& why) {
  return {Kind::cannotSwitch, why};
}

SessionDriver::CommandError SessionDriver::CommandError::staleNonce() {
  return {Kind::staleNonce, "that answer was for a different dialog \u2014 dropped"};
}

}  // namespace parley::terminal
