#include "base/string_table.h"

namespace {

struct StringEntry {
    int id;
    const char* text;
};

const StringEntry kStrings[] = {
    {1012, "Cannot initialize Windows socket.  You must start a Windows socket before using this program."},
    {1013, "WinSock %02X.%02X detected, require version %02X.%02X"},
    {1014, "Error: %d - Cannot create input socket."},
    {1015, "Cannot create timeout timer"},
    // Settings key names, looked up by id when the settings are read.
    {1861, "AlwaysBindSocket"},
    {1862, "NetNoConnect"},
    {1866, "AudioSample11025"},
    {2000, "Name too long"},
    {2001, "Not initialized"},
    {2002, "System not ready"},
    {2003, "Version is not supported"},
    {2004, "Can't send after socket shutdown"},
    {2005, "Interrupted system call"},
    {2006, "Host not found"},
    {2007, "Try again"},
    {2008, "Non-recoverable error"},
    {2009, "Winsock not connected to the net"},
    {2010, "Bad file number"},
    {2011, "Cannot make connection"},
    {2012, "Operation now in progress"},
    {2013, "Operation already in progress"},
    {2014, "Bad address"},
    {2015, "Destination address required"},
    {2016, "Message too long"},
    {2017, "Protocol family not supported"},
    {2018, "Directory not empty"},
    {2019, "EPROCLIM returned"},
    {2020, "Too many users"},
    {2021, "Disk quota exceeded"},
    {2022, "Stale NFS file handle"},
    {2023, "Invalid argument"},
    {2024, "Too many open files"},
    {2025, "Access denied"},
    {2026, "Too many levels of symbolic links"},
    {2027, "The object is remote"},
    {2028, "Cannot initialize Winsock."},
    {2029, "Can't assign requested address"},
    {2030, "Address already in use"},
    {2031, "Address family not supported by protocol family.\nPlease check your network/internet connection."},
    {2032, "Socket type not supported"},
    {2033, "Protocol not supported"},
    {2034, "No buffer space is available"},
    {2035, "Connection timed out"},
    {2036, "Socket is already connected"},
    {2037, "Socket is not connected"},
    {2038, "Bad protocol option"},
    {2039, "Connection reset by peer"},
    {2040, "Software caused connection abort"},
    {2041, "Network is down"},
    {2042, "Network was reset"},
    {2043, "Connection refused"},
    {2044, "Host is down"},
    {2045, "Host is unreachable"},
    {2046, "Protocol is wrong type for socket"},
    {2047, "Operation not supported on socket"},
    {2048, "ICMP network unreachable"},
    {2049, "Too many references"},
    {2099, "Unknown error code"},
    {3000, "The following messages should be translated when creating a localised version"},
    {3001, "Can't allocate wave input format table."},
    {3002, "The audio waveform device can't record in the required format."},
    {3003, "Error Opening Wave Audio Input"},
    {3020, "Exit and restart program to implement this change."},
};

}  // namespace

const char* string_table_text(int id) {
    for (const StringEntry& entry : kStrings)
        if (entry.id == id) return entry.text;
    return nullptr;
}
