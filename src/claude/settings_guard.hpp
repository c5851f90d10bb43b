#pragma once

// What a rewrite of Claude Code's settings must keep. The installer checks
// the document it is about to write against the one it read: no other
// tool's hook command may go, and no value of a shape it did not expect may
// be replaced. Either would be a person's settings lost.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <set>
#include <string>
#include <vector>

namespace parley::claude {

// Every "command" string under the document's "hooks".
std::set<std::string> handlerCommandsIn(const boost::json::object& document);

// Commands in `before` that `after` lacks, the relay's own (`relay`) apart.
std::vector<std::string> droppedCommands(const std::set<std::string>& before,
                                         const std::set<std::string>& after,
                                         const std::set<std::string>& relay);

// Where `merged` no longer holds what `original` held ("hooks.Stop[0]"), a
// relay command rewritten to `canonical` apart.
std::vector<std::string> replacedValues(const boost::json::value& original,
                                        const boost::json::value& merged,
                                        const std::set<std::string>& relayCommands,
                                        const std::string& canonical);

}  // namespace parley::claude
