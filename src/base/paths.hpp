#pragma once

// Where Parley keeps its files on Linux. Every function reads the environment
// anew, so tests can point HOME and the XDG variables at a temporary tree.

#include <filesystem>

namespace parley::base {

// $HOME when set and non-empty, else the password database's entry.
std::filesystem::path homeDirectory();

// $XDG_DATA_HOME/parley, default ~/.local/share/parley: devices.json, the
// installed relay, the hook socket.
std::filesystem::path dataDirectory();

// $XDG_CONFIG_HOME/parley, default ~/.config/parley: preferences.json.
std::filesystem::path configDirectory();

// $XDG_CACHE_HOME/parley, default ~/.cache/parley: what can be lost, such as
// images uploaded from the phone.
std::filesystem::path cacheDirectory();

// $PARLEY_SOCKET when set (even empty), else hook.sock in the data directory.
// A tmux server often outlives the desktop login, so the relay may run without
// the desktop's XDG_RUNTIME_DIR; the data directory is the same from every
// login.
std::filesystem::path hookSocketPath();

}  // namespace parley::base
