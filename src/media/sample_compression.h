#pragma once
// Preparing songs for broadcasting: a work list of WAV songs, each
// compressed into a sample file (".VMA") at the station's rates and its
// companion (".V40") at the doubled transfer rate.
//
// The job runs step by step so that a window timer (or a command-line loop)
// can drive it and the window stays responsive: one call of song_job_step
// compresses one super-block of 16384 samples (16 frame encodes).
//
//   open_song_job (a saved script) or open_conversion_job (one WAV file)
//   start_song_job                       -- "Compress"
//   song_job_step ... until SONG_JOB_FINISHED
//   end_song_job                         -- the dialog closes
//
// cancel_song_job asks the operator first while a song is being compressed.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/codec_frame.h"
#include "codec/super_block.h"
#include "media/filtered_resampler.h"
#include "media/wave_conversion.h"
#include "platform/safe_files.h"

struct CodecState;
struct Services;
struct StreamRate;

// Status characters of a work-list line.
constexpr char SONG_WAITING = '#';  // to be compressed
constexpr char SONG_BUSY = '*';     // being compressed; alternates with '#' every step
constexpr char SONG_DONE = 'c';     // done, or already up to date
constexpr char SONG_REFUSED = 'x';  // could not be compressed

// The list box shows the destination from this column on.
constexpr int SONG_LINE_DESTINATION_COLUMN = 256;

// Companion files are coded at twice the transfer rate, but never above this
// many bytes per second.
constexpr int COMPANION_RATE_CAP = 7000;

// A "fmt " chunk with a rate beyond these is not audio we can read. Above,
// one pass of source bytes would be absurdly large; below, each source byte
// would be stretched into thousands of samples, and a song of a few
// megabytes into files of gigabytes.
constexpr uint32_t SOURCE_RATE_MIN = 1000;
constexpr uint32_t SOURCE_RATE_MAX = 768000;

constexpr const char* CANCEL_QUESTION = "There are files being compressed, are you sure to CANCEL?";

struct SongLine {
    char status = SONG_WAITING;
    std::string source;
    std::string destination;
    // Why the line was refused, in plain words naming the file and the
    // cause; the window shows its own message boxes, a command line prints
    // this instead.
    std::string problem;
    // What the user should know of a line compressed all the same (a WAV
    // cut off before the end its header states), naming the file.
    std::string note;
    int script_line = 0;  // the line of the script that names the song; 0 for one file
};

// A script line that was not taken as it stands, and why.
struct ScriptProblem {
    int line = 0;
    std::string text;
};

enum SongJobResult {
    SONG_JOB_IDLE = 0,      // nothing is being compressed (or a step is already running)
    SONG_JOB_RUNNING = 1,   // call again
    SONG_JOB_FINISHED = 2,  // the last line is done; the dialog closes
};

struct SongJob {
    std::vector<SongLine> lines;
    int current = 0;                  // index of the line being worked on
    std::string script_path;          // the script whose header is rewritten; empty for one file
    int script_entries = 0;           // entry lines read from the script
    std::string problem;              // why the script could not be opened
    std::vector<ScriptProblem> script_problems;  // lines skipped or taken otherwise than written
    int kept_rate_percent = 0;        // the highest rate code among songs already compressed
    int saved_rate_percent = 32;      // rate_percent before the job opened; restored at its end
    bool force = false;               // compress even songs whose files are up to date
    bool filter = false;              // resample through a low-pass filter instead of picking
    bool compressing = false;
    bool in_step = false;             // re-entry guard: a message box inside a step pumps messages

    // Rates of this run, taken when it starts.
    int station_rate = 0;
    int transfer_rate = 0;
    int companion_transfer_rate = 0;
    int main_rate_code = 0;
    int companion_rate_code = 0;

    // The song being compressed; no file is open between songs. The
    // outputs are temporary files until the song is complete.
    FILE* source = nullptr;
    OutputFile destination;
    OutputFile companion;
    PcmLayout layout;
    uint32_t source_rate = 0;
    uint32_t data_size = 0;
    uint32_t bytes_left = 0;
    bool end_of_data = false;
    int pass_samples = 0;             // output samples made per pass
    int pass_bytes = 0;               // source bytes read per pass
    FilteredResampler resampler;      // open while a song is resampled through the filter

    // Progress for the status text (1090) and for command-line loops.
    char status_text[128] = "Compressing samples for broadcasting...";
    int percent = 0;

    std::vector<uint8_t> input;  // one pass of source bytes
    uint8_t block[kSuperBlockSamples] = {};
    uint8_t frames[kFramesPerSuperBlock][kFrameSamples] = {};
    uint8_t encoded[kMaxFrameBytes] = {};

    SongJob() = default;
    SongJob(const SongJob&) = delete;
    SongJob& operator=(const SongJob&) = delete;
    ~SongJob();
};

// Opens the job for a saved script: every entry becomes a line (a relative
// song name taken from the script's folder, as the station takes it); a song
// named ".WAV" (any case) waits to be compressed into the same name with
// ".VMA", any other song is taken as compressed already (its rate code
// raises the kept rate percentage). Rewrites the script header with the
// station's sampling rate and the kept percentage (the station's own
// percentage while no compressed song tells one). Returns the number of
// lines waiting (0: nothing to do, the dialog closes at once), or -1 when
// the file cannot be read or is not a script (after a message and with the
// cause in job.problem; the file is left untouched).
//
// Lines the station would not play as the user meant them are refused with
// their cause: no song named, a song name longer than 255 characters (the
// station would read it cut), and a compressed song the station cannot
// play (missing, not a sample file, made at another sampling rate, cut
// off). A header count below 1, entry lines beyond the count and picture
// names longer than 255 characters go to job.script_problems.
int open_song_job(Services& services, CodecState& codec, const StreamRate& rate, SongJob& job,
                  const char* script_path);

// Opens the job for one file, as the "Wave" dialog returns it.
// The destination is taken through song_destination_name.
void open_conversion_job(Services& services, CodecState& codec, SongJob& job, const std::string& source,
                         const std::string& destination);

// Appends a waiting line ("&Add"); the destination is taken through
// song_destination_name.
void add_song_line(SongJob& job, const std::string& source, const std::string& destination);

// The list-box text of a line: status, blank, source, blanks up to column
// 256, destination.
std::string song_line_text(const SongLine& line);

// "&Compress": takes the station's rates (set_rate), rewrites the script
// header with the rate percentage in force, and starts. Returns 1, or 0 when
// the list is empty.
int start_song_job(Services& services, CodecState& codec, const StreamRate& rate, SongJob& job);

// One step: opens the next song that is not up to date, or compresses one
// super-block of the current one, or closes it. Returns SONG_JOB_RUNNING
// while work remains, SONG_JOB_FINISHED after the last line, SONG_JOB_IDLE
// when nothing is being compressed.
//
// A song is up to date as song_out_of_date says. A song is opened only once its source has
// been read as far as its samples and found usable; its files are written
// under temporary names and renamed into place when the song is complete,
// and an output that is the same file as the source or the script (links
// followed) is refused, so no song is ever lost to a refused source, a
// cancel or a crash.
int song_job_step(Services& services, CodecState& codec, SongJob& job);

// The file the station plays for a song a script names: the name with its
// last three characters replaced by "VMA".
std::string played_song_name(const std::string& song);

// Why a compressed song the station would play is of no use (missing, not
// a sample file, made at another sampling rate, cut off), naming the file;
// "" when the station can play it.
std::string compressed_song_problem(const std::string& path, int sampling_rate);

// The rate codes of a song's main file and of its companion at these rates.
void song_rate_codes(int sampling_rate, int transfer_rate, int* main_code, int* companion_code);

// Why the prepared files of `source` at `destination` (and its companion)
// must be made again, naming the file; "" when they are up to date: both
// carry this sampling rate and these rate codes, neither is older than the
// source, and both hold the record of having been made from the source as
// it is now (platform/source_record.h). Files without the record, made
// before it was kept or copied without it, are made again.
std::string song_out_of_date(const std::string& source, const std::string& destination,
                             int sampling_rate, int main_code, int companion_code);

// "C&ancel": while compressing, asks CANCEL_QUESTION; No returns 0 and the
// job goes on. Otherwise stops (the song being compressed keeps its old
// files, if it had any), ends the job and returns 1.
int cancel_song_job(Services& services, CodecState& codec, SongJob& job);

// Closes whatever is open and restores the rate_percent in force before the
// job opened.
void end_song_job(Services& services, CodecState& codec, SongJob& job);

// Number of lines marked refused.
int refused_songs(const SongJob& job);

// Replaces the first line of a script with "%d %d %03d SCRIPT". A header of
// the old length is written in place; one of another length rewrites the
// whole file through a temporary file renamed over it, so neither stray
// characters of the old header nor a clipped first entry can remain.
// Returns 1, or 0 when the file cannot be read or written (it is then left
// as it was).
int rewrite_script_header(const char* path, int count, int sampling_rate, int percent);
