// Makes the seed corpora of the fuzz targets from our own synthetic media:
//   make_fuzz_seeds DIR     writes DIR/<target>/<seed> for every target
// The seeds committed under tests/fuzz/corpus were made by it; each is a few
// kilobytes at most, a valid input or a near miss that reaches a refusal.

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "fuzz/fuzz_support.h"
#include "script_test_media.h"
#include "wire/packet.h"
#include "server/picture_service.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace {

std::string out_dir;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(out_dir + "/" + target);
    write_file(out_dir + "/" + target + "/" + name, bytes);
}

// ---- datagrams -----------------------------------------------------------

// The datagram sender selectors of datagram_fuzz.cpp.
enum Sender { LISTENER_A, LISTENER_B, MASTER, OUTSIDE, SECOND_PORT, TOOL, SELF, GONE };
enum Room { ROOM_1 = 0, ROOM_2 = 1, ROOM_4 = 2, ROOM_ANY = 3 };
constexpr uint8_t INTRANET = 4, STREAM2X = 8, USER_LIST = 16, MULTICAST = 32, NO_LOGO = 64,
                  NO_PICTURE = 128;

std::string datagram(uint16_t flags, const std::string& payload, uint32_t seq = 0, uint32_t session = 0) {
    uint8_t header[PACKET_HEADER_SIZE];
    put_packet_header(PacketHeader{seq, session, flags, static_cast<uint16_t>(payload.size())}, header);
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

// One record: sender, clock step (index into 0, 1, 2, 4, 11, 16, 60, 86400 s), datagram.
std::string from(int sender, const std::string& bytes, int clock_step = 0) {
    std::string record(1, static_cast<char>(sender | clock_step << 3));
    record.push_back(static_cast<char>(bytes.size() >> 8));
    record.push_back(static_cast<char>(bytes.size() & 0xFF));
    return record + bytes;
}

std::string text(const char* s) { return std::string(s) + '\0'; }
std::string join(const char* who = "velmora-listen") { return datagram(PF_TEXT, text(who)); }
std::string picture_request(const char* request) { return datagram(PF_TEXT | PF_PICTURE, text(request), 0, 77); }

void datagram_seeds() {
    const std::string keepalive = datagram(PF_KEEPALIVE, std::string(16, '\3'));
    const std::string leave = datagram(PF_LEAVE, "");
    seed("datagram", "join-keepalive-leave",
         std::string(1, ROOM_ANY) + from(LISTENER_A, join()) + from(LISTENER_A, keepalive, 1) +
             from(LISTENER_B, datagram(PF_TEXT | PF_COMPANION, text("velmora-listen"))) +
             from(LISTENER_A, leave, 4) + from(LISTENER_B, leave) + from(LISTENER_B, leave));
    seed("datagram", "table-full",
         std::string(1, ROOM_2) + from(LISTENER_A, join()) + from(LISTENER_B, join()) +
             from(MASTER, join()) + from(SECOND_PORT, join()) + from(LISTENER_A, leave) +
             from(MASTER, join()) + from(GONE, join()));
    seed("datagram", "pictures",
         std::string(1, ROOM_ANY) + from(LISTENER_A, join()) + from(LISTENER_A, picture_request("GETPAL")) +
             from(LISTENER_A, picture_request("GETBMPXY000000")) +
             from(LISTENER_A, picture_request("GETBMPXY002001")) +
             from(LISTENER_A, picture_request("GETBMPXY003000")) +
             from(LISTENER_B, picture_request("LOGOGETPAL")) +
             from(LISTENER_B, picture_request("LOGOGETBMPXY001001")) +
             from(LISTENER_B, picture_request("GETBMPXY12")));
    seed("datagram", "no-pictures",
         std::string(1, static_cast<char>(ROOM_ANY | NO_LOGO | NO_PICTURE)) + from(LISTENER_A, picture_request("GETPAL")) +
             from(LISTENER_A, picture_request("LOGOGETBMPXY000000")));
    seed("datagram", "resend-upgrade",
         std::string(1, ROOM_ANY | STREAM2X) + from(LISTENER_B, join()) +
             from(LISTENER_B, datagram(PF_KEEPALIVE, "", 950, 12)) +
             from(LISTENER_B, datagram(PF_KEEPALIVE, "", 5, 12)) +
             from(LISTENER_A, datagram(PF_KEEPALIVE, "", 960)) +
             from(LISTENER_B, datagram(PF_UPGRADE, text("Repeater"))) +
             from(LISTENER_B, datagram(PF_UPGRADE, "")) + from(LISTENER_A, datagram(PF_UPGRADE, "")));
    seed("datagram", "userlist-intranet",
         std::string(1, ROOM_4 | USER_LIST | INTRANET) + from(LISTENER_A, join("USERID alice")) +
             from(LISTENER_B, join("USERID mallory")) + from(MASTER, join("USERID bob")) +
             from(OUTSIDE, join("USERID alice")));
    seed("datagram", "keeper-multicast-load",
         std::string(1, ROOM_1 | MULTICAST) + from(LISTENER_A, join("Radio Velmora's Keeper")) +
             from(LISTENER_B, datagram(PF_MULTICAST_QUERY, "")) +
             from(MASTER, datagram(PF_LOAD_REPORT, text("12/3"))) +
             from(LISTENER_A, datagram(PF_LOAD_REPORT | PF_MULTICAST_QUERY, text("7/1")), 6) +
             from(LISTENER_A, join("Repeater")));
    seed("datagram", "quit-from-strangers",
         std::string(1, ROOM_ANY) + from(LISTENER_A, datagram(0, text("QuitNow!"))) +
             from(OUTSIDE, datagram(PF_KEEPALIVE, text("QuitNow!"))) +
             from(TOOL, datagram(0, text("QuitNow!"))));
    seed("datagram", "reflection",
         std::string(1, ROOM_ANY) + from(SELF, join()) + from(SELF, datagram(PF_MULTICAST_QUERY, "")) +
             from(SELF, picture_request("GETPAL")) + from(LISTENER_A, join(), 7));
    // A header that claims more than arrived, a short datagram and every flag at once.
    seed("datagram", "malformed",
         std::string(1, ROOM_ANY | STREAM2X) + from(LISTENER_A, datagram(PF_TEXT, "abc").substr(0, 12) + "x") +
             from(LISTENER_A, std::string(7, '\xFF')) +
             from(LISTENER_B, datagram(0xFFFF, text("GETBMPXY000000"))));
}

// ---- WAV files -----------------------------------------------------------

void wav_seeds() {
    using namespace wav_bytes;
    using compression_media::tone;
    seed("wav", "mono-8bit-11025", pcm(11025, 1, 8, tone(11025, 1, 8, 0.1)));
    seed("wav", "stereo-16bit-22050", pcm(22050, 2, 16, tone(22050, 2, 16, 0.02)));
    seed("wav", "mono-16bit-8000", pcm(8000, 1, 16, tone(8000, 1, 16, 0.1)));
    seed("wav", "lowest-rate-1000", pcm(1000, 1, 8, tone(1000, 1, 8, 0.5, 100)));
    seed("wav", "list-before-fmt",
         riff(chunk("LIST", "INFOISFT" + le32(5) + "ours" + '\0') + chunk("fmt ", format(1, 2, 8000, 8)) +
              chunk("data", tone(8000, 2, 8, 0.05))));
    seed("wav", "fmt-with-extension",
         riff(chunk("fmt ", format(1, 1, 16000, 16) + le16(0)) + chunk("data", tone(16000, 1, 16, 0.03))));
    seed("wav", "upper-case-ids", riff(chunk("FMT ", format(1, 1, 11025, 8)) + chunk("DATA", std::string(301, 'q'))));
    seed("wav", "not-pcm", riff(chunk("fmt ", format(3, 1, 22050, 32)) + chunk("data", std::string(64, '\0'))));
    seed("wav", "data-without-fmt", riff(chunk("data", tone(8000, 1, 8, 0.05))));
    seed("wav", "cut-in-fmt", riff(chunk("fmt ", format(1, 1, 22050, 16))).substr(0, 30));
    // 24-bit, 32-bit float and extensible samples, and a chunk of odd size with its pad byte.
    std::string pcm24;
    for (int i = 0; i < 300; ++i) pcm24 += std::string{char(i * 7), char(i * 3), char(i - 150)};
    seed("wav", "mono-24bit-16000", pcm(16000, 1, 24, pcm24));
    std::string floats;
    for (float v : {0.0f, 0.5f, -0.5f, 1.5f, -2.0f, 1e30f, -1e-30f, 0.25f}) {
        uint32_t bits;
        memcpy(&bits, &v, sizeof bits);
        floats += le32(bits);
    }
    seed("wav", "stereo-float-8000", riff(chunk("fmt ", format(3, 2, 8000, 32)) + chunk("data", floats + floats)));
    const std::string pcm_guid = le32(1) + std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
    seed("wav", "extensible-16bit-22050",
         riff(chunk("fmt ", format(0xFFFE, 2, 22050, 16) + le16(22) + le16(16) + le32(3) + pcm_guid) +
              chunk("data", tone(22050, 2, 16, 0.01))));
    seed("wav", "odd-chunk-padded",
         riff(chunk("LIST", "odd") + std::string(1, '\0') + chunk("fmt ", format(1, 1, 11025, 8)) +
              chunk("data", tone(11025, 1, 8, 0.05))));
    seed("wav", "data-size-beyond-file",
         riff(chunk("fmt ", format(1, 1, 44100, 16))) + "data" + le32(0x7FFFFFF0) + tone(44100, 1, 16, 0.01));
}

// ---- sample files ----------------------------------------------------------

void sample_file_seeds() {
    const std::string music = music_sample_file(16000, 12, 8);  // one super-block
    seed("sample_file", "music-16000-12pct-8frames", music);
    seed("sample_file", "music-22050-6pct-4frames", music_sample_file(22050, 6, 4));
    seed("sample_file", "music-8000-32pct-2frames", music_sample_file(8000, 32, 2));
    seed("sample_file", "last-frame-cut", music.substr(0, music.size() - 40));
    seed("sample_file", "header-only", music.substr(0, kSampleHeaderBytes));
    std::string empty_frames = music.substr(0, kSampleHeaderBytes) + std::string(8, '\0');
    seed("sample_file", "empty-frames", empty_frames);
    std::string foreign = music_sample_file(16000, 90, 1);
    memcpy(&foreign[0], "RIFF", 4);
    seed("sample_file", "foreign-magic", foreign);
}

// ---- pictures ----------------------------------------------------------------

// The option byte of picture_fuzz.cpp: bit 0 a prepared copy, bits 1-3 the quality index.
std::string picture_input(bool prepared, int quality, const std::string& file) {
    return std::string(1, static_cast<char>((prepared ? 1 : 0) | quality << 1)) + file;
}

// The prepared copy the loader writes for this picture at this quality.
std::string prepared_copy(const std::string& bmp, int quality) {
    TempDir dir;
    write_file(dir.file("p.bmp"), bmp);
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    ctx->state.ImageQuality = quality;
    if (!load_picture(*ctx, ctx->pictures, dir.file("p.bmp").c_str(), PICTURE_MAIN)) {
        fprintf(stderr, "make_fuzz_seeds: the loader refused a picture of ours\n");
        exit(1);
    }
    return read_file(dir.file("p.dbp"));
}

void picture_seeds() {
    seed("picture", "24bit-40x33", picture_input(false, 2, gradient_bmp(40, 33)));
    seed("picture", "24bit-64x32-quality4", picture_input(false, 4, gradient_bmp(64, 32)));
    seed("picture", "8bit-37x20", picture_input(false, 0, bmp_bytes(37, 20, 8)));
    // Four colours in the table; the pixels name colours beyond them too.
    std::string few_colours = bmp_bytes(33, 33, 8).substr(0, 54 + 16);
    for (int i = 0; i < 36 * 33; ++i) few_colours.push_back(static_cast<char>(i % 7));
    put_u32(few_colours, 2, static_cast<uint32_t>(few_colours.size()));
    put_u32(few_colours, 10, 54 + 16);
    seed("picture", "8bit-four-colours", picture_input(false, 1, few_colours));
    seed("picture", "prepared-40x33", picture_input(true, 2, prepared_copy(gradient_bmp(40, 33), 2)));
    seed("picture", "prepared-33x32-quality0", picture_input(true, 0, prepared_copy(gradient_bmp(33, 32), 0)));
    std::string lying = gradient_bmp(16, 16);
    put_u32(lying, 22, 4000);  // a height far beyond the rows present
    seed("picture", "height-beyond-file", picture_input(false, 2, lying));
}

// ---- scripts and live lists --------------------------------------------------

void script_seeds() {
    seed("script", "script", zero_lines({"3 11025 032 SCRIPT", "2 a.VMA a.bmp Morning song",
                                          "1 \"a.wav\", \"logo.bmp\" Quoted, with a comma ; comment",
                                          "0 b.VMA \"\" shuffled"}));
    seed("script", "script-other-rate", zero_lines({"2 8000 025 SCRIPT", "1 b.VMA a.bmp Voice", "1 a.VMA \"\" x"}));
    seed("script", "script-missing-song", zero_lines({"1 11025 032 SCRIPT", "1 nowhere.VMA \"\" gone"}));
    seed("script", "script-not-a-picture", zero_lines({"1 11025 032 SCRIPT", "1 a.VMA a.VMA text"}));
    seed("script", "live-list", zero_lines({"2 11025 LIVE", "360 a.bmp Welcome", "60 \"\" Text only"}));
    seed("script", "live-list-missing-picture", zero_lines({"1 8000 LIVE", "30 nowhere.bmp x"}));
    seed("script", "empty-script", zero_lines({"5 11025 032 SCRIPT", "", ""}));
    seed("script", "header-without-zero", "2000000000 8000 032 SCRIPT");
}

// ---- settings files ------------------------------------------------------------

void profile_seeds() {
    const std::string settings =
        "; settings of a test station\n[VelmoraStation]\nSamplingRate=22050\nTransferRate=2756\n"
        "MAX_CLIENT=50\nBANDWIDTH=1000000\nStationName = \"Velmora Test\"\nWWW_URL=http://127.0.0.1/\n"
        "ImageQuality=3\nMode=0\nSTATION_PORT=34999\nMASTER_IP=127.0.0.1\nNextSrvID=123456789012\n"
        "RepeaterIP=127.0.0.9:3454\n\n[Other]\nStationName=not ours\n";
    seed("profile", "settings", settings);
    std::string crlf;
    for (char c : settings) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    seed("profile", "settings-crlf", crlf);
    seed("profile", "odd-lines",
         "StationName=before any section\n[velmorastation]\n  samplingrate = 99999\n# comment=1\n"
         "TransferRate=-5\nMAX_CLIENT=99999999999\n[VelmoraStation\nWWW_DESC='quoted'\n"
         "[VelmoraStation]\nMode=7\nSTATION_PORT=0\n=no key\nIP_ADDR\n");
    seed("profile", "no-section", "SamplingRate=8000\n");
}

// ---- user lists ------------------------------------------------------------------

void user_list_seeds() {
    const std::string list = "alice\n  bob, extra\n,\"carol d\" x\r\ndave\n";
    seed("user_list", "listed", "USERID alice" + std::string(1, '\0') + list);
    seed("user_list", "quoted", "USERID carol d" + std::string(1, '\0') + list);
    seed("user_list", "not-listed", "USERID mallory" + std::string(1, '\0') + list);
    seed("user_list", "no-user-id", "velmora-listen" + std::string(1, '\0') + list);
    seed("user_list", "long-id", "USERID " + std::string(40, 'z') + '\0' + std::string(40, 'z') + "\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
        return 2;
    }
    out_dir = argv[1];
    datagram_seeds();
    wav_seeds();
    sample_file_seeds();
    picture_seeds();
    script_seeds();
    profile_seeds();
    user_list_seeds();
    return 0;
}
