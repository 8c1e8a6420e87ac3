#pragma once
// Opens a file or a web address with the desktop's handler (xdg-open), the
// way the Log and Help menus open texts and pages. Does not wait for the
// handler: returns as soon as it has been started.
//
// The environment variable VELMORA_OPENER names another opener program
// (tests use it; a headless station can point it at a pager script).

// Result codes keep the meaning the callers test for:
constexpr int SHELL_FILE_NOT_FOUND = 2;   // the file does not exist
constexpr int SHELL_PATH_NOT_FOUND = 3;   // its directory does not exist
constexpr int SHELL_NO_HANDLER = 31;      // no opener could be started
constexpr int SHELL_STARTED = 33;         // above 32: success

// `verb` is accepted for "open" only (anything else gives SHELL_NO_HANDLER).
// `parameters` and `directory` may be null; `directory` becomes the opener's
// working directory. Addresses with "://" are not checked for existence.
// The opener program: VELMORA_OPENER when set, else "xdg-open".
const char* shell_opener();

int shell_open_file(const char* verb, const char* file, const char* parameters,
                    const char* directory);
