#include "wire/station_list.h"

#include <cstdio>

#include "base/station_identity.h"

namespace {

std::string padded_address(uint32_t a) {
    char text[20];
    snprintf(text, sizeof text, "%03u.%03u.%03u.%03u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    return text;
}

}  // namespace

std::string station_list_file_name(uint32_t local_addr_host) {
    uint32_t a = local_addr_host;
    uint32_t reversed = (a & 255) << 24 | (a >> 8 & 255) << 16 | (a >> 16 & 255) << 8 | a >> 24;
    char name[16];
    snprintf(name, sizeof name, "%08X.vsl", reversed);
    return name;
}

std::string station_list_record(const StationIdentity& s, uint32_t local_addr_host) {
    return padded_address(local_addr_host) + " " + s.StationName + "\n" +
           s.StationCategory + "\n" + s.WWW_URL + "\n" + s.WWW_DESC + "\n";
}

std::string directory_add_record(const StationIdentity& s, uint32_t local_addr_host) {
    return padded_address(local_addr_host) + " " + ACCOUNT_TAG + " " + s.StationName +
           "\n" + s.StationCategory + "\n" + s.WWW_URL + "\n" + s.WWW_DESC + "\nEMAIL:" +
           s.StationEMAIL + "\nLOCATION:" + s.StationLocation + "\n";
}

std::string directory_remove_record(const StationIdentity& s, uint32_t local_addr_host) {
    return padded_address(local_addr_host) + " " + ACCOUNT_TAG + "\n" +
           s.StationCategory + "\n";
}
