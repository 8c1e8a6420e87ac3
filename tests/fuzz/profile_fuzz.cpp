// Fuzz target: the INI profile reader and writer as the settings use them:
// load_settings reads every key of section "VelmoraStation", single keys are
// read into small buffers, and one key is written and read back.
//
// Input layout: the whole settings file, "[section]" lines and "key=value"
// lines ending in "\n" or "\r\n"; ";" and "#" start comment lines.
//
// Checked beside the sanitizers: the loaded settings stay inside the ranges
// the loader promises; a load that reports what it replaced loads the same
// values, and each problem names the file and a line of it; a value read into a small buffer is cut and
// terminated; after writing one key it reads back as written while the
// other keys keep their values.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "app/context.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "fuzz/fuzz_support.h"
#include "platform/profile.h"
#include "support/fake_host.h"

namespace {

constexpr const char* kMissing = "\x01missing";
const char* const kOtherKeys[] = {"SamplingRate", "TransferRate", "Mode", "MASTER_IP", "WWW_DESC"};

std::string value_of(const char* key, const std::string& path) {
    char value[1024];
    get_private_profile_string(SETTINGS_SECTION, key, kMissing, value, sizeof value, path.c_str());
    return value;
}

bool station_rate(int rate) {
    return rate == 8000 || rate == 11025 || rate == 16000 || rate == 22050 || rate == 32000 ||
           rate == 44100;
}

void check_settings(const StationState& s) {
    FUZZ_CHECK(station_rate(s.SamplingRate));
    FUZZ_CHECK(s.device_rate == 11025 || s.device_rate == 22050 || s.device_rate == 44100);
    FUZZ_CHECK(s.MAX_CLIENT >= 0 && s.MAX_CLIENT <= 8192);
    FUZZ_CHECK(s.BANDWIDTH >= 28800);
    FUZZ_CHECK(s.TransferRate >= 2000 && s.TransferRate <= 4 * s.SamplingRate);
    FUZZ_CHECK(s.MODE == 0 || s.MODE == 1);
    FUZZ_CHECK(s.STATION_PORT >= 1 && s.STATION_PORT <= 65535);
    FUZZ_CHECK(s.DIRURLPORT >= 1 && s.DIRURLPORT <= 65535);
    FUZZ_CHECK(s.WWW_URL.size() <= 127 && s.WWW_DESC.size() <= 749 && s.RepeaterIP.size() <= 749);
    FUZZ_CHECK(s.IP_ADDR.size() <= 31 && s.MBONEIP.size() <= 31);
    FUZZ_CHECK(s.StationName.size() <= 127 && s.StationScript.size() <= 255);
    FUZZ_CHECK(s.DIRURL.size() <= 63 && s.MASTER_IP.size() <= 63);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = write_fuzz_file("fuzz.ini", data, size);
    FakeHost host;
    static std::unique_ptr<Context> fresh;
    Context& ctx = renew_context(fresh, host);
    ctx.state.settings_file = path;
    FUZZ_CHECK(load_settings(ctx, false) == 1);
    check_settings(ctx.state);

    const StationState quiet = ctx.state;
    SettingsReport report;
    check_settings_file(path, report);
    FUZZ_CHECK(load_settings(ctx, false, &report) == 1);
    FUZZ_CHECK(ctx.state.SamplingRate == quiet.SamplingRate && ctx.state.TransferRate == quiet.TransferRate &&
               ctx.state.BANDWIDTH == quiet.BANDWIDTH && ctx.state.STATION_PORT == quiet.STATION_PORT &&
               ctx.state.IP_ADDR == quiet.IP_ADDR && ctx.state.StationName == quiet.StationName);
    const int lines = int(std::count(data, data + size, '\n')) + 1;
    for (const SettingsProblem& problem : report.problems)
        FUZZ_CHECK(problem.file == path && !problem.text.empty() && problem.line >= 0 && problem.line <= lines);

    for (int room : {1, 2, 5}) {
        char small[5];
        memset(small, 'x', sizeof small);
        int length = get_private_profile_string(SETTINGS_SECTION, "StationName", "", small, room, path.c_str());
        FUZZ_CHECK(length >= 0 && length < room && small[length] == '\0');
    }

    std::string before[sizeof kOtherKeys / sizeof *kOtherKeys];
    for (size_t i = 0; i < sizeof kOtherKeys / sizeof *kOtherKeys; ++i) before[i] = value_of(kOtherKeys[i], path);
    FUZZ_CHECK(write_private_profile_string(SETTINGS_SECTION, "StationName", "Fuzz FM", path.c_str()) == 1);
    FUZZ_CHECK(value_of("StationName", path) == "Fuzz FM");
    for (size_t i = 0; i < sizeof kOtherKeys / sizeof *kOtherKeys; ++i)
        FUZZ_CHECK(value_of(kOtherKeys[i], path) == before[i]);
    return 0;
}
