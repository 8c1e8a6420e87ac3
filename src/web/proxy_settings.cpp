#include "web/proxy_settings.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "web/text_routines.h"

namespace {

bool take_prefix(std::string& text, const char* prefix) {
    size_t length = strlen(prefix);
    if (text.compare(0, length, prefix) != 0) return false;
    text.erase(0, length);
    return true;
}

std::string read_value(const char* name) {
    char out[PROXY_FIELD_MAX + 1];
    std::string path = std::string(PROXY_KEY_PATH) + "\\" + name;
    reg_read_string(path.c_str(), out, sizeof out);
    return out;
}

}  // namespace

int reg_read_string(const char* path, char* out, int size) {
    if (!out || size <= 0) return -1;
    out[0] = '\0';
    if (!path || !*path) return 1;
    const char* slash = strrchr(path, '\\');
    if (!slash) return -1;
    std::string key_path(path, static_cast<size_t>(slash - path));
    return registry_read_string(key_path.c_str(), slash + 1, out, size);
}

int reg_write_value(const char* key_path, const char* name, const char* text) {
    if (!key_path || !*key_path || !name || !text) return 0;
    std::string value = text;
    if (take_prefix(value, "REG_BINARY:")) {
        std::vector<uint8_t> bytes(value.size() / 2 + 1);
        int count = hex_decode(value.c_str(), bytes.data());
        std::string hex(2 * static_cast<size_t>(count) + 1, '\0');
        hex_encode(bytes.data(), hex.data(), count);
        hex.resize(2 * static_cast<size_t>(count));
        return registry_write_string(key_path, name, ("hex:" + hex).c_str());
    }
    if (take_prefix(value, "REG_DWORD:")) {
        unsigned long number = strtoul(value.c_str(), nullptr, 16);
        return registry_write_string(key_path, name,
                                     std::to_string(static_cast<uint32_t>(number)).c_str());
    }
    take_prefix(value, "REG_SZ:");
    return registry_write_string(key_path, name, value.c_str());
}

int load_proxy_settings(ProxySettings& proxy) {
    proxy.server = read_value("ProxyServer");
    proxy.port = atoi(read_value("ProxyPort").c_str());
    proxy.user_id = read_value("ProxyUserID");
    std::string hex = read_value("ProxyPassword");
    std::vector<uint8_t> bytes(hex.size() / 2 + 1);
    int count = hex_decode(hex.c_str(), bytes.data());
    xor_keystream(bytes.data(), count, password_key(proxy.user_id.c_str()));
    // The password ends at its first NUL, as a C string would.
    proxy.password.assign(reinterpret_cast<char*>(bytes.data()),
                          strnlen(reinterpret_cast<char*>(bytes.data()), static_cast<size_t>(count)));
    return !proxy.server.empty();
}

int save_proxy_settings(const ProxySettings& proxy) {
    std::string server = proxy.server.substr(0, PROXY_FIELD_MAX);
    std::string user_id = proxy.user_id.substr(0, PROXY_FIELD_MAX);
    std::string password = proxy.password.substr(0, PROXY_FIELD_MAX);
    std::vector<uint8_t> bytes(password.begin(), password.end());
    xor_keystream(bytes.data(), static_cast<int>(bytes.size()), password_key(user_id.c_str()));
    std::string hex(2 * bytes.size() + 1, '\0');
    hex_encode(bytes.data(), hex.data(), static_cast<int>(bytes.size()));
    hex.resize(2 * bytes.size());
    std::string port = proxy.port > 0 ? std::to_string(proxy.port) : "";
    // Every value as text ("REG_SZ:"), so a server name that starts like a
    // type prefix is stored as typed.
    return reg_write_value(PROXY_KEY_PATH, "ProxyServer", ("REG_SZ:" + server).c_str()) &&
           reg_write_value(PROXY_KEY_PATH, "ProxyPort", ("REG_SZ:" + port).c_str()) &&
           reg_write_value(PROXY_KEY_PATH, "ProxyUserID", ("REG_SZ:" + user_id).c_str()) &&
           reg_write_value(PROXY_KEY_PATH, "ProxyPassword", ("REG_SZ:" + hex).c_str());
}
