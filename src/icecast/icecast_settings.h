#pragma once
// The Icecast output's settings (keys ICECAST_URL, ICECAST_USER,
// ICECAST_PASSWORD, ICECAST_PASSWORD_FILE, ICECAST_FORMAT, ICECAST_BITRATE
// of the settings file)
// and the checks shared by the station's start and the settings dialog.

#include <string>
#include <vector>

enum IcecastFormat { ICECAST_OPUS = 0, ICECAST_MP3 = 1 };

constexpr const char* ICECAST_USER_DEFAULT = "source";
constexpr int ICECAST_OPUS_BITRATE_DEFAULT = 96;  // kbit/s: near transparent
constexpr int ICECAST_MP3_BITRATE_DEFAULT = 128;
// What both encoders take at every sampling rate the station has.
constexpr int ICECAST_BITRATE_MIN = 8;
constexpr int ICECAST_BITRATE_MAX = 320;
constexpr int ICECAST_URL_MAX = 255;
constexpr int ICECAST_FIELD_MAX = 127;  // user and password

// Where the stream goes: "http://HOST:PORT/MOUNT" taken apart.
struct IcecastTarget {
    std::string host;
    int port = 8000;
    std::string mount;  // starts with '/'
};

// Takes "http://HOST[:PORT]/MOUNT" apart (port 8000 when none is given).
// Returns 1, or 0 with *problem saying what is wrong with the text.
int parse_icecast_url(const std::string& url, IcecastTarget* target, std::string* problem);

// "opus" or "mp3" (letter case ignored); -1 for anything else.
int parse_icecast_format(const std::string& text);
const char* icecast_format_name(int format);
// The bit rate a format uses when the key is empty or 0.
int icecast_default_bitrate(int format);
// Why ICECAST_BITRATE cannot be `kbits` ("" when it can): 8 to 320 kbit/s.
// Empty or 0 in the settings file is the format's default and no problem.
std::string icecast_bitrate_problem(long kbits);

// The output's keys: ICECAST_URL, ICECAST_USER, ICECAST_PASSWORD,
// ICECAST_FORMAT, ICECAST_BITRATE and ICECAST_PASSWORD_FILE, as the settings
// file holds them (the format as written; a bit rate of 0 for an empty key).
struct IcecastSettings {
    std::string url;  // empty: no Icecast output
    std::string user = ICECAST_USER_DEFAULT;
    std::string password;
    std::string format = "opus";
    int bitrate = 0;  // kbit/s; 0: the format's default
    std::string password_file;  // a file holding the password instead
};


// What is wrong with one key, in words that name it.
struct IcecastProblem {
    const char* key;  // "ICECAST_URL"
    std::string text;
};

// Every key's problem, in the order of the keys; none for an empty URL (no
// output), whatever the other keys hold.
std::vector<IcecastProblem> icecast_settings_problems(const IcecastSettings& settings);

// 1, or 0 with *problem the first of icecast_settings_problems.
int check_icecast_settings(const IcecastSettings& settings, std::string* problem);

// The name of the service manager's credential that holds the password
// (systemd: LoadCredential=icecast-password:/etc/velmora/NAME.password).
constexpr const char* ICECAST_PASSWORD_CREDENTIAL = "icecast-password";

// The password the output logs in with, and where it came from: the first
// line of the file ICECAST_PASSWORD_FILE names (relative to the settings
// file's folder); without that key, the service manager's credential
// ICECAST_PASSWORD_CREDENTIAL when there is one; otherwise ICECAST_PASSWORD.
struct IcecastPassword {
    std::string password;
    std::string file;  // "" when it is ICECAST_PASSWORD
    std::string key;   // the key or credential that named the file, for messages
    bool from_credential = false;  // the service manager's, guarded by it
};
// 1, or 0 with *problem naming the file and the system's reason.
int read_icecast_password(const IcecastSettings& settings, const std::string& settings_file,
                          IcecastPassword* password, std::string* problem);
