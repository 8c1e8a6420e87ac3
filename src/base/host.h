#pragma once
// The one seam between the core and the world around it. The Qt front ends
// implement it; tests fake it (scripted message-box answers, recorded posts,
// a controllable clock). The core never calls the window system directly.

#include <cstdint>

struct HttpExchange;

// Message-box types and answers, with the values the operator's answers have
// always had, so that result codes stay comparable.
enum MessageBoxType {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_SYSTEMMODAL = 0x1000,
};
enum MessageBoxAnswer { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Window messages other parts post to the main window.
constexpr int WM_USER_LIVE_TICK = 1034;      // WM_USER+10 with parameter 4660
constexpr int LIVE_TICK_PARAM = 4660;
constexpr int WM_USER_SOCKET_EVENT = 1124;   // WM_USER+100, FD_WRITE of the station socket

// Answers of the wave-input calls, numbered as the platform's.
enum CaptureAnswer {
    CAPTURE_OK = 0,
    CAPTURE_ERROR = 1,        // the device failed (its words say why)
    CAPTURE_NO_DEVICE = 2,    // no recording device
    CAPTURE_BAD_FORMAT = 32,  // the device does not record this format
};

class Host {
public:
    virtual ~Host() = default;

    // Shows an operator message box and returns the button pressed. The
    // caption is the program title for nearly every box. `owned` says
    // whether the main window owns the box.
    virtual int message_box(const char* text, const char* caption, int type, bool owned) = 0;

    // Posts a WM_COMMAND with this command id to the main window (1910 start/stop, 158 ...).
    virtual void post_command(int command_id) = 0;
    // Posts WM_USER+10 with 4660: one live tick, run later by the message loop.
    virtual void post_live_tick() = 0;
    // Asks for a repaint of the status panel (whole client area when `all`).
    virtual void invalidate(bool all) = 0;

    // Asks to be told (on_socket_writable) when `socket` can be written again.
    virtual void request_write_notification(int socket) = 0;
    // Turns on or off the calls of on_socket_readable while `socket` has
    // datagrams waiting. The station socket is watched from its opening to
    // its closing; off while the sender's intake is full.
    virtual void set_read_notification(int socket, bool enabled) {}

    // Ends the program with this exit status. The real shell leaves the
    // message loop; the core returns from the failing call right after it.
    virtual void exit_program(int status) = 0;

    // Multimedia millisecond clock (timeGetTime): wraps at 2^32.
    virtual uint32_t time_ms() = 0;
    // Wall clock, seconds since 1970.
    virtual int64_t time_now() = 0;
    // The C library's rand(): 0..32767.
    virtual int rand() = 0;

    // Opens a file with the platform's handler for the verb ("open" a text file
    // in the text editor). Returns a value above 32 on success, 2 or 3 when the
    // file or path is missing, other small values for other failures.
    virtual int shell_open(const char* verb, const char* file, const char* parameters,
                           const char* directory) = 0;

    // Runs a modal dialog of the front end (Build Script, Settings, ...) and
    // returns its result: 1 for OK, 0 when cancelled or when the front end
    // has no such dialog (the headless station has none).
    virtual int run_dialog(int dialog_id) { return 0; }

    // An operator message that must not stop anything (the Icecast output
    // lost or back): a line in the headless log, a box without a modal loop
    // in the window. The default shows an ordinary box.
    virtual void notice(const char* text) { message_box(text, "Radio Velmora Broadcaster (tm)", MB_OK | MB_ICONWARNING, false); }
    // Called from the Icecast output's worker thread, and only to post: the
    // front end runs on_icecast_event (icecast/icecast_output.h) on the one
    // thread soon after.
    virtual void post_icecast_event() {}

    // Posts a close message to the main window: the front end ends the
    // program in an orderly way (Exit of the Station menu).
    virtual void post_close() {}

    // ---- Wave input: the sound card, or a source standing in for it ----
    // Always 8-bit mono PCM at `rate` samples per second. A front end
    // without any recording device keeps these defaults (no device).
    //
    // Whether the default recording device records at `rate`, asked without
    // opening it: CAPTURE_OK, CAPTURE_BAD_FORMAT or another refusal.
    virtual int capture_query(int rate) { return CAPTURE_NO_DEVICE; }
    // Opens the default recording device at `rate`. On failure returns the
    // code and puts the device's words for it in `error_text`.
    virtual int capture_open(int rate, char* error_text, int error_size) {
        if (error_size > 0) error_text[0] = '\0';
        return CAPTURE_NO_DEVICE;
    }
    // Queues a buffer: recording fills `length` bytes of `data`, then the
    // front end posts the buffer back to the one thread, where it calls
    // on_capture_buffer(ctx, buffer_id, bytes recorded). Buffers fill in the
    // order they were queued; the data stays the core's.
    virtual void capture_add_buffer(int buffer_id, uint8_t* data, int length) {}
    virtual void capture_start() {}
    // Stops recording: every queued buffer comes back at once, posted like a
    // full one (with the bytes recorded so far), and none is queued after.
    virtual void capture_reset() {}
    virtual void capture_close() {}

    // Runs one HTTP exchange of the directory client (web/http_client.h):
    // looks up exchange.connect_host while its phase is HTTP_LOOKING_UP,
    // connects to connect_addr:connect_port, sends `request` once connected,
    // and reports each event (http_lookup_done, http_connected,
    // http_received in chunks of at most 4095 bytes, http_closed,
    // http_failed, http_timed_out after timeout_ms from the connection
    // attempt) until the phase is HTTP_DONE. It returns only then, serving
    // the program's other timers and sockets meanwhile (a nested event loop).
    // The default has no network: the exchange fails at once.
    virtual void run_http_exchange(HttpExchange& exchange);

    // The proxy dialog after a 401 or 407: shows the four proxy values of the
    // per-user registry (web/proxy_settings.h), with server and port locked
    // and the hint "Please re-enter the user id and password." when
    // `reauthenticate` (the refused attempt went through a proxy). Returns 1
    // after OK saved them (save_proxy_settings), so the request is tried
    // again; 0 when the dialog was closed without OK (Escape, window close)
    // or the front end has none: the request then fails.
    virtual int proxy_dialog(bool reauthenticate) { return 0; }
};
