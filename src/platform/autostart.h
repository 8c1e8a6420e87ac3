#pragma once
// The entry that starts the station when the operator logs in: a desktop
// entry "Radio Velmora Broadcaster (Auto).desktop" in the per-user
// autostart folder (user_config_root() + "/autostart").

#include <string>

constexpr const char* AUTOSTART_NAME = "Radio Velmora Broadcaster (Auto)";

std::string autostart_entry_path();
// Writes the entry starting `target` (no arguments). 1 on success, 0 on failure.
int create_autostart_entry(const std::string& target);
// 1 when the entry is gone afterwards (also when there was none), 0 on failure.
int remove_autostart_entry();
bool autostart_entry_exists();
