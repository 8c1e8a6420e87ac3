#pragma once
// Pieces the settings dialogs share.

#include <string>

class QDialog;
class QHBoxLayout;
class QLineEdit;
class QPushButton;

// A line edit holding `text` that takes at most `limit` characters (never
// for paths: a path is not cut, it is refused).
QLineEdit* limited_edit(const std::string& text, int limit);
// The row of "OK" (the default button) and "Cancel", right-aligned; Cancel
// rejects `dialog`. OK is connected by the dialog.
QHBoxLayout* ok_cancel_row(QDialog* dialog, QPushButton** ok, QPushButton** cancel);
