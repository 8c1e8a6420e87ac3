#pragma once
// Opens a file or a web address with the desktop's handler (xdg-open), the
// way the Log and Help menus open texts and pages. Does not wait for the
// handler: returns as soon as it has been started.
//
// The environment variable VELMORA_OPENER names another opener program
// (tests use it; a headless station can point it at a pager script).

// What became of a request to open.
enum class OpenResult {
    started,         // the opener runs
    file_not_found,  // the file does not exist
    path_not_found,  // its directory does not exist
    no_handler,      // no opener could be started
};

// `verb` is accepted for "open" only (anything else gives no_handler).
// `parameters` and `directory` may be null; `directory` becomes the opener's
// working directory. Addresses with "://" are not checked for existence.
// The opener program: VELMORA_OPENER when set, else "xdg-open".
const char* shell_opener();

OpenResult shell_open_file(const char* verb, const char* file, const char* parameters,
                    const char* directory);
