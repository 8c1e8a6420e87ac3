#pragma once
// Station-list files: the station's record, which listener programs use to
// find it, in the program directory ("%08lX.vsl" named after the station's
// address, and "listen.vsl"), and the records the station directory gets.

#include <cstdint>
#include <string>

struct StationIdentity;

// The tag of this station's directory account; it ends with "Pro".
constexpr const char* ACCOUNT_TAG = "VelmoraPro";

// "%08lX.vsl" of the open station: the address bytes from last to first
// (192.168.1.2 gives "0201A8C0.vsl").
std::string station_list_file_name(uint32_t local_addr_host);
// The local record: the zero-padded address and the station name, the
// category, the web address, the description (four lines).
std::string station_list_record(const StationIdentity& s, uint32_t local_addr_host);
// The directory's add record (six lines: the account tag after the
// address, then e-mail and location) and its remove record (two lines).
std::string directory_add_record(const StationIdentity& s, uint32_t local_addr_host);
std::string directory_remove_record(const StationIdentity& s, uint32_t local_addr_host);
