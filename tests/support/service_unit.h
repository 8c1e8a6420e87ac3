#pragma once
// The system service as systemd runs it, by hand: a command line of the
// unit's own (ExecStart=, ExecReload=) with its Environment= lines, %S, %t
// and %i filled in, the unit's paths moved into a test folder and our
// programs taken from the build.

#include <sys/types.h>

#include <string>
#include <vector>

// `key` is "ExecStart" or "ExecReload"; the command begins with
// /usr/bin/env and the unit's environment.
std::vector<std::string> unit_command(const std::string& root, const std::string& name,
                                      const std::string& key = "ExecStart");

// A folder of `user`'s own, as systemd makes StateDirectory= and the
// credentials. False when it cannot be made.
bool make_folder_of(const std::string& path, uid_t user, mode_t mode);
