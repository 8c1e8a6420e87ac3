#pragma once
// Opening and closing the station: the program sequences the station
// socket, the listener table, the logo, the station-list files, the
// directory, the script table and the sender's song files.

struct Context;

// Empties the listener table and the resend store, opens the station socket
// (server/station_socket.h), loads the logo, writes the station-list files
// and marks the directory listing as due (the controller lists the station
// once its first tick is out). `multicast_group` is the group text when multicast is on, else
// null or empty; `logo_path` may be empty. Returns 1 with the socket open
// and the bound address in ctx.station.local_addr_net; 0 after a fatal
// error, when the program is already ending (the exit status went to the
// host) and the caller must stop.
int open_station(Context& ctx, const char* host_name, const char* multicast_group,
                 const char* logo_path, const char* station_name);

// Says goodbye to the master, closes the socket, frees what the broadcast
// held (the pictures, the script table and, for a script broadcast, the
// song files) and leaves the directory last. Does nothing when no socket is
// open.
void close_station(Context& ctx);
