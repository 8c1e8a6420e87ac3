#pragma once
// The per-user registry: values (text or integer) stored under a key path
// such as "Software\Velmora software\Velmora Media Player\Settings", kept in
// the INI file "registry.ini" of the per-user configuration directory, one
// section per key path, one line per value.

#include <string>

std::string registry_file_path();
// Copies the value into `out` (at most size - 1 characters, always
// terminated; emptied first). 0 on success, -1 when the value is missing.
int registry_read_string(const char* key_path, const char* name, char* out, int size);
// Creates the key as needed. 1 on success, 0 on failure (empty key path or name, write error).
int registry_write_string(const char* key_path, const char* name, const char* value);
int registry_write_int(const char* key_path, const char* name, int value);
