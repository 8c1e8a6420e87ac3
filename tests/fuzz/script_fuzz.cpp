// Fuzz target: scripts (".VSK") and live lists as every reader of them takes
// them: the script loaders (with the operator answering No, then Yes, to a
// script made for other settings), the live-list loaders, the header reader,
// the editors' reader and writer, and the song job, which rewrites the
// header line.
//
// Input layout: the whole file, zero-terminated lines: a header
// ("count rate percent SCRIPT" or "count rate LIVE"), then entries
// ("count song picture text" or "seconds picture text"); ";" starts a
// comment, a field may be quoted. The file lies in this process's temporary
// directory, so relative names are found beside it: "a.VMA", "a.V40",
// "b.VMA", "a.bmp" and "logo.bmp".
//
// Checked beside the sanitizers: after every load the table and the entry
// count agree and every field is terminated inside its record; a script the
// song job refuses is left untouched, and one it takes keeps every byte
// after its header line; what an editor reads it writes back so that it
// reads the same entries again.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "app/context.h"
#include "fuzz/fuzz_support.h"
#include "media/entry_list.h"
#include "media/live_list.h"
#include "media/sample_compression.h"
#include "media/script_file.h"
#include "media/script_table.h"
#include "support/fake_host.h"
#include "support/station_script.h"
#include "support/temp_dir.h"

namespace {

void check_table(const Context& ctx, int result) {
    FUZZ_CHECK(result >= -1 && result <= SCRIPT_MAX_ENTRIES);
    FUZZ_CHECK(static_cast<size_t>(ctx.script.script_entries) == ctx.script.entries.size());
    FUZZ_CHECK(ctx.script.loaded == (ctx.script.script_entries > 0));
    if (result >= 0) FUZZ_CHECK(result == ctx.script.script_entries);
    for (const ScriptEntry& e : ctx.script.entries) {
        FUZZ_CHECK(memchr(e.song, 0, sizeof e.song) != nullptr);
        FUZZ_CHECK(memchr(e.picture, 0, sizeof e.picture) != nullptr);
        FUZZ_CHECK(memchr(e.text, 0, sizeof e.text) != nullptr);
    }
}

// The bytes after the first zero byte: what a header rewrite must keep.
std::string after_header(const std::string& bytes) {
    size_t zero = bytes.find('\0');
    return zero == std::string::npos ? "" : bytes.substr(zero + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    const std::string song = music_sample_file(11025, 32, 2);
    write_fuzz_file("a.VMA", song);
    write_fuzz_file("a.V40", song);
    write_fuzz_file("b.VMA", music_sample_file(8000, 25, 1));
    write_fuzz_file("a.bmp", gradient_bmp(40, 33));
    write_fuzz_file("logo.bmp", gradient_bmp(64, 64));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = write_fuzz_file("fuzz.VSK", bytes);
    FakeHost host;
    static std::unique_ptr<Context> fresh;
    Context& ctx = renew_context(fresh, host);
    ctx.state.SamplingRate = 11025;
    ctx.state.TransferRate = 3528;

    host.answers.push_back(Answer::no);  // a script for other settings: not this one
    check_table(ctx, load_station_script(ctx, path.c_str()));
    host.answers.clear();
    check_table(ctx, open_station_script_songs(ctx, path.c_str()));
    check_table(ctx, load_live_list(ctx, ctx.script, path.c_str()));
    check_table(ctx, open_live_list(ctx, ctx.script, path.c_str()));

    for (EntryListKind kind : {SCRIPT_LIST, LIVE_LIST}) {
        EntryList list{.kind = kind};
        const int read = read_entry_file(ctx, list, path.c_str());
        FUZZ_CHECK(read >= -1);
        FUZZ_CHECK(static_cast<int>(list.entries.size()) == std::max(read, 0));
        for (const std::string& entry : list.entries) FUZZ_CHECK(!entry.empty() && entry.find('\0') == std::string::npos);
        if (read <= 0 || save_entry_file(ctx, ctx.state, list, fuzz_path("saved.VSK")) != 1) continue;
        EntryList again{.kind = kind};
        FUZZ_CHECK(read_entry_file(ctx, again, fuzz_path("saved.VSK").c_str()) == read);
        FUZZ_CHECK(again.entries == list.entries);
    }

    int rate = 0, percent = 0;
    FUZZ_CHECK(read_script_header(path.c_str(), &rate, &percent) == 1);

    SongJob job;
    int waiting = open_song_job(ctx, ctx.codec, ctx.state, job, path.c_str());
    FUZZ_CHECK(waiting >= -1 && waiting <= static_cast<int>(job.lines.size()));
    const std::string after = read_file(path);
    if (waiting < 0)
        FUZZ_CHECK(after == bytes);
    else
        FUZZ_CHECK(after_header(after) == after_header(bytes));
    end_song_job(ctx, ctx.codec, job);
    return 0;
}
