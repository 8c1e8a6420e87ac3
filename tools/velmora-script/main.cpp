// velmora-script: writes, shows and edits the station's scripts from the
// command line.
//
//   velmora-script new OUT.VSK SONG... [--picture BMP] [--text TEXT] [--repeat N]
//                  [--settings FILE] [--force]
//   velmora-script add SCRIPT.VSK SONG... [--picture BMP] [--text TEXT] [--repeat N] [--at N]
//   velmora-script new-live OUT.VLS [PICTURE...] [--text TEXT] [--seconds N]
//                  [--settings FILE] [--force]
//   velmora-script add-live LIST.VLS [PICTURE...] [--text TEXT] [--seconds N] [--at N]
//   velmora-script remove FILE.VSK|FILE.VLS N...
//   velmora-script show FILE.VSK|FILE.VLS
//
// A script is a file of lines each ended by a zero byte: the header
// "%d %d %03d SCRIPT" (entries, sampling rate, rate percentage), then one
// entry a line, `%d "%s" "%s" %s` (repeat count, song, picture, text). A
// live list has the header "%d %d LIVE" and entries `%d "%s" %s` (seconds
// shown, picture, text). Songs and pictures are written relative to the
// file's folder, where the station and velmora-compress look for them. A
// file is replaced through a temporary file renamed into place, and an
// existing file of the other kind (or none) is never written. Exit status:
// 0 done, 1 a file or an entry was refused (nothing written), 2 wrong usage.

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/console_host.h"
#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "base/version.h"
#include "codec/stream_rate.h"
#include "media/script_file.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "platform/paths.h"
#include "platform/replace_file.h"
#include "media/picture_check.h"

namespace {

constexpr int kRefused = 1;
constexpr int kUsageError = 2;
constexpr long kMaxRepeat = 999;
constexpr long kMaxSeconds = 86400;
constexpr long kNewLiveSeconds = 360;  // as the live list editor starts an entry

void usage(FILE* out) {
    fprintf(out,
            "usage:\n"
            "  velmora-script new OUT.VSK SONG... [--picture BMP] [--text TEXT] [--repeat N]\n"
            "                 [--settings FILE] [--force]\n"
            "  velmora-script add SCRIPT.VSK SONG... [--picture BMP] [--text TEXT] [--repeat N]\n"
            "                 [--at N]\n"
            "  velmora-script new-live OUT.VLS [PICTURE...] [--text TEXT] [--seconds N]\n"
            "                 [--settings FILE] [--force]\n"
            "  velmora-script add-live LIST.VLS [PICTURE...] [--text TEXT] [--seconds N] [--at N]\n"
            "  velmora-script remove FILE.VSK|FILE.VLS N...\n"
            "  velmora-script show FILE.VSK|FILE.VLS\n"
            "  velmora-script --help | --version\n"
            "\n"
            "  new       writes a script of the songs (WAV files, or .VMA files already\n"
            "            compressed) for the station of --settings (default: lumo.ini in\n"
            "            ~/.config/velmora); --force replaces an existing script\n"
            "  add       adds songs to a script, at the end or as entry N (--at)\n"
            "  new-live  writes a live list, the pictures and texts of a live broadcast:\n"
            "            one entry a picture, or one text-only entry when no picture is\n"
            "            named; the station shows the list LiveScript names\n"
            "  add-live  adds entries to a live list, at the end or as entry N (--at)\n"
            "  remove    removes entries N... (numbered as show prints them)\n"
            "  show      prints a script or a live list\n"
            "\n"
            "--picture, --text and --repeat apply to every song named with them: the\n"
            "picture shown and the text sent while the song plays, and how often it\n"
            "plays in a row (0: one song of a random group; default 1).\n"
            "--text and --seconds apply to every live entry: the text sent with the\n"
            "picture and how long both stay up (default 360 seconds).\n"
            "Then run velmora-compress on the script to prepare its songs and pictures.\n");
}

int usage_error(const std::string& problem) {
    fprintf(stderr, "velmora-script: %s\n", problem.c_str());
    fprintf(stderr, "(velmora-script --help shows the usage)\n");
    return kUsageError;
}

int refuse(const std::string& problem) {
    fprintf(stderr, "velmora-script: %s\n", problem.c_str());
    return kRefused;
}

bool parse_number(const char* text, long low, long high, long* value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || *end || v < low || v > high) return false;
    *value = v;
    return true;
}

struct Options {
    std::string command;
    std::vector<std::string> arguments;  // after the command: the file, then songs or numbers
    std::string picture;
    std::string text;
    std::string settings;
    long repeat = 1;
    long seconds = kNewLiveSeconds;
    long at = 0;  // 0: at the end
    bool force = false;
    std::vector<std::string> given;  // the options used, to check they suit the command
};

// Returns a problem, or "" when the command line is usable.
std::string parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takes_value = arg == "--picture" || arg == "--text" || arg == "--repeat" ||
                           arg == "--settings" || arg == "--at" || arg == "--seconds";
        if (takes_value && !value) return arg + " needs a value";
        if (arg == "--picture") {
            o.picture = value;
        } else if (arg == "--text") {
            o.text = value;
        } else if (arg == "--settings") {
            o.settings = value;
        } else if (arg == "--repeat") {
            if (!parse_number(value, 0, kMaxRepeat, &o.repeat))
                return "--repeat takes 0 to " + std::to_string(kMaxRepeat) + ", not " + value;
        } else if (arg == "--seconds") {
            if (!parse_number(value, 1, kMaxSeconds, &o.seconds))
                return "--seconds takes 1 to " + std::to_string(kMaxSeconds) + ", not " + value;
        } else if (arg == "--at") {
            if (!parse_number(value, 1, SCRIPT_MAX_ENTRIES, &o.at))
                return std::string("--at takes an entry number from 1, not ") + value;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.arguments.push_back(arg);
        }
        if (arg[0] == '-') o.given.push_back(arg);
        if (takes_value) ++i;
    }
    std::vector<std::string> allowed;
    size_t least = 1;
    if (o.command == "new") {
        allowed = {"--picture", "--text", "--repeat", "--settings", "--force"};
        least = 2;
    } else if (o.command == "add") {
        allowed = {"--picture", "--text", "--repeat", "--at"};
        least = 2;
    } else if (o.command == "new-live") {
        allowed = {"--text", "--seconds", "--settings", "--force"};
    } else if (o.command == "add-live") {
        allowed = {"--text", "--seconds", "--at"};
    } else if (o.command == "remove") {
        least = 2;
    } else if (o.command != "show") {
        return o.command.empty() ? "no command given" : "unknown command " + o.command;
    }
    for (const std::string& option : o.given)
        if (std::find(allowed.begin(), allowed.end(), option) == allowed.end())
            return option + " does not go with " + o.command;
    if (o.arguments.empty() && (o.command == "new-live" || o.command == "add-live"))
        return o.command + " needs a live list";
    if (o.arguments.size() < least)
        return o.command == "show" ? "show needs a file" : o.command + " needs a script and " +
                                                               (o.command == "remove" ? "entry numbers" : "songs");
    if (o.command == "show" && o.arguments.size() > 1) return "show takes one file";
    const bool live = o.command == "new-live" || o.command == "add-live";
    if (live && o.arguments.size() < 2 && o.text.empty())
        return o.command + " needs pictures or a --text";
    return "";
}

// ---- reading ------------------------------------------------------------

// A script or live list as lines: the header, the entry lines its count
// takes (lines of zero length are no entries) and whatever follows them,
// which is kept as it is.
struct ListFile {
    bool script = false;  // "SCRIPT" ends the header; otherwise "LIVE"
    int declared = 0;     // the header's entry count
    int rate = 0;
    int percent = 0;      // scripts only
    std::vector<std::string> entries;
    std::string rest;
};

std::string system_error(const std::string& path) { return path + ": " + strerror(errno); }

std::string entries_text(size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// Reads a script or live list. 1, or 0 with *problem.
int read_list_file(Context& ctx, const std::string& path, ListFile& file, std::string* problem) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return *problem = system_error(path), 0;
    // A FIFO or a device would never end.
    if (!S_ISREG(info.st_mode)) return *problem = path + " is not a regular file", 0;
    ScriptText text;
    if (!read_script_text(path.c_str(), text))
        return *problem = path + ": cannot be read (or is larger than a script may be)", 0;

    int position = 0, count = 0;
    char rate[SCRIPT_NAME_SIZE], percent[SCRIPT_NAME_SIZE], word[SCRIPT_TEXT_SIZE];
    parse_script_line(ctx, text.bytes.data(), &position, &count, rate, percent, word);
    if (strcmp(word, "SCRIPT") == 0) {
        file.script = true;
        file.percent = script_number(percent);
    } else {
        position = 0;
        parse_list_line(ctx, text.bytes.data(), &position, &count, rate, word);
        if (strcmp(word, "LIVE") != 0)
            return *problem = path + " is neither a script nor a live list (its first line ends in "
                                     "neither SCRIPT nor LIVE)",
                   0;
    }
    file.declared = count;
    file.rate = script_number(rate);
    int wanted = std::clamp(count, 0, SCRIPT_MAX_ENTRIES);
    while (static_cast<int>(file.entries.size()) < wanted && position < text.length) {
        std::string line(text.bytes.data() + position);
        position += static_cast<int>(line.size()) + 1;
        if (!line.empty()) file.entries.push_back(line);
    }
    if (position < text.length) file.rest.assign(text.bytes.data() + position, text.length - position);
    return 1;
}

std::string list_bytes(const ListFile& file) {
    char header[96];
    const int count = static_cast<int>(file.entries.size());
    snprintf(header, sizeof header, "%d %d LIVE", count, file.rate);
    std::string bytes = file.script ? script_header(count, file.rate, file.percent) : header;
    bytes += '\0';
    for (const std::string& entry : file.entries) bytes += entry + '\0';
    return bytes + file.rest;
}

int write_list(const std::string& path, const ListFile& file) {
    if (!replace_file(path, list_bytes(file))) return refuse("cannot write " + system_error(path));
    return 0;
}

// ---- entries -------------------------------------------------------------

bool ends_with(const std::string& name, const char* tail) {
    size_t n = strlen(tail);
    return name.size() >= n && strcasecmp(name.c_str() + name.size() - n, tail) == 0;
}

// The name under which the script at `script_path` finds `file` (a path
// from the current folder): relative to the script's folder. Checked to be
// a name the script's lines can hold, and one the station can open.
bool name_in_script(const std::string& script_path, const std::string& file, std::string* name,
                    std::string* problem) {
    namespace fs = std::filesystem;
    fs::path absolute = fs::absolute(file).lexically_normal();
    fs::path folder = fs::absolute(script_path).lexically_normal().parent_path();
    fs::path relative = absolute.lexically_relative(folder);
    *name = relative.empty() ? absolute.string() : relative.string();
    if (name->find_first_of("\";") != std::string::npos) {
        *problem = file + ": a script cannot name a file with a quote or a semicolon in its name";
        return false;
    }
    std::string opened = resolve_beside((folder / "x").string(), *name);
    if (opened.size() >= static_cast<size_t>(SCRIPT_NAME_SIZE)) {
        *problem = file + ": the station takes file names of at most " +
                   std::to_string(SCRIPT_NAME_SIZE - 1) + " characters, this one has " +
                   std::to_string(opened.size());
        return false;
    }
    return true;
}

bool is_regular_file(const std::string& path, std::string* problem) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return *problem = "cannot use " + system_error(path), false;
    if (!S_ISREG(info.st_mode)) return *problem = path + " is not a regular file", false;
    return true;
}

// The name under which the list finds `picture` (none when empty), after
// the station's picture check. 1, or 0 with *problem.
bool picture_in_list(const std::string& list_path, const std::string& picture, std::string* name,
                     std::string* problem) {
    name->clear();
    if (picture.empty()) return true;
    if (!is_regular_file(picture, problem)) return false;
    if (check_picture_file(picture.c_str()) != 0)
        return *problem =
                   picture + ": the station shows 8- and 24-bit uncompressed BMP pictures only",
               false;
    return name_in_script(list_path, picture, name, problem);
}

// The text as the readers will give it back: blanks around it are dropped,
// and a ";" would cut the line. 1, or 0 with *problem.
bool entry_text(std::string text, std::string* out, std::string* problem) {
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    if (text.find(';') != std::string::npos)
        return *problem = "a text cannot hold a semicolon: it would end the entry's line", false;
    if (text.size() >= static_cast<size_t>(SCRIPT_TEXT_SIZE))
        return *problem =
                   "a text holds at most " + std::to_string(SCRIPT_TEXT_SIZE - 1) + " characters",
               false;
    *out = text;
    return true;
}

// Appends the text and checks the line's length. 1, or 0 with *problem.
int finish_line(const std::string& what, const std::string& text, std::string* line,
                std::string* problem) {
    if (!text.empty()) *line += " " + text;
    if (line->size() >= static_cast<size_t>(SCRIPT_LINE_SIZE))
        return *problem = what + ": the entry is longer than a line may be (" +
                          std::to_string(SCRIPT_LINE_SIZE - 1) + " characters)",
               0;
    return 1;
}

// The entry line for `song` with the options' picture, text and repeat
// count. 1, or 0 with *problem.
int make_entry(const std::string& script_path, const std::string& song, const Options& o,
               std::string* line, std::string* problem) {
    if (!ends_with(song, ".wav") && !ends_with(song, ".vma"))
        return *problem = song + ": a song is a WAV file (.wav) or a compressed one (.VMA)", 0;
    std::string song_name, picture_name;
    if (!is_regular_file(song, problem) || !name_in_script(script_path, song, &song_name, problem))
        return 0;
    std::string text;
    if (!picture_in_list(script_path, o.picture, &picture_name, problem) ||
        !entry_text(o.text, &text, problem))
        return 0;
    *line = std::to_string(o.repeat) + " \"" + song_name + "\" \"" + picture_name + "\"";
    return finish_line(song, text, line, problem);
}

// A live-list entry line: `picture` (may be empty) shown for --seconds with
// --text. 1, or 0 with *problem.
int make_live_entry(const std::string& list_path, const std::string& picture, const Options& o,
                    std::string* line, std::string* problem) {
    std::string picture_name, text;
    if (!picture_in_list(list_path, picture, &picture_name, problem) ||
        !entry_text(o.text, &text, problem))
        return 0;
    *line = std::to_string(o.seconds) + " \"" + picture_name + "\"";
    return finish_line(picture.empty() ? "the entry" : picture, text, line, problem);
}

// The entry lines for every song of the command, or a refusal.
int make_entries(const std::string& script_path, const Options& o,
                 std::vector<std::string>* lines) {
    for (size_t i = 1; i < o.arguments.size(); ++i) {
        std::string line, problem;
        if (!make_entry(script_path, o.arguments[i], o, &line, &problem)) return refuse(problem);
        lines->push_back(line);
    }
    return 0;
}

// The live entries of the command: one a picture, or one text-only entry.
int make_live_entries(const std::string& list_path, const Options& o,
                      std::vector<std::string>* lines) {
    std::vector<std::string> pictures(o.arguments.begin() + 1, o.arguments.end());
    if (pictures.empty()) pictures.push_back("");
    for (const std::string& picture : pictures) {
        std::string line, problem;
        if (!make_live_entry(list_path, picture, o, &line, &problem)) return refuse(problem);
        lines->push_back(line);
    }
    return 0;
}

// ---- commands ------------------------------------------------------------

// An existing file `new` or `new-live` would replace: only a file of the
// same kind, and only with --force.
int check_replaceable(Context& ctx, const std::string& out, bool script, bool force) {
    struct stat info;
    if (stat(out.c_str(), &info) != 0) return 0;
    ListFile existing;
    std::string problem;
    if (!read_list_file(ctx, out, existing, &problem))
        return refuse(problem + "; " + out + " is left as it is");
    if (existing.script != script)
        return refuse(out +
                      (script ? " is a live list, not a script" : " is a script, not a live list") +
                      "; it is left as it is");
    if (!force) return refuse(out + " exists; --force replaces it");
    return 0;
}

// The settings of --settings (or the default file) into ctx.
int read_station_settings(Context& ctx, const Options& o) {
    std::string settings_file, problem;
    if (!find_settings_file(o.settings.c_str(), &settings_file, &problem)) return refuse(problem);
    setup_paths(ctx, settings_file);
    if (!load_tool_settings(ctx)) return kRefused;
    return 0;
}

int new_script(Context& ctx, const Options& o) {
    const std::string& out = o.arguments[0];
    if (int refused = check_replaceable(ctx, out, true, o.force)) return refused;
    if (int refused = read_station_settings(ctx, o)) return refused;

    ListFile script;
    script.script = true;
    script.rate = ctx.state.SamplingRate;
    script.percent = stream_rate_percent(ctx.state);  // what velmora-compress will compress at
    if (int refused = make_entries(out, o, &script.entries)) return refused;
    if (int failed = write_list(out, script)) return failed;
    printf("wrote %s: %s for %d Hz at %d %% (%d bytes per second)\n", out.c_str(),
           entries_text(script.entries.size()).c_str(), script.rate, script.percent,
           script.rate * script.percent / 100);
    return 0;
}

int new_live_list(Context& ctx, const Options& o) {
    const std::string& out = o.arguments[0];
    if (int refused = check_replaceable(ctx, out, false, o.force)) return refused;
    if (int refused = read_station_settings(ctx, o)) return refused;
    ListFile list;
    list.rate = ctx.state.SamplingRate;
    if (int refused = make_live_entries(out, o, &list.entries)) return refused;
    if (int failed = write_list(out, list)) return failed;
    printf("wrote %s: live list of %s for %d Hz\n", out.c_str(),
           entries_text(list.entries.size()).c_str(), list.rate);
    return 0;
}

// Reads the file an edit works on; a file of the other kind is refused.
int read_list_for_edit(Context& ctx, const std::string& path, bool script, ListFile& file) {
    std::string problem;
    if (!read_list_file(ctx, path, file, &problem)) return refuse(problem);
    if (file.script != script)
        return refuse(path +
                      (script ? " is a live list, not a script" : " is a script, not a live list") +
                      "; it is left as it is");
    return 0;
}

// Inserts the entries made by `make` as --at says (at the end without it).
int add_entries(Context& ctx, const Options& o, bool script) {
    const std::string& path = o.arguments[0];
    ListFile file;
    if (int refused = read_list_for_edit(ctx, path, script, file)) return refused;
    long last = static_cast<long>(file.entries.size()) + 1;
    if (o.at > last)
        return refuse("--at " + std::to_string(o.at) + ": the " + (script ? "script" : "list") +
                      " has " + entries_text(file.entries.size()));
    std::vector<std::string> added;
    if (int refused = script ? make_entries(path, o, &added) : make_live_entries(path, o, &added))
        return refused;
    if (file.entries.size() + added.size() > static_cast<size_t>(SCRIPT_MAX_ENTRIES))
        return refuse("a list holds at most " + std::to_string(SCRIPT_MAX_ENTRIES) + " entries");
    long at = o.at ? o.at - 1 : last - 1;
    file.entries.insert(file.entries.begin() + at, added.begin(), added.end());
    if (int failed = write_list(path, file)) return failed;
    printf("%s: %s\n", path.c_str(), entries_text(file.entries.size()).c_str());
    return 0;
}

int remove_from_script(Context& ctx, const Options& o) {
    const std::string& path = o.arguments[0];
    ListFile script;
    std::string problem;
    if (!read_list_file(ctx, path, script, &problem)) return refuse(problem);
    std::vector<long> numbers;
    for (size_t i = 1; i < o.arguments.size(); ++i) {
        long n = 0;
        if (!parse_number(o.arguments[i].c_str(), 1, static_cast<long>(script.entries.size()), &n))
            return refuse(path + " has no entry " + o.arguments[i] + " (it has " +
                          entries_text(script.entries.size()) + ")");
        numbers.push_back(n);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    if (numbers.size() == script.entries.size())
        return refuse(std::string(script.script ? "a script" : "a live list") +
                      " needs one entry at least; " + path + " is left as it is");
    for (auto n = numbers.rbegin(); n != numbers.rend(); ++n) script.entries.erase(script.entries.begin() + (*n - 1));
    if (int failed = write_list(path, script)) return failed;
    printf("%s: %s\n", path.c_str(), entries_text(script.entries.size()).c_str());
    return 0;
}

// What the station will find of a song or picture the file names.
std::string file_note(const std::string& list_path, const char* name, bool song) {
    std::string path = resolve_beside(list_path, name);
    if (!song) {
        int check = check_picture_file(path.c_str());
        return check == 2 ? "  (missing)" : check == 1 ? "  (not a BMP the station can show)" : "";
    }
    std::string played = path.size() >= 3 ? path.substr(0, path.size() - 3) + "VMA" : path;
    if (file_size(played.c_str()) >= 0) return "";
    return file_size(path.c_str()) >= 0 ? "  (not compressed yet)" : "  (missing)";
}

int show(Context& ctx, const Options& o) {
    const std::string& path = o.arguments[0];
    ListFile file;
    std::string problem;
    if (!read_list_file(ctx, path, file, &problem)) return refuse(problem);
    if (file.script)
        printf("%s: script of %s for %d Hz at %d %% (%d bytes per second)\n", path.c_str(),
               entries_text(file.entries.size()).c_str(), file.rate, file.percent,
               file.rate * file.percent / 100);
    else
        printf("%s: live list of %s for %d Hz\n", path.c_str(),
               entries_text(file.entries.size()).c_str(), file.rate);
    if (file.declared != static_cast<int>(file.entries.size()))
        printf("  (the header announces %d entries)\n", file.declared);

    int number = 0;
    for (const std::string& line : file.entries) {
        int position = 0, count = 0;
        char song[SCRIPT_NAME_SIZE] = "", picture[SCRIPT_NAME_SIZE], text[SCRIPT_TEXT_SIZE];
        if (file.script)
            parse_script_line(ctx, line.c_str(), &position, &count, song, picture, text);
        else
            parse_list_line(ctx, line.c_str(), &position, &count, picture, text);
        std::string shown = file.script ? (count == 0 ? "random" : std::to_string(count) + " x")
                                        : std::to_string(count) + " s";
        printf("%4d  %-7s", ++number, shown.c_str());
        if (file.script) printf("  \"%s\"%s", song, file_note(path, song, true).c_str());
        if (picture[0]) printf("  picture \"%s\"%s", picture, file_note(path, picture, false).c_str());
        if (text[0]) printf("  text \"%s\"", text);
        printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-script", usage)) return 0;
    Options options;
    std::string problem = parse_options(argc, argv, options);
    if (!problem.empty()) return usage_error(problem);

    ConsoleHost host;
    auto ctx = make_context(host);
    if (options.command == "new") return new_script(*ctx, options);
    if (options.command == "add") return add_entries(*ctx, options, true);
    if (options.command == "new-live") return new_live_list(*ctx, options);
    if (options.command == "add-live") return add_entries(*ctx, options, false);
    if (options.command == "remove") return remove_from_script(*ctx, options);
    return show(*ctx, options);
}
