#pragma once
// The titles by which the window journeys find velmora-broadcaster's
// windows on their X display (regular expressions, as xdotool takes them).

// The main window's caption carries the listener count in brackets.
constexpr const char* kMainWindow = "Broadcaster \\(tm\\) .*\\[";
// A message box has the bare program title.
constexpr const char* kMessageBox = "^Radio Velmora Broadcaster \\(tm\\)$";
