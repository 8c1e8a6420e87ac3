#include "support/icecast_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace {

int connect_to(const std::string& ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string http_get(const std::string& ip, int port, const std::string& path) {
    int fd = connect_to(ip, port);
    if (fd < 0) return "";
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + ip + "\r\n\r\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return "";
    }
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<size_t>(n));
    close(fd);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

std::string start_icecast_server(ChildProcess& server, const IcecastServerOptions& o) {
    if (access("/usr/bin/icecast2", X_OK) != 0) return "icecast2 is missing: run scripts/setup";
    chmod(o.folder.c_str(), 0777);
    std::string relay;
    if (!o.relay_ip.empty())
        relay = "<relay><server>" + o.relay_ip + "</server><port>" + std::to_string(o.relay_port) +
                "</port><mount>" + o.relay_mount + "</mount><local-mount>" + o.relay_mount +
                "</local-mount><on-demand>0</on-demand></relay>";
    // Root gives way to nobody: icecast2 will not serve as root.
    std::string owner = getuid() == 0
        ? "<changeowner><user>nobody</user><group>nogroup</group></changeowner>" : "";
    std::string config = o.folder + "/icecast.xml";
    write_file(config,
               "<icecast><location>loopback</location><admin>test@localhost</admin>"
               "<limits><sources>4</sources><burst-size>0</burst-size><source-timeout>5</source-timeout>"
               "</limits><authentication><source-password>" + std::string(TEST_ICECAST_PASSWORD) +
               "</source-password><admin-user>admin</admin-user><admin-password>admin-" +
               TEST_ICECAST_PASSWORD + "</admin-password></authentication>"
               "<hostname>" + o.ip + "</hostname><listen-socket><port>" + std::to_string(o.port) +
               "</port><bind-address>" + o.ip + "</bind-address></listen-socket>" + relay +
               "<paths><basedir>/usr/share/icecast2</basedir><logdir>" + o.folder + "</logdir>"
               "<webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin"
               "</adminroot><pidfile>" + o.folder + "/icecast.pid</pidfile></paths>"
               "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
               "<loglevel>3</loglevel></logging><security><chroot>0</chroot>" + owner +
               "</security></icecast>\n");
    std::string output = o.folder + "/icecast.out";
    if (!server.start({"/usr/bin/icecast2", "-c", config}, output)) return "cannot start icecast2";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = connect_to(o.ip, o.port);
        if (fd >= 0) {
            close(fd);
            return "";
        }
        if (server.wait(0) != -2) break;  // it ended
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "icecast2 did not start on " + o.ip + ":" + std::to_string(o.port) + ": " + read_file(output) +
           (access((o.folder + "/error.log").c_str(), F_OK) == 0 ? read_file(o.folder + "/error.log") : "");
}
