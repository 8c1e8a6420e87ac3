// Finding a station: typed addresses, station-list files as stations write
// them, and the list of the last stations.

#include <gtest/gtest.h>

#include "listener/station_address.h"

namespace {

TEST(StationAddress, typed_addresses_take_a_port_after_a_colon_or_blank_and_default_to_3456) {
    struct Case {
        const char* typed;
        const char* expected;  // "" when refused
    } cases[] = {
        {"127.0.0.1:3456", "127.0.0.1:3456"},
        {" 192.168.001.002  ", "192.168.1.2:3456"},
        {"10.0.0.7 4000", "10.0.0.7:4000"},
        {"127.0.0.1:0", ""},
        {"127.0.0.1:65536", ""},
        {"127.0.0.1:34x", ""},
        {"256.0.0.1", ""},
        {"127.0.0", ""},
        {"radio.example.com", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        StationEntry entry;
        std::string error;
        const int ok = parse_station_address(c.typed, &entry, &error);
        EXPECT_EQ(ok, *c.expected ? 1 : 0) << c.typed;
        if (ok) {
            EXPECT_EQ(station_address_text(entry), c.expected) << c.typed;
        } else {
            EXPECT_FALSE(error.empty()) << c.typed;
        }
    }
}

TEST(StationAddress, station_list_files_give_address_name_category_and_location) {
    StationEntry e;
    std::string error;
    ASSERT_EQ(parse_station_list("192.168.001.002 Harbour Radio\r\n\\Music\\Jazz\r\nhttp://h.example\r\n\r\n", &e, &error), 1);
    EXPECT_EQ(station_address_text(e), "192.168.1.2:3456");
    EXPECT_EQ(e.name, "Harbour Radio");
    EXPECT_EQ(e.category, "\\Music\\Jazz");
    EXPECT_EQ(e.web, "http://h.example");
    EXPECT_EQ(e.description, "");
    EXPECT_EQ(e.location, "");
    // The directory's copy adds e-mail and location lines.
    ASSERT_EQ(parse_station_list("127.000.000.001 Night\nTalk\nhttp://n\nLate talk\nEMAIL:a@b\nLOCATION:Quay 4\n", &e, &error), 1);
    EXPECT_EQ(e.location, "Quay 4");
    EXPECT_EQ(e.description, "Late talk");
    for (const char* bad : {"", "Harbour Radio\n", "999.1.1.1 X\n", "\x01\x02\x03"}) {
        EXPECT_EQ(parse_station_list(bad, &e, &error), 0) << bad;
        EXPECT_EQ(error, "the first line does not begin with a station address");
    }
}

TEST(StationAddress, the_last_stations_come_first_without_repeats_and_at_most_eight) {
    std::vector<std::string> recent;
    for (int i = 0; i < 10; ++i) remember_station(recent, "127.0.0." + std::to_string(i));
    EXPECT_EQ(recent.size(), 8u);
    EXPECT_EQ(recent.front(), "127.0.0.9");
    remember_station(recent, "127.0.0.5");
    EXPECT_EQ(recent.front(), "127.0.0.5");
    EXPECT_EQ(std::count(recent.begin(), recent.end(), "127.0.0.5"), 1);
    EXPECT_EQ(recent.size(), 8u);
}

}  // namespace
