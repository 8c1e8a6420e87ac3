#pragma once
// The BMP test run on a picture before it is taken into a script, a live
// list or the settings.

// 0 when the file is a usable BMP, 1 when it is not, 2 when it cannot be opened.
int check_picture_file(const char* path);
