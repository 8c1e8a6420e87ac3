// A running station controlled from outside as an administrator does it:
// the system service started and reloaded by the unit's own lines (as an
// unprivileged user when the test runs as root), velmora-ctl against it,
// and a listener that hears each change without losing its place.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "support/child_process.h"
#include "support/service_unit.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "wire/packet.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStationPort = 34781;

// A listener speaking the station's protocol: it joins, keeps alive, and
// notes every audio seq (a gap or a new session is a lost place).
struct Listener {
    LoopbackSocket socket;
    sockaddr_in station{};
    uint32_t session = 0;
    int64_t last_seq = -1;
    int gaps = 0, sessions_changed = 0, audio = 0;
    Clock::time_point last_keepalive = Clock::now();

    Listener(const std::string& ip, const std::string& station_ip) : socket(ip.c_str()) {
        ipv4_from_dotted(station_ip.c_str(), kStationPort, &station);
    }
    void send_text(uint16_t flags, const char* text) {
        uint8_t bytes[PACKET_HEADER_SIZE + 16] = {};
        const uint16_t length = static_cast<uint16_t>(strlen(text) + 1);
        put_packet_header(PacketHeader{0, 0, flags, length}, bytes);
        memcpy(bytes + PACKET_HEADER_SIZE, text, length);
        udp_send_to(socket.fd(), bytes, PACKET_HEADER_SIZE + length, 0, &station, sizeof station);
    }
    bool join() {
        for (int attempt = 0; attempt < 40; ++attempt) {
            send_text(PF_TEXT, "hello");
            for (auto d = socket.receive(250); !d.empty(); d = socket.receive(50)) {
                const auto parts = text_parts(d);
                if (!parts.empty() && parts[0] == "STARTSEQ") {
                    session = get_packet_header(d.data()).session;
                    send_text(PF_KEEPALIVE, "alive");
                    return true;
                }
            }
        }
        return false;
    }
    // Listens until a song text `wanted` comes (true) or `ms` pass; counts
    // the audio datagrams that came first in *before.
    bool hear_text(const std::string& wanted, int ms, int* before = nullptr) {
        int audio_first = 0;
        for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            if (Clock::now() - last_keepalive > std::chrono::seconds(1)) {
                send_text(PF_KEEPALIVE, "alive");
                last_keepalive = Clock::now();
            }
            auto d = socket.receive(100);
            if (d.size() < PACKET_HEADER_SIZE) continue;
            const PacketHeader h = get_packet_header(d.data());
            if (h.flags & PF_AUDIO) {
                if (h.session != session) ++sessions_changed;
                if (last_seq >= 0 && h.seq != last_seq + 1) ++gaps;
                last_seq = h.seq;
                ++audio;
                ++audio_first;
                continue;
            }
            const auto parts = text_parts(d);
            if (parts.size() >= 2 && parts[0] == "SONGTEXT" && parts[1] == wanted) {
                if (before) *before = audio_first;
                return true;
            }
        }
        return false;
    }
};

struct ControlledStation : ::testing::Test {
    TempDir dir;
    std::string station_ip = test_ip(131);
    ChildProcess station;
    std::string root = dir.path();
    std::vector<std::string> service_env;  // /usr/bin/env and the unit's environment (and user)
    bool as_nobody = geteuid() == 0;

    void SetUp() override {
        // The demo's two songs, prepared, and a script of them.
        ASSERT_TRUE(make_folder_of(root + "/etc", geteuid(), 0755));
        ASSERT_EQ(run_program({program_path("velmora-make-demo"), dir.file("etc/media")}).status, 0);
        const std::string media = dir.file("etc/media");
        ProgramResult made = run_program({program_path("velmora-compress"), media + "/demo.VSK",
                                          "--settings", media + "/demo.ini"});
        ASSERT_EQ(made.status, 0) << made.output;
        chmod(root.c_str(), 0755);
        const uid_t user = as_nobody ? 65534 : geteuid();
        ASSERT_TRUE(make_folder_of(root + "/state/velmora/radio", user, 0700));
        ASSERT_TRUE(make_folder_of(root + "/run/velmora/radio", user, 0700));
        write_file(root + "/etc/radio.ini",
                   "[VelmoraStation]\nSamplingRate=22050\nTransferRate=4000\nBANDWIDTH=512000\n"
                   "Mode=0\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\nSTATION_PORT=" +
                       std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(132) +
                       "\nStationName=Controlled\nStationLocation=Loopback\nStationScript=" + media +
                       "/demo.VSK\n");
        ASSERT_EQ(system(("chmod -R a+rX '" + root + "/etc'").c_str()), 0);
    }
    // A command of the unit, run as the service's user.
    std::vector<std::string> as_service(std::vector<std::string> command) {
        if (as_nobody)
            command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                             "--clear-groups", "--"});
        return command;
    }
    std::string output() { return read_file(dir.file("station.out")); }
    bool start() {
        if (!station.start(as_service(unit_command(root, "radio")), dir.file("station.out"), root)) return false;
        for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
            if (output().find("control socket ") != std::string::npos) return true;
            if (station.wait(0) != -2) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // velmora-ctl as the service's own reload line runs it, with COMMAND instead of reload.
    ProgramResult ctl(const std::vector<std::string>& words) {
        std::vector<std::string> command = as_service(unit_command(root, "radio", "ExecReload"));
        command.pop_back();  // "reload"
        command.insert(command.end(), words.begin(), words.end());
        return run_program(command, root);
    }
    std::string socket_path() { return root + "/run/velmora/radio/velmora/radio.sock"; }
};

TEST_F(ControlledStation, an_administrator_announces_skips_and_reloads_while_the_listener_keeps_its_place) {
    ASSERT_TRUE(start()) << output();
    Listener listener(test_ip(133), station_ip);
    ASSERT_TRUE(listener.join()) << output();
    ASSERT_TRUE(listener.hear_text("Morning Tune", 3000) || listener.audio > 0) << output();

    // The socket is the service user's alone.
    struct stat st;
    ASSERT_EQ(stat(socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An announcement reaches the listener with the next tick or the one after.
    ProgramResult said = ctl({"text", "Back in five"});
    ASSERT_EQ(said.status, 0) << said.output;
    int ticks = -1;
    EXPECT_TRUE(listener.hear_text("Back in five", 2000, &ticks)) << output();
    EXPECT_LE(ticks, 2);

    // Next: the script's next entry, at the next super-block's start.
    ProgramResult skipped = ctl({"next"});
    ASSERT_EQ(skipped.status, 0) << skipped.output;
    EXPECT_TRUE(listener.hear_text("Evening Tune", 3000, &ticks)) << output();
    EXPECT_LE(ticks, 9);

    // The listener is listed with its address.
    ProgramResult listed = ctl({"listeners"});
    ASSERT_EQ(listed.status, 0) << listed.output;
    auto reply = nlohmann::json::parse(listed.output.substr(0, listed.output.find('\n')));
    ASSERT_EQ(reply["listeners"].size(), 1u) << listed.output;
    EXPECT_EQ(reply["listeners"][0]["address"],
              test_ip(133) + ":" + std::to_string(listener.socket.port()));

    // A changed script, reloaded by the unit's ExecReload= line: its entries play next.
    const std::string media = dir.file("etc/media");
    ProgramResult rewritten =
        run_program({program_path("velmora-script"), "new", media + "/demo.VSK", media + "/morning.VMA",
                     "--text", "Night Tune", "--settings", media + "/demo.ini", "--force"});
    ASSERT_EQ(rewritten.status, 0) << rewritten.output;
    ASSERT_EQ(system(("chmod -R a+rX '" + media + "'").c_str()), 0);
    ProgramResult reloaded = run_program(as_service(unit_command(root, "radio", "ExecReload")), root);
    ASSERT_EQ(reloaded.status, 0) << reloaded.output << output();
    EXPECT_NE(reloaded.output.find("\"entries\":1"), std::string::npos) << reloaded.output;
    ASSERT_EQ(ctl({"next"}).status, 0);
    EXPECT_TRUE(listener.hear_text("Night Tune", 3000)) << output();

    // Through all of it one session, and not one seq missing.
    listener.hear_text("(a second more)", 1000);
    EXPECT_GT(listener.audio, 10);
    EXPECT_EQ(listener.gaps, 0);
    EXPECT_EQ(listener.sessions_changed, 0);

    // Stop and start again: the station keeps running in between.
    EXPECT_EQ(ctl({"stop"}).status, 0);
    ProgramResult again = ctl({"stop"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("not on the air"), std::string::npos) << again.output;
    EXPECT_EQ(ctl({"start"}).status, 0) << output();
    EXPECT_EQ(station.wait(0), -2) << output();
}

// What velmora-ctl and the socket refuse, and a client that connects and
// says nothing: dropped within seconds while others are answered at once.
TEST_F(ControlledStation, wrong_requests_are_refused_and_a_silent_client_holds_nobody) {
    ASSERT_TRUE(start()) << output();
    Listener on_air(test_ip(134), station_ip);
    ASSERT_TRUE(on_air.join()) << output();
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {{"bogus"}, 1, "no command \"bogus\": status, start, stop, next"},
        {{"text"}, 2, "text takes one argument"},
        {{"next", "now"}, 2, "next takes no argument"},
        {{"text", std::string(800, 'x')}, 1, "at most 767 go out"},
        {{"picture", "/no/such/picture.bmp"}, 1, "the picture /no/such/picture.bmp cannot be used"},
        {{"--frobnicate", "status"}, 2, "unknown option --frobnicate"},
    };
    for (const Case& c : cases) {
        ProgramResult r = ctl(c.words);
        EXPECT_EQ(r.status, c.status) << c.words[0] << ": " << r.output;
        EXPECT_NE(r.output.find(c.said), std::string::npos) << c.words[0] << ": " << r.output;
    }

    // Raw lines: not JSON, and longer than a request may be.
    auto exchange = [&](const std::string& bytes) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        snprintf(to.sun_path, sizeof to.sun_path, "%s", socket_path().c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return std::string("no connect");
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        timeval timeout{7, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string reply;
        char buffer[4096];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, size_t(got));
        close(fd);
        return reply;
    };
    EXPECT_NE(exchange("status please\n").find("a request is a line of JSON"), std::string::npos);
    EXPECT_NE(exchange(std::string(5000, '{')).find("longer than 4096 bytes"), std::string::npos);
    // A silent client: the station answers others meanwhile, and lets it go.
    const auto silent_since = Clock::now();
    std::string silent_reply;
    std::thread silent([&] { silent_reply = exchange(""); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto asked = Clock::now();
    ProgramResult status = ctl({"status"});
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
    EXPECT_NE(status.output.find("\"status\":{"), std::string::npos);
    silent.join();
    EXPECT_EQ(silent_reply, "");
    EXPECT_LT(Clock::now() - silent_since, std::chrono::seconds(7));
}

}  // namespace
