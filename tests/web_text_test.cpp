// The web client's text routines and the proxy settings in the per-user registry.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "web/proxy_settings.h"
#include "web/text_routines.h"

namespace {

std::string base64(const char* text) {
    char out[256];
    base64_encode(text, out);
    return out;
}

TEST(WebText, base64_pads_one_and_two_byte_tails_as_the_standard_says) {
    EXPECT_EQ(base64("abc"), "YWJj");
    EXPECT_EQ(base64("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");  // 19 = 1 mod 3
    EXPECT_EQ(base64("ab:cd"), "YWI6Y2Q=");                                   // 5 = 2 mod 3
    EXPECT_EQ(base64(":"), "Og==");  // empty user id and password still give a line
    EXPECT_EQ(base64("\xff\xfe"), "//4=");
    EXPECT_EQ(base64(""), "");
}

TEST(WebText, hex_encodes_uppercase_and_decodes_any_case_ignoring_an_odd_last_digit) {
    const uint8_t bytes[] = {0x00, 0xAB, 0x7F, 0x10};
    char hex[16];
    hex_encode(bytes, hex, 4);
    EXPECT_STREQ(hex, "00AB7F10");
    uint8_t out[8] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(hex_decode("0aFf7", out), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xEE);  // the odd '7' wrote nothing
    EXPECT_EQ(hex_decode("zAg1", out), 2);  // a non-digit counts as 0
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x01);
}

TEST(WebText, next_line_splits_at_the_first_crlf_of_the_whole_rest_then_lf_then_cr) {
    char text[] = "a\nb\r\nc\rd";
    char line[32] = "untouched";
    int position = next_line(text, 0, line);
    EXPECT_STREQ(line, "a\nb");  // the CR LF further on wins over the earlier bare LF
    EXPECT_EQ(position, 5);
    position = next_line(text, position, line);
    EXPECT_STREQ(line, "c");
    EXPECT_EQ(position, 7);
    EXPECT_EQ(next_line(text, position, line), 0);  // no line end: the rest, and no more
    EXPECT_STREQ(line, "d");

    char lf_only[] = "one\ntwo\n";
    position = next_line(lf_only, 0, line);
    EXPECT_STREQ(line, "one");
    position = next_line(lf_only, position, line);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(position, 8);
    strcpy(line, "kept");
    EXPECT_EQ(next_line(lf_only, position, line), 0);  // at the end: line untouched
    EXPECT_STREQ(line, "kept");
}

TEST(WebText, the_password_key_repeats_the_user_id_and_the_stream_undoes_itself) {
    EXPECT_EQ(password_key(""), 0u);
    EXPECT_EQ(password_key("ab"), password_key("abab"));  // both repeat to the same 64 bytes
    EXPECT_NE(password_key("ab"), password_key("ba"));
    EXPECT_EQ(password_key("operator") >> 31, 0u);
    std::string long_id(70, 'x');
    long_id[66] = 'y';  // beyond 64 characters nothing counts
    EXPECT_EQ(password_key(long_id.c_str()), password_key(std::string(64, 'x').c_str()));

    uint8_t bytes[] = "secret!";  // one whole group and three single bytes
    uint32_t key = password_key("operator");
    xor_keystream(bytes, 7, key);
    EXPECT_NE(std::string(reinterpret_cast<char*>(bytes), 7), "secret!");
    EXPECT_NE(bytes[6], '!');  // the tail bytes are scrambled too
    xor_keystream(bytes, 7, key);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 7), "secret!");
}

struct ProxyStore : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.path()};
    std::string value(const char* name) {
        char out[256];
        reg_read_string((std::string(PROXY_KEY_PATH) + "\\" + name).c_str(), out, sizeof out);
        return out;
    }
};

TEST_F(ProxyStore, values_are_typed_by_their_prefix) {
    EXPECT_EQ(reg_write_value(PROXY_KEY_PATH, "Count", "REG_DWORD:1F"), 1);
    EXPECT_EQ(value("Count"), "31");
    EXPECT_EQ(reg_write_value(PROXY_KEY_PATH, "Blob", "REG_BINARY:0a0B7"), 1);
    EXPECT_EQ(value("Blob"), "hex:0A0B");
    EXPECT_EQ(reg_write_value(PROXY_KEY_PATH, "Name", "REG_SZ:REG_DWORD:1"), 1);
    EXPECT_EQ(value("Name"), "REG_DWORD:1");  // only the first prefix is a type
    EXPECT_EQ(reg_write_value(PROXY_KEY_PATH, "Plain", "just text"), 1);
    EXPECT_EQ(value("Plain"), "just text");

    char out[16] = "x";
    EXPECT_EQ(reg_read_string("", out, sizeof out), 1);
    EXPECT_EQ(reg_read_string("Software\\Nowhere\\Value", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(reg_write_value("", "Name", "text"), 0);
}

TEST_F(ProxyStore, settings_round_trip_scrambled_and_a_new_user_id_cannot_read_the_old_password) {
    ProxySettings saved{"proxy.example", 8080, "operator", "pa ss:word"};
    ASSERT_EQ(save_proxy_settings(saved), 1);
    std::string stored = value("ProxyPassword");
    EXPECT_EQ(stored.size(), 20u);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(stored.find("7061"), std::string::npos);  // "pa" is not there in the clear

    ProxySettings loaded;
    EXPECT_NE(load_proxy_settings(loaded), 0);
    EXPECT_EQ(loaded.server, "proxy.example");
    EXPECT_EQ(loaded.port, 8080);
    EXPECT_EQ(loaded.user_id, "operator");
    EXPECT_EQ(loaded.password, "pa ss:word");

    // The registry holds a password: its owner alone may read it.
    struct stat info {};
    ASSERT_EQ(stat(registry_file_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    reg_write_value(PROXY_KEY_PATH, "ProxyUserID", "someone");
    load_proxy_settings(loaded);
    EXPECT_NE(loaded.password, "pa ss:word");

    // An odd stored text: its last character is ignored.
    ProxySettings odd{"", 0, "", "abc"};
    save_proxy_settings(odd);
    reg_write_value(PROXY_KEY_PATH, "ProxyPassword", (value("ProxyPassword") + "F").c_str());
    EXPECT_EQ(load_proxy_settings(loaded), 0);  // no server: no proxy
    EXPECT_EQ(loaded.password, "abc");
    EXPECT_EQ(loaded.port, 0);
}

}  // namespace
