#pragma once
// Where the station keeps its files.
//
// The program directory holds the weekday logs, the station-list files and
// userlist.txt. The environment variable VELMORA_HOME names it when set
// (tests, the demo and the system service use it). Otherwise a program run
// from its build folder keeps its files beside the executable, and an
// installed program keeps them in $XDG_STATE_HOME/velmora
// (~/.local/state/velmora): never beside /usr/bin.
//
// Per-user configuration (the settings file when it is named without a
// directory, the registry substitute, the autostart entry) lives under
// $XDG_CONFIG_HOME, or ~/.config when that is unset.

#include <string>

// Directory of the running executable (from /proc/self/exe), without the
// trailing slash; "." when it cannot be found.
std::string executable_dir();
// $VELMORA_HOME when set and non-empty, otherwise program_dir_for(executable_dir()).
std::string program_dir();
// The program directory of an executable in `exe_dir` without VELMORA_HOME:
// `exe_dir` itself inside the build folder this was compiled in, else
// user_state_dir().
std::string program_dir_for(const std::string& exe_dir);
// $XDG_STATE_HOME/velmora (when absolute) or $HOME/.local/state/velmora.
std::string user_state_dir();
// $XDG_CONFIG_HOME (when absolute) or $HOME/.config, without "/velmora".
std::string user_config_root();
// user_config_root() + "/velmora": where the settings file lives by default.
std::string user_config_dir();
// Creates `path` and its missing parents (mode 0755). 1 on success, 0 on failure.
int make_directories(const std::string& path);
// The part of `path` before its last slash ("" when there is none).
std::string directory_of(const std::string& path);
// `name` as seen from the folder of `file`: a relative name is joined to
// that folder; an absolute or empty name, or a `file` without a folder,
// leaves it as it is. Scripts name their songs and pictures this way, so a
// script works from any current folder.
std::string resolve_beside(const std::string& file, const std::string& name);
// Where the service manager put the credential `name` for this program
// (systemd's LoadCredential=: $CREDENTIALS_DIRECTORY/name); "" when it
// gave none.
std::string service_credential_path(const std::string& name);
// A relative `name` seen from the folder of `from_file`, written as seen
// from the folder of `to_file`, so that it still names the same file: a
// relative name when one leads there, else the absolute one. Absolute and
// empty names stay as they are.
std::string rebase_beside(const std::string& name, const std::string& from_file, const std::string& to_file);
