#pragma once
// The proxy settings in the per-user registry and the two registry routines
// the web client uses. The password is stored scrambled with a key derived
// from the user id (scrambling, not encryption: the registry file is
// readable by its owner only).

#include <string>

// Where the proxy values live in the per-user registry.
constexpr const char* PROXY_KEY_PATH = "Software\\Velmora software\\Velmora Media Player\\Settings";
constexpr int PROXY_FIELD_MAX = 127;  // characters of each of the four values

struct ProxySettings {
    std::string server;    // host name or dotted address; empty: no proxy
    int port = 0;          // 0: the target port is used
    std::string user_id;
    std::string password;  // unscrambled
};

// Reads the value at `path` ("key path\value name") into `out` (emptied
// first, at most size - 1 characters). 0 on success, -1 when the value is
// missing, 1 when the path is empty.
int reg_read_string(const char* path, char* out, int size);
// Writes `text` as value `name` under `key_path`, typed by its prefix:
// "REG_BINARY:" hex pairs (stored as "hex:" and the pairs), "REG_DWORD:" one
// hex number (stored as its decimal value), "REG_SZ:" or none the text
// itself. 1 on success; 0 on a write failure or an empty key path (then
// nothing is written).
int reg_write_value(const char* key_path, const char* name, const char* text);

// Reads the four values; the password is unscrambled with the stored user
// id's key. Returns non-zero when a proxy server is set.
int load_proxy_settings(ProxySettings& proxy);
// Stores the four values as the proxy dialog does: the port as decimal text
// (empty for 0), the password scrambled with the key of `user_id` as hex.
// 1 on success, 0 when the registry cannot be written.
int save_proxy_settings(const ProxySettings& proxy);
