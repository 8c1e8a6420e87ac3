#pragma once
// The main window's logic without drawing: commands, start and stop of a
// broadcast, the 128 ms pacing timer, hidden keys and the orderly shutdown.
// The front ends feed it the window's messages; it reaches back only through
// the Host.

#include "base/commands.h"

struct Context;
struct ProgramAudio;
struct ScriptRates;
struct SettingsReport;

// Hidden keys acted on when released: the sampling rates (with the device
// rate each records at) while idle, and the transfer rate up or down by 125.
enum class HiddenKey {
    rate_11025,
    rate_22050,
    rate_32000,
    rate_44100,
    rate_16000,
    rate_8000,
    transfer_up,
    transfer_down,
};

constexpr const char* ONLINE_HELP_URL = "http://127.0.0.1/velmora/help.html";
constexpr int PACE_TIMER_MS = 128;

// Start-up without windows: settings file from the command line, paths,
// settings, the live ring. Returns 1, or 0 when the station cannot run
// (after a message). Without a sound card (`no_sound_card`) the operator is
// told that live broadcasting is off, and the feed is the script.
// `needs_station_info` tells the front end to ask for the station's details
// (the settings name no location). `report`, when given, gets what is wrong
// with the settings file and its values (check_settings_file, load_settings,
// check_network_settings); the front end tells it (tell_settings_problems).
int controller_startup(Context& ctx, const char* settings_file, bool no_sound_card,
                       bool* needs_station_info, SettingsReport* report = nullptr);

void on_command(Context& ctx, Command command_id);
void start_broadcast(Context& ctx, bool menu_form);
void stop_broadcast(Context& ctx);
void finish_stop(Context& ctx);
// Live sending began or ended: the start/stop button works again.
void on_start_button_ready(Context& ctx);
// The 128 ms timer of a front end with one timer: the panel's rhythm and the
// script ticks that are due.
void pace_tick(Context& ctx);
// The 128 ms timer of a front end that paces the ticks with a timer of its
// own (send_due_ticks): the panel's rhythm only.
void panel_tick(Context& ctx);
// Sends the script ticks that are due: at most two per call while the clock
// is late, none of a stall longer than two seconds (seq jumps by whole
// super-blocks). Returns the milliseconds until it wants to be called again.
int send_due_ticks(Context& ctx);
// One live tick (Host::post_live_tick): sends a block while live sending runs.
void on_live_tick(Context& ctx);
// An output of the program had news (Host::post_output_event).
void on_output_event(Context& ctx);
// A capture buffer came back from the device (the front end posts this),
// with the device's 16-bit recording of the same time for the outputs when
// it makes one (Host::capture_program_channels).
void on_capture_buffer(Context& ctx, int buffer_id, int recorded,
                       const ProgramAudio* program = nullptr);
// The station socket can be written again.
void on_socket_writable(Context& ctx);
// The station socket has datagrams waiting.
void on_socket_readable(Context& ctx);
void on_key_released(Context& ctx, HiddenKey key);
// The window's close box: 1 when the window may close (after closing the
// station), 0 while a broadcast runs (after telling the operator).
int on_close_request(Context& ctx);

void update_start_menu(Context& ctx);
void update_broadcast_menu(Context& ctx);
// After Build Script and Settings: the codec rate follows the feed's material.
void refresh_rate(Context& ctx);

// Opens the script at `path` for a broadcast (open_script; the count goes
// to the script table) and takes the rates its songs were compressed at.
int open_station_script(Context& ctx, const char* path);
// A loaded script's rates become the stream's: the songs are sent as they
// were compressed (the settings file keeps its own values).
void take_script_rates(Context& ctx, const ScriptRates& rates);
// The packet interval of a sampling rate: 2048 samples in milliseconds.
int send_interval_for_rate(int sampling_rate);
