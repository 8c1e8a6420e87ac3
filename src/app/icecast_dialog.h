#pragma once
// The decisions of the Icecast dialog (opened from Expert Settings)
// without a window: what it shows for the stored ICECAST_* keys and what
// its OK checks and writes. The keys count from the next start of
// broadcasting.

#include <string>

struct Context;
struct StationState;

// The formats in list order: "opus" (Ogg Opus) and "mp3".
constexpr int ICECAST_FORMAT_COUNT = 2;
extern const char* const ICECAST_FORMAT_LABELS[ICECAST_FORMAT_COUNT];

struct IcecastView {
    std::string url;
    std::string user;
    std::string password;
    int format = 0;            // index into ICECAST_FORMAT_LABELS
    std::string bitrate;       // kbit/s; empty: the format's default
};
IcecastView icecast_view(const StationState& state);
// "empty: 96 kbit/s" for the chosen format: what an empty bit rate means.
std::string icecast_bitrate_hint(int format);

// A settings checker's problem in the dialog's words: each key becomes the
// label of its field ("ICECAST_URL" -> "Server and mount").
std::string icecast_field_words(std::string problem);

// OK: checks every field (a wrong one is told by its label, the dialog
// stays open: 0),
// then stores ICECAST_URL, ICECAST_USER, ICECAST_PASSWORD, ICECAST_FORMAT
// and ICECAST_BITRATE in memory and in the settings file. With a password
// in a file that others can read, the operator is told to keep it to
// himself. 1 when the dialog may close.
int icecast_ok(Context& ctx, const IcecastView& entered);
