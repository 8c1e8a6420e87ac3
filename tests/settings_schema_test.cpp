// The table of settings keys, row by row: every key reads, has its default,
// refuses or brings into range a value it cannot take (naming the key), and
// comes back the same after writing. The README and the man page list what
// the table holds, and velmora-station --check names a key the table lacks.

#include "app/settings_schema.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "app/settings.h"
#include "app/settings_check.h"
#include "app/settings_report.h"
#include "support/child_process.h"
#include "support/fake_host.h"
#include "support/settings_fixture.h"

namespace {

bool is_number(const SettingKey& key) { return key.type != SettingType::text; }

// A value the key takes that is not its default, as the file would hold it.
std::string other_value(const SettingKey& key, const StationState& record) {
    if (!is_number(key)) return (std::string("v-") + key.key).substr(0, size_t(key.high));
    if (!key.choices.empty())
        return std::to_string(key.choices[key.choices[0] == key.default_number ? 1 : 0]);
    const long high = setting_high(key, record);
    for (long candidate : {key.low, key.default_number + 1, high})
        if (candidate != key.default_number && candidate >= key.low && candidate <= high &&
            candidate > INT_MIN && candidate < INT_MAX)
            return std::to_string(candidate);
    return "";
}

// Numbers the key cannot take as they are: below and above its range, and
// what it refuses; none when it takes every whole number.
std::vector<long> out_of_range_values(const SettingKey& key, const StationState& record) {
    if (!key.choices.empty()) return {12345, -1};
    std::vector<long> values;
    if (key.low > INT_MIN) values.push_back(key.low - 1);
    if (const long high = setting_high(key, record); high < INT_MAX) values.push_back(high + 1);
    if (key.refusal && key.refuse_low - 1 != key.low - 1) values.push_back(key.refuse_low - 1);
    return values;
}

struct SettingsSchema : SettingsFixture<FakeHost> {
    StationState& s = ctx->state;
    const std::string ini = s.settings_file;

    SettingsReport load(const std::string& lines) {
        write_file(ini, "[VelmoraStation]\n" + lines);
        SettingsReport report;
        EXPECT_EQ(load_settings(*ctx, false, &report), 1);
        return report;
    }
};

TEST_F(SettingsSchema, every_row_names_one_field_of_its_own_type) {
    std::set<std::string> keys;
    std::set<const void*> fields;
    for (const SettingKey& key : SETTING_KEYS) {
        SCOPED_TRACE(key.key);
        EXPECT_TRUE(keys.insert(key.key).second) << "a key twice";
        const SettingField field = key.field(s);
        const size_t wanted = key.type == SettingType::whole   ? 0
                              : key.type == SettingType::count ? 1
                                                               : 2;
        EXPECT_EQ(field.index(), wanted);
        const void* held = std::visit([](auto* p) { return static_cast<const void*>(p); }, field);
        EXPECT_TRUE(fields.insert(held).second) << "two keys in one field";
        EXPECT_EQ(find_setting(key.key), &key);
        EXPECT_NE(*key.help, '\0');
        EXPECT_NE(*key.module, '\0');
        if (!is_number(key)) {
            EXPECT_GT(key.high, 0);
        }
        const bool refuses = key.refuse_low != LONG_MIN || key.refuse_high != LONG_MAX;
        EXPECT_EQ(key.refusal != nullptr, refuses) << "a refusal says why";
    }
    EXPECT_EQ(find_setting("max_client"), &setting_key("MAX_CLIENT"));  // as the file reads it
    EXPECT_EQ(find_setting("MAX_CLIENTS"), nullptr);
}

TEST_F(SettingsSchema, an_empty_file_gives_every_default_and_each_key_reads_its_value) {
    EXPECT_TRUE(load("").problems.empty());
    for (const SettingKey& key : SETTING_KEYS) {
        const std::string def = key.default_of          ? key.default_of()
                                : !is_number(key)       ? key.default_text
                                : key.empty_means && !key.default_number ? ""
                                                        : std::to_string(key.default_number);
        EXPECT_EQ(setting_text(key, s), def) << key.key;
    }
    // Each key alone, written as the table names it.
    for (const SettingKey& key : SETTING_KEYS) {
        const std::string value = other_value(key, s);
        ASSERT_FALSE(value.empty()) << key.key;
        const SettingsReport report = load(std::string(key.key) + "=" + value + "\n");
        EXPECT_EQ(setting_text(key, s), value) << key.key;
        EXPECT_TRUE(report.problems.empty()) << key.key << ": " << problem_text(report.problems[0]);
    }
}

TEST_F(SettingsSchema, a_value_out_of_range_is_refused_or_brought_into_range_naming_the_key) {
    int ranged = 0;
    for (const SettingKey& key : SETTING_KEYS) {
        SCOPED_TRACE(key.key);
        const std::string name = key.key;
        if (!is_number(key)) {
            const SettingsReport report =
                load(name + "=" + std::string(size_t(key.high) + 1, 'x') + "\n");
            EXPECT_EQ(setting_text(key, s), std::string(size_t(key.high), 'x'));
            ASSERT_EQ(report.problems.size(), 1u);
            EXPECT_EQ(report.problems[0].text,
                      name + " is longer than " + std::to_string(key.high) +
                          " characters and is cut");
            continue;
        }
        for (long value : out_of_range_values(key, s)) {
            SCOPED_TRACE(value);
            ++ranged;
            // What a dialog says of it, and of text that is no number.
            const std::string why = setting_value_problem(key, value, s);
            EXPECT_EQ(why.find(name), 0u) << why;
            long typed = 0;
            EXPECT_EQ(typed_setting_problem(key, std::to_string(value), s, &typed), why);
            const std::string no_number = typed_setting_problem(key, "12x", s, &typed);
            EXPECT_EQ(no_number.find(name + " must be a number"), 0u) << no_number;
            // What loading it does: a kept key is its module's to refuse.
            const SettingsReport report = load(name + "=" + std::to_string(value) + "\n");
            if (key.out_of_range == OutOfRange::kept) {
                EXPECT_TRUE(report.problems.empty());
                continue;
            }
            ASSERT_EQ(report.problems.size(), 1u);
            const SettingsProblem& problem = report.problems[0];
            EXPECT_EQ(problem.line, 2);
            EXPECT_EQ(problem.text.find(name + "=" + std::to_string(value)), 0u) << problem.text;
            EXPECT_EQ(problem.error, value < key.refuse_low || value > key.refuse_high);
            const long loaded = std::stol(setting_text(key, s));
            EXPECT_EQ(setting_value_problem(key, loaded, s), "") << loaded;
        }
    }
    EXPECT_GE(ranged, 14);  // SamplingRate, MAX_CLIENT, BANDWIDTH, TransferRate, Mode, ports, ...
}

TEST_F(SettingsSchema, every_key_written_from_the_table_reads_back_the_same) {
    std::string lines;
    for (const SettingKey& key : SETTING_KEYS)
        lines += std::string(key.key) + "=" + other_value(key, s) + "\n";
    ASSERT_TRUE(load(lines).problems.empty());
    std::vector<std::string> loaded;
    for (const SettingKey& key : SETTING_KEYS) loaded.push_back(setting_text(key, s));

    s.settings_file = dir.file("written.ini");
    SettingsWrite write;
    for (const SettingKey& key : SETTING_KEYS) write_setting(*ctx, write, key);
    ASSERT_EQ(finish_settings_write(*ctx, write), 1);
    // Each key as the file names it, in the table's order.
    EXPECT_EQ(read_file(s.settings_file), "[VelmoraStation]\n" + lines);

    StationState fresh;
    fresh.settings_file = s.settings_file;
    s = fresh;
    load_settings(*ctx, false);
    for (size_t i = 0; i < std::size(SETTING_KEYS); ++i)
        EXPECT_EQ(setting_text(SETTING_KEYS[i], s), loaded[i]) << SETTING_KEYS[i].key;

    // An empty bit rate stands for the format's default and is written empty.
    s.icecast.bitrate = 0;
    EXPECT_EQ(setting_text(setting_key("ICECAST_BITRATE"), s), "");
}

// The README's settings list is the table's, between its markers.
TEST(SettingsReference, the_readme_lists_every_key_as_the_table_holds_it) {
    const std::string readme = read_file(VELMORA_SOURCE_DIR "/README.md");
    const std::string begin = "<!-- settings:begin -->\n", end = "<!-- settings:end -->";
    const size_t from = readme.find(begin), to = readme.find(end);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()),
              settings_reference(ReferenceFormat::markdown))
        << "run scripts/update-settings-reference after changing the table";
}

// The man page is made by help2man with the table's list included.
TEST(SettingsReference, the_man_page_lists_every_key_of_the_table) {
    const std::string page =
        std::string(VELMORA_BIN_DIR) + "/../packaging/man/velmora-station.1.gz";
    if (!std::filesystem::exists(page)) GTEST_SKIP() << "no man page built (help2man missing)";
    const ProgramResult shown = run_program({"/bin/gzip", "-dc", page});
    ASSERT_EQ(shown.status, 0) << shown.output;
    EXPECT_NE(shown.output.find("SETTINGS"), std::string::npos);
    for (const SettingKey& key : SETTING_KEYS)
        EXPECT_NE(shown.output.find(".B " + std::string(key.key) + "\n"), std::string::npos)
            << key.key;
    const ProgramResult listed =
        run_program({program_path("velmora-station"), "--settings-reference", "man"});
    ASSERT_EQ(listed.status, 0);
    EXPECT_EQ(listed.output, settings_reference(ReferenceFormat::man));
}

// A misspelt key is ignored with its value: --check names it at its line.
TEST_F(SettingsSchema, check_names_a_key_the_station_does_not_know_at_its_line) {
    write_file(ini, "[VelmoraStation]\nMAX_CLIENTS=50\nmode=0\nColour=red\nStationName=x\n");
    SettingsReport report;
    check_unknown_settings(ini, report);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(problem_text(report.problems[0]),
              ini + ":2: MAX_CLIENTS is no key of the station and is ignored (MAX_CLIENT?)");
    EXPECT_EQ(problem_text(report.problems[1]),
              ini + ":4: Colour is no key of the station and is ignored");
    EXPECT_FALSE(report.problems[0].error);

    const ProgramResult checked =
        run_program({program_path("velmora-station"), "--check", ini}, dir.path(),
                    {{"VELMORA_HOME", dir.path()}, {"XDG_RUNTIME_DIR", dir.path()}});
    EXPECT_EQ(checked.status, 1) << checked.output;
    EXPECT_NE(checked.output.find(ini + ":2: warning: MAX_CLIENTS is no key of the station and is "
                                        "ignored (MAX_CLIENT?)\n"),
              std::string::npos)
        << checked.output;
}

}  // namespace
