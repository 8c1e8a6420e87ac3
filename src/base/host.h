#pragma once
// The one seam between the core and the world around it. The Qt front ends
// implement it; tests fake it (scripted message-box answers, recorded posts,
// a controllable clock). The core never calls the window system directly.

#include <cstdint>

#include "base/commands.h"
#include "platform/shell_open.h"

struct HttpExchange;

// What an operator message box offers and shows. Call sites spell a style
// as `Buttons::yes_no | Icon::question`, adding `| BoxFlag::system_modal`
// for a box that holds the whole program; a lone Buttons or Icon is a style
// too (no icon; an OK button).
enum class Buttons { ok, ok_cancel, yes_no, yes_no_cancel };
enum class Icon { none, error, question, warning, information };
enum class BoxFlag { system_modal };
// The button the operator pressed.
enum class Answer { ok, cancel, yes, no };

struct BoxStyle {
    Buttons buttons = Buttons::ok;
    Icon icon = Icon::none;
    bool system_modal = false;

    constexpr BoxStyle() = default;
    constexpr BoxStyle(Buttons b) : buttons(b) {}
    constexpr BoxStyle(Icon i) : icon(i) {}
    constexpr BoxStyle(Buttons b, Icon i, bool modal = false)
        : buttons(b), icon(i), system_modal(modal) {}
    bool operator==(const BoxStyle&) const = default;
    // Whether the box asks Yes or No (with or without Cancel).
    constexpr bool asks_yes_no() const {
        return buttons == Buttons::yes_no || buttons == Buttons::yes_no_cancel;
    }
};

constexpr BoxStyle operator|(Buttons buttons, Icon icon) {
    return BoxStyle(buttons, icon);
}
constexpr BoxStyle operator|(BoxStyle style, BoxFlag) {
    style.system_modal = true;
    return style;
}

// Dialogs the front end may run for a command (Host::run_dialog).
enum class Dialog {
    script_builder,
    options,
    picture_preparation,
    expert_settings,
    about,
    live_list_editor,
    station_info,
    load_script,  // the "Load Script" file dialog; loads the chosen script
};

// Answers of the wave-input calls.
enum class CaptureAnswer {
    ok,
    error,       // the device failed (its words say why)
    no_device,   // no recording device
    bad_format,  // the device does not record this format
};

class Host {
public:
    virtual ~Host() = default;

    // Shows an operator message box and returns the button pressed. The
    // caption is the program title for nearly every box. `owned` says
    // whether the main window owns the box.
    virtual Answer message_box(const char* text, const char* caption, BoxStyle style,
                               bool owned) = 0;

    // Posts a command to the main window's event loop: on_command runs it later.
    virtual void post_command(Command command) = 0;
    // Posts one live tick: on_live_tick runs it later from the event loop.
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
    // in the text editor) and says what became of it.
    virtual OpenResult shell_open(const char* verb, const char* file, const char* parameters,
                           const char* directory) = 0;

    // Runs a modal dialog of the front end (Build Script, Settings, ...) and
    // returns its result: 1 for OK, 0 when cancelled or when the front end
    // has no such dialog (the headless station has none).
    virtual int run_dialog(Dialog dialog) { return 0; }

    // An operator message that must not stop anything (an output of the
    // program lost or back): a line in the headless log, a box without a
    // modal loop in the window. The default shows an ordinary box.
    virtual void notice(const char* text) {
        message_box(text, "Radio Velmora Broadcaster (tm)", Buttons::ok | Icon::warning, false);
    }
    // Called from an output's own thread (media/program_sink.h), and only to
    // post: the front end has every output take its news on the one thread
    // soon after (on_output_event, app/controller.h).
    virtual void post_output_event() {}

    // Posts a close message to the main window: the front end ends the
    // program in an orderly way (Exit of the Station menu).
    virtual void post_close() {}

    // An operator is there to mend what keeps a start from binding (the
    // window): the start is refused and the program goes on. Without one
    // (the headless station) the bind failure ends the program with status 3.
    virtual bool refuses_start_it_cannot_bind() const { return false; }

    // ---- Wave input: the sound card, or a source standing in for it ----
    // The buffers are always 8-bit mono PCM at `rate` samples per second. A
    // front end without any recording device keeps these defaults (no device).
    //
    // Whether the default recording device records at `rate`, asked without
    // opening it: ok, bad_format or another refusal.
    virtual CaptureAnswer capture_query(int rate) { return CaptureAnswer::no_device; }
    // Opens the default recording device at `rate`. On failure returns the
    // code and puts the device's words for it in `error_text`.
    virtual CaptureAnswer capture_open(int rate, char* error_text, int error_size) {
        if (error_size > 0) error_text[0] = '\0';
        return CaptureAnswer::no_device;
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
    // After a successful capture_open: the channels (1 or 2) of the 16-bit
    // recording at the device's own rate that the front end hands with each
    // buffer for the program's outputs, 0 when it hands none (the outputs
    // then take the 8-bit samples).
    virtual int capture_program_channels() { return 0; }
    // While recording runs but the device is lost (it failed, went away, or
    // its input ended), what happened to it; null while it records. The
    // buffers still come back, with silence.
    virtual const char* capture_fault() { return nullptr; }

    // Runs one HTTP exchange of the directory client (web/http_client.h):
    // looks up exchange.connect_host while its phase is HTTP_LOOKING_UP,
    // connects to connect_addr:connect_port, sends `request` once connected,
    // and reports each event (http_lookup_done, http_connected,
    // http_received in chunks of at most 4095 bytes, http_closed,
    // http_failed, http_timed_out after timeout_ms from the connection
    // attempt) until the phase is HTTP_DONE. It returns only then, serving
    // the program's other timers and sockets meanwhile (a nested event loop).
    // A front end without a network fails the exchange at once.
    virtual void run_http_exchange(HttpExchange& exchange) = 0;

    // The proxy dialog after a 401 or 407: shows the four proxy values of the
    // per-user registry (web/proxy_settings.h), with server and port locked
    // and the hint "Please re-enter the user id and password." when
    // `reauthenticate` (the refused attempt went through a proxy). Returns 1
    // after OK saved them (save_proxy_settings), so the request is tried
    // again; 0 when the dialog was closed without OK (Escape, window close)
    // or the front end has none: the request then fails.
    virtual int proxy_dialog(bool reauthenticate) { return 0; }
};
