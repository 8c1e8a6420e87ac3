// The archive's writer across broadcasts, driven through its output
// interface with a fake host's clock: a stop before any audio leaves no
// file, a second broadcast within an hour keeps the first one's file.

#include "stream/program_archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <set>
#include <vector>

#include "base/messages.h"
#include "base/station_identity.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> files_under(const std::string& folder) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (!entry.is_directory()) files.insert(entry.path().lexically_relative(folder).string());
    return files;
}

TEST(ProgramArchive,
     broadcasts_within_one_hour_keep_each_others_files_and_an_empty_one_leaves_none) {
    TempDir dir;
    FakeHost host;
    Services services;
    services.host = &host;
    StationIdentity station;
    station.StationName = "Unit Station";
    ArchiveSettings settings{"archive", 7};
    const ProgramInfo program{station, 22050, dir.file("station.ini"), 2};
    std::vector<int16_t> tone(2 * 22050);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(8000 * std::sin(i / 2 * 2 * M_PI * 440 / 22050));
    {
        ProgramArchive archive(settings);
        for (int broadcast = 0; broadcast < 3; ++broadcast) {
            ASSERT_TRUE(archive.started(services, program));
            archive.title("A song");
            if (broadcast != 1)  // the second one ends before any audio
                for (int second = 0; second < 3; ++second) {
                    archive.program_audio({tone.data(), 22050, 2, 22050});
                    ++host.now;
                }
            archive.stopped(services);
            EXPECT_EQ(archive.status(services), "off");
        }
    }  // its last writer ends with it
    const time_t now = static_cast<time_t>(host.now);
    tm local{};
    localtime_r(&now, &local);
    char day[32];
    strftime(day, sizeof day, "%Y-%m-%d/%H00", &local);
    EXPECT_EQ(files_under(dir.file("archive")),
              (std::set<std::string>{std::string(day) + ".opus", std::string(day) + "-2.opus"}));
    EXPECT_GT(fs::file_size(dir.file("archive/") + day + "-2.opus"), 10000u);
    EXPECT_TRUE(host.messages.empty());
}

}  // namespace
