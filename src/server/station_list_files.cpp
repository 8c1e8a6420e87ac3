#include "server/station_list_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "base/station_identity.h"
#include "platform/replace_file.h"
#include "server/server_settings.h"
#include "server/station_socket.h"
#include "wire/station_list.h"

int write_station_lists(Services& services, StationSocket& station) {
    const uint32_t local_addr_host = station.local_addr_host;
    std::string record = station_list_record(*station.identity, local_addr_host);
    int written = 0;
    for (const std::string& name : {station_list_file_name(local_addr_host), std::string("listen.vsl")}) {
        std::string path = services.program_dir + "/" + name;
        if (replace_file(path, record)) {
            ++written;
        } else {
            show_message(services, true, Buttons::ok | Icon::warning,
                         "Cannot write the station list %s: %s", path.c_str(), strerror(errno));
        }
    }
    const int port = station.settings->STATION_PORT;
    if (port != STATION_PORT_DEFAULT && !station.lists_without_port_told) {
        station.lists_without_port_told = true;
        const uint32_t a = local_addr_host;
        char text[400];
        snprintf(text, sizeof text,
                 "The station uses port %d: its station lists (%s, listen.vsl) carry no port, so "
                 "listeners that use them look on port %d. Give listeners the address with its "
                 "port: %u.%u.%u.%u:%d",
                 port, station_list_file_name(a).c_str(), STATION_PORT_DEFAULT, a >> 24,
                 a >> 16 & 255, a >> 8 & 255, a & 255, port);
        services.host->notice(text);
    }
    return written == 2 ? 1 : 0;
}
