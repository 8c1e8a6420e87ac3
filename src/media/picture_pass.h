#pragma once
// Preparing pictures for broadcast: after a script or live list is saved,
// every picture it names is loaded once through the picture service, which
// prepares it for the tile coder and keeps the prepared ".dbp" copy next to
// it, so that the broadcast later loads it without the transform.
//
// Like the song job it runs step by step, one entry per call, so the window
// repaints in between (or a command-line loop shows its progress).

#include <set>
#include <string>

#include "codec/picture_coder.h"
#include "media/script_text.h"

struct PictureSlots;
struct Services;

enum PicturePassResult {
    PICTURE_PASS_DONE = 0,     // nothing (left) to do; the dialog closes
    PICTURE_PASS_RUNNING = 1,  // call again
};

struct PicturePass {
    ScriptText text;
    std::string path;        // the script or live list: relative pictures lie beside it
    int position = 0;        // start of the next line in text
    int line = 1;            // the line of the current entry (the header is line 1)
    bool script_mode = true; // script entries carry a song before the picture
    int total = 0;           // entries the header announces
    int done = 0;            // entries handled
    int prepared = 0;        // distinct pictures loaded and prepared (or found prepared)
    int failed = 0;          // distinct pictures named but not shown or not prepared
    std::set<std::string> handled;  // pictures already prepared or refused in this pass
    bool open = false;
    std::string picture;     // the picture of the current entry (control 1062)
    // Why the current entry's picture cannot be shown ("32 bits per pixel:
    // ..."), or what the listeners get of it when that is less than the
    // picture ("120 x 80: the listeners get 96 x 64"); "" when neither.
    std::string problem;
    std::string note;
    char count_text[32] = "";  // "%d left" (control 1091)
    // Follows prepare_picture of the current picture (percent); optional.
    PictureProgress progress;
};

// Opens the pass over a saved script (script_mode) or live list. Returns the
// number of entries to handle; 0 when no file is named or it cannot be read
// (the dialog closes at once).
int open_picture_pass(Services& services, PicturePass& pass, const char* path, bool script_mode);

// Handles the next entry: shows how many are left and, when it names a
// picture, loads and prepares it, noting a problem or what the listeners
// get of it. A picture smaller than one tile (refused before anything is
// written), one whose prepared copy would replace the script itself or
// could not be written, counts as failed. A picture named again is passed
// over: it is prepared and counted once. After the last entry the
// main picture slot is given back what the station shows (or emptied) and
// the pass closes.
int picture_pass_step(Services& services, PictureSlots& pictures, PicturePass& pass);
