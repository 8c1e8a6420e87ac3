#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "wire/packet.h"
#include "media/picture_check.h"
#include "server/picture_service.h"
#include "support/fake_host.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

void put32(std::string& bytes, int at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}
uint32_t get32(const std::string& bytes, int at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return value;
}

// The 54 header bytes of a BMP with `rows_size` bytes of rows at `pixel_offset`.
std::string bmp_header(int width, int height, int bits, int pixel_offset, int rows_size) {
    std::string header(54, '\0');
    header[0] = 'B';
    header[1] = 'M';
    put32(header, 2, static_cast<uint32_t>(pixel_offset + rows_size));
    put32(header, 10, static_cast<uint32_t>(pixel_offset));
    put32(header, 14, 40);
    put32(header, 18, static_cast<uint32_t>(width));
    put32(header, 22, static_cast<uint32_t>(height));
    header[26] = 1;  // planes
    header[28] = static_cast<char>(bits);
    put32(header, 34, static_cast<uint32_t>(rows_size));
    return header;
}

// A 24-bit BMP of `picture`, its rows padded to 4 bytes as BMP files store them.
std::string make_bmp24(const SyntheticPicture& picture) {
    const int stride = (picture.width * 3 + 3) / 4 * 4;
    std::string bmp = bmp_header(picture.width, picture.height, 24, 54, stride * picture.height);
    for (int y = 0; y < picture.height; ++y) {
        std::string row(stride, '\0');
        memcpy(row.data(), picture.pixels.data() + static_cast<size_t>(y) * picture.row_stride, picture.width * 3);
        bmp += row;
    }
    return bmp;
}

// An 8-bit BMP with a 256-entry colour table: entry i is blue i, green
// 255 - i, red i / 2; pixel (x, y) takes entry (x * 7 + y * 3) mod 256.
uint8_t index_at(int x, int y) { return static_cast<uint8_t>(x * 7 + y * 3); }
std::string make_bmp8(int width, int height) {
    const int stride = (width + 3) / 4 * 4;
    std::string bmp = bmp_header(width, height, 8, 54 + 1024, stride * height);
    for (int i = 0; i < 256; ++i) {
        bmp += static_cast<char>(i);
        bmp += static_cast<char>(255 - i);
        bmp += static_cast<char>(i / 2);
        bmp += '\0';
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < stride; ++x) bmp += static_cast<char>(x < width ? index_at(x, y) : 0);
    return bmp;
}

// What the slot must hold for a picture: rows of the rounded width with
// black padding pixels, prepared at `quality`.
SyntheticPicture expected_prepared(const SyntheticPicture& picture, int quality) {
    const int rounded = (picture.width + 3) / 4 * 4;
    SyntheticPicture expected;
    expected.width = rounded;
    expected.height = picture.height;
    expected.row_stride = rounded * 3;
    expected.pixels.assign(static_cast<size_t>(expected.row_stride) * picture.height, 0);
    for (int y = 0; y < picture.height; ++y)
        memcpy(expected.pixel(0, y), picture.pixels.data() + static_cast<size_t>(y) * picture.row_stride,
               picture.width * 3);
    EXPECT_EQ(prepare_picture(expected.pixels.data(), expected.pixels.size(), rounded, picture.height,
                              expected.row_stride, quality, {}),
              1);
    return expected;
}

void set_modified(const std::string& path, time_t seconds) {
    timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

struct PictureServiceTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;

    const PictureSlot& slot(int index) { return ctx->pictures.slots[index]; }

    std::vector<uint8_t> slot_pixels(int index) {
        const PictureSlot& s = slot(index);
        const uint8_t* start = s.block.data() + s.pixels_offset;
        return std::vector<uint8_t>(start, start + static_cast<size_t>(s.width) * 3 * s.height);
    }

    // Writes `bmp` as `name` dated `seconds` and loads it into `index`.
    int write_and_load(const std::string& name, const std::string& bmp, time_t seconds = 1'600'000'000,
                       int index = PICTURE_MAIN) {
        write_file(dir.file(name), bmp);
        set_modified(dir.file(name), seconds);
        return load_picture(*ctx, ctx->pictures, dir.file(name).c_str(), index);
    }
};

TEST_F(PictureServiceTest, a_100_by_50_picture_is_prepared_and_its_prepared_copy_written) {
    SyntheticPicture photo = make_photo_picture(100, 50, 7);
    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(photo)), 1);

    EXPECT_EQ(slot(PICTURE_MAIN).width, 100);
    EXPECT_EQ(slot(PICTURE_MAIN).height, 50);
    int columns = -1, rows = -1;
    EXPECT_EQ(picture_grid(ctx->pictures, PICTURE_MAIN, &columns, &rows), 1);
    EXPECT_EQ(columns, 3);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);

    std::string prepared = read_file(dir.file("song.dbp"));
    ASSERT_EQ(prepared.size(), 54u + 100 * 3 * 50);
    EXPECT_EQ(get32(prepared, 30), 30866u + 65536u * 2);
    EXPECT_EQ(get32(prepared, 2), prepared.size());
    EXPECT_EQ(prepared[28], 24);
    EXPECT_EQ(std::vector<uint8_t>(prepared.begin() + 54, prepared.end()), slot_pixels(PICTURE_MAIN));
}

TEST_F(PictureServiceTest, pictures_whose_width_is_not_a_multiple_of_4_get_black_padding_pixels) {
    // A 24-bit row of 37 pixels is stored in 112 bytes; the slot keeps rows
    // of 40 pixels, the last three black.
    SyntheticPicture photo = make_photo_picture(37, 40, 3);
    ASSERT_EQ(write_and_load("odd.BMP", make_bmp24(photo)), 1);
    EXPECT_EQ(slot(PICTURE_MAIN).width, 40);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);
    EXPECT_EQ(read_file(dir.file("odd.dbp")).size(), 54u + 40 * 3 * 40);
}

TEST_F(PictureServiceTest, an_8_bit_picture_is_widened_to_24_bits_through_its_colour_table) {
    const int width = 70, height = 33;  // rounded width 72
    ASSERT_EQ(write_and_load("eight.bmp", make_bmp8(width, height)), 1);

    SyntheticPicture widened;
    widened.width = width;
    widened.height = height;
    widened.row_stride = width * 3;
    widened.pixels.resize(static_cast<size_t>(width) * 3 * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t i = index_at(x, y);
            uint8_t* p = widened.pixel(x, y);
            p[0] = i;
            p[1] = static_cast<uint8_t>(255 - i);
            p[2] = static_cast<uint8_t>(i / 2);
        }
    EXPECT_EQ(slot(PICTURE_MAIN).width, 72);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(widened, 2).pixels);

    std::string prepared = read_file(dir.file("eight.dbp"));
    const uint32_t size = (height * 72 + 18) * 3;
    ASSERT_EQ(prepared.size(), size);
    EXPECT_EQ(get32(prepared, 2), size);
    EXPECT_EQ(get32(prepared, 10), 54u);
    EXPECT_EQ(prepared[28], 24);
    EXPECT_EQ(get32(prepared, 34), static_cast<uint32_t>(height * 72 * 3));
    EXPECT_EQ(get32(prepared, 18), static_cast<uint32_t>(width));

    // The prepared copy loads back to the same pixels.
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("eight.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(widened, 2).pixels);
}

TEST_F(PictureServiceTest, a_current_prepared_copy_is_used_without_preparing_again) {
    SyntheticPicture photo = make_photo_picture(64, 64, 11);
    ASSERT_EQ(write_and_load("keep.bmp", make_bmp24(photo)), 1);
    // Mark the copy so that its use shows: a preparation would overwrite it.
    std::string prepared = read_file(dir.file("keep.dbp"));
    prepared[54] = 'X';
    write_file(dir.file("keep.dbp"), prepared);
    set_modified(dir.file("keep.dbp"), 1'600'000'000);  // as old as the picture: still current

    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("keep.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN)[0], 'X');
    EXPECT_EQ(read_file(dir.file("keep.dbp")), prepared);

    // With the picture gone the prepared copy still serves.
    remove(dir.file("keep.bmp").c_str());
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("keep.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN)[0], 'X');
}

TEST_F(PictureServiceTest, progress_follows_a_preparation_and_stays_silent_for_a_prepared_copy) {
    std::vector<int> steps;
    const PictureProgress progress = [&](int percent) { steps.push_back(percent); };
    write_file(dir.file("p.bmp"), make_bmp24(make_photo_picture(64, 64, 6)));
    set_modified(dir.file("p.bmp"), 1'600'000'000);
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("p.bmp").c_str(), PICTURE_MAIN, &progress), 1);
    EXPECT_EQ(steps, (std::vector<int>{10, 25, 40, 55, 65, 75, 85, 95}));

    steps.clear();
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("p.bmp").c_str(), PICTURE_MAIN, &progress), 1);
    EXPECT_TRUE(steps.empty());
}

TEST_F(PictureServiceTest, a_changed_image_quality_prepares_again_and_rewrites_the_copy) {
    SyntheticPicture photo = make_photo_picture(64, 32, 5);
    ASSERT_EQ(write_and_load("q.bmp", make_bmp24(photo)), 1);
    EXPECT_EQ(slot(PICTURE_MAIN).quality, 2);

    ctx->state.ImageQuality = 4;
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("q.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot(PICTURE_MAIN).quality, 4);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 4).pixels);
    std::string prepared = read_file(dir.file("q.dbp"));
    EXPECT_EQ(get32(prepared, 30), 30866u + 65536u * 4);
    EXPECT_NE(expected_prepared(photo, 4).pixels, expected_prepared(photo, 2).pixels);

    // A quality without a schedule of its own takes the nearest one.
    ctx->state.ImageQuality = 9;
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("q.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot(PICTURE_MAIN).quality, 4);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 4).pixels);
}

TEST_F(PictureServiceTest, a_picture_touched_after_its_copy_was_written_prepares_again) {
    ASSERT_EQ(write_and_load("t.bmp", make_bmp24(make_photo_picture(64, 32, 1))), 1);
    set_modified(dir.file("t.dbp"), 1'600'000'100);

    SyntheticPicture changed = make_gradient_picture(64, 32);
    ASSERT_EQ(write_and_load("t.bmp", make_bmp24(changed), 1'600'000'200), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(changed, 2).pixels);
    std::string prepared = read_file(dir.file("t.dbp"));
    EXPECT_EQ(std::vector<uint8_t>(prepared.begin() + 54, prepared.end()), expected_prepared(changed, 2).pixels);
}

TEST_F(PictureServiceTest, a_damaged_prepared_copy_is_replaced_from_the_picture) {
    SyntheticPicture photo = make_photo_picture(64, 32, 9);
    ASSERT_EQ(write_and_load("d.bmp", make_bmp24(photo)), 1);
    std::string prepared = read_file(dir.file("d.dbp"));
    write_file(dir.file("d.dbp"), prepared.substr(0, 2000));  // marked, but its rows are cut off
    set_modified(dir.file("d.dbp"), 1'600'000'100);

    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("d.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);
    EXPECT_EQ(read_file(dir.file("d.dbp")), prepared);
}

TEST_F(PictureServiceTest, a_prepared_copy_that_cannot_be_written_leaves_the_picture_in_memory) {
    ASSERT_EQ(mkdir(dir.file("w.dbp").c_str(), 0700), 0);  // a directory where the copy would go
    SyntheticPicture photo = make_photo_picture(64, 32, 2);
    ASSERT_EQ(write_and_load("w.bmp", make_bmp24(photo)), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.exit_statuses.empty());

    // A name without ".bmp" has no prepared copy at all.
    ASSERT_EQ(write_and_load("x.picture", make_bmp24(photo)), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);
    EXPECT_FALSE(exists(dir.file("x.dbp")));
}

TEST_F(PictureServiceTest, loading_empties_the_slot_first_and_freeing_the_logo_forgets_the_shown_name) {
    ASSERT_EQ(write_and_load("logo.bmp", make_bmp24(make_gradient_picture(64, 64)), 1'600'000'000, PICTURE_LOGO), 1);
    ctx->pictures.shown_name = "song.bmp";
    EXPECT_EQ(load_picture(*ctx, ctx->pictures, dir.file("missing.bmp").c_str(), PICTURE_LOGO), 0);
    EXPECT_TRUE(slot(PICTURE_LOGO).block.empty());
    EXPECT_EQ(ctx->pictures.shown_name, "");

    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(make_gradient_picture(64, 64))), 1);
    ctx->pictures.shown_name = "song.bmp";
    free_picture(ctx->pictures, PICTURE_MAIN);
    EXPECT_TRUE(slot(PICTURE_MAIN).block.empty());
    EXPECT_EQ(ctx->pictures.shown_name, "song.bmp");
    int columns = -1, rows = -1;
    EXPECT_EQ(picture_grid(ctx->pictures, PICTURE_MAIN, &columns, &rows), 0);
    EXPECT_EQ(columns + rows, 0);
}

TEST_F(PictureServiceTest, bmp_headers_that_lie_are_refused_by_the_check_and_the_loader) {
    const std::string good = make_bmp24(make_photo_picture(40, 36, 4));
    struct Lie {
        const char* what;
        int at;
        uint32_t value;
    };
    const Lie lies[] = {
        {"width zero", 18, 0},
        {"width negative", 18, static_cast<uint32_t>(-40)},
        {"height zero", 22, 0},
        {"more top-down rows than the file holds", 22, static_cast<uint32_t>(-37)},
        {"compressed pixels", 30, 1},
        {"an old 12-byte information header", 14, 12},
        {"pixels inside a 124-byte information header", 14, 124},
        {"more rows than the file holds", 22, 37},
        {"wider than the file holds", 18, 400},
        {"width overflowing the row size", 18, 0x7fffffff},
        {"height overflowing the image size", 22, 0x40000000},
        {"pixel offset beyond the file", 10, static_cast<uint32_t>(good.size())},
        {"pixel offset that wraps around", 10, 0xfffffff0},
        {"pixel offset inside the header", 10, 20},
        {"16 bits per pixel", 28, 16},
        {"file size beyond the file", 2, static_cast<uint32_t>(good.size() + 1)},
    };
    for (const Lie& lie : lies) {
        std::string bmp = good;
        if (lie.at == 28)
            bmp[28] = static_cast<char>(lie.value);
        else
            put32(bmp, lie.at, lie.value);
        write_file(dir.file("lie.bmp"), bmp);
        EXPECT_EQ(check_picture_file(dir.file("lie.bmp").c_str()), 1) << lie.what;
        EXPECT_EQ(load_picture(*ctx, ctx->pictures, dir.file("lie.bmp").c_str(), PICTURE_MAIN), 0) << lie.what;
        EXPECT_TRUE(slot(PICTURE_MAIN).block.empty()) << lie.what;
    }
    write_file(dir.file("lie.bmp"), good);
    EXPECT_EQ(check_picture_file(dir.file("lie.bmp").c_str()), 0);
    EXPECT_EQ(load_picture(*ctx, ctx->pictures, dir.file("lie.bmp").c_str(), PICTURE_MAIN), 1);
    EXPECT_TRUE(host.exit_statuses.empty());
}

// The same picture with its rows stored top row first (a negative height).
std::string top_down(const std::string& bmp) {
    const uint32_t offset = get32(bmp, 10);
    const int height = static_cast<int>(get32(bmp, 22));
    const size_t stride = (bmp.size() - offset) / static_cast<size_t>(height);
    std::string flipped = bmp.substr(0, offset);
    put32(flipped, 22, static_cast<uint32_t>(-height));
    for (int y = height - 1; y >= 0; --y) flipped += bmp.substr(offset + static_cast<size_t>(y) * stride, stride);
    return flipped;
}

TEST_F(PictureServiceTest, top_down_pictures_are_read_as_their_bottom_up_twins) {
    const std::string pictures[] = {make_bmp24(make_photo_picture(70, 40, 3)), make_bmp8(45, 33)};
    for (const std::string& bottom_up : pictures) {
        ASSERT_EQ(write_and_load("up.bmp", bottom_up), 1);
        const std::vector<uint8_t> expected = slot_pixels(PICTURE_MAIN);
        const std::string flipped = top_down(bottom_up);
        ASSERT_EQ(write_and_load("down.bmp", flipped), 1);
        EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected);
        // The prepared copy stores its rows bottom first, and serves as such.
        const std::string prepared = read_file(dir.file("down.dbp"));
        EXPECT_EQ(get32(prepared, 22), get32(bottom_up, 22));
        ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("down.bmp").c_str(), PICTURE_MAIN), 1);
        EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected);
        remove(dir.file("down.dbp").c_str());
        remove(dir.file("up.dbp").c_str());
    }
}

// Newer programs write information headers of 108 or 124 bytes; the colour
// table of an 8-bit picture follows the header, not offset 54.
TEST_F(PictureServiceTest, an_8_bit_colour_table_is_found_after_the_real_header_size) {
    const int width = 40, height = 32;
    ASSERT_EQ(write_and_load("plain.bmp", make_bmp8(width, height)), 1);
    const std::vector<uint8_t> expected = slot_pixels(PICTURE_MAIN);

    std::string v5 = make_bmp8(width, height);
    v5.insert(54, std::string(124 - 40, '\x55'));  // the newer header's fields
    put32(v5, 14, 124);
    put32(v5, 10, 14 + 124 + 1024);
    put32(v5, 2, static_cast<uint32_t>(v5.size()));
    ASSERT_EQ(write_and_load("v5.bmp", v5), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected);

    // Only the colours the header counts are used: a pixel beyond them is
    // black, as if the table held black there.
    std::string black = make_bmp8(width, height);
    for (size_t at = 54 + 16 * 4; at < 54 + 1024; ++at) black[at] = '\0';
    ASSERT_EQ(write_and_load("black.bmp", black), 1);
    const std::vector<uint8_t> sixteen_colours = slot_pixels(PICTURE_MAIN);
    std::string counted = make_bmp8(width, height);
    put32(counted, 46, 16);
    ASSERT_EQ(write_and_load("counted.bmp", counted), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), sixteen_colours);
    EXPECT_NE(sixteen_colours, expected);
}

TEST_F(PictureServiceTest, a_link_at_the_prepared_copy_is_replaced_not_followed) {
    write_file(dir.file("victim.txt"), "someone's notes");
    ASSERT_EQ(symlink(dir.file("victim.txt").c_str(), dir.file("pic.dbp").c_str()), 0);
    ASSERT_EQ(write_and_load("pic.bmp", make_bmp24(make_photo_picture(64, 32, 5))), 1);
    EXPECT_EQ(read_file(dir.file("victim.txt")), "someone's notes");
    struct stat info;
    ASSERT_EQ(lstat(dir.file("pic.dbp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(get32(read_file(dir.file("pic.dbp")), 30), prepared_picture_mark(ctx->state.ImageQuality));
}

TEST_F(PictureServiceTest, directories_and_pipes_are_never_opened_as_pictures) {
    // Opening a pipe would wait for a writer and stop the station with it.
    ASSERT_EQ(mkdir(dir.file("folder.bmp").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.bmp").c_str(), 0600), 0);
    for (const char* name : {"folder.bmp", "pipe.bmp"}) {
        EXPECT_EQ(check_picture_file(dir.file(name).c_str()), 2) << name;
        EXPECT_EQ(load_picture(*ctx, ctx->pictures, dir.file(name).c_str(), PICTURE_MAIN), 0) << name;
        EXPECT_TRUE(slot(PICTURE_MAIN).block.empty()) << name;
    }

    // A pipe where the prepared copy goes is neither read nor written.
    ASSERT_EQ(mkfifo(dir.file("song.dbp").c_str(), 0600), 0);
    SyntheticPicture photo = make_photo_picture(64, 32, 3);
    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(photo)), 1);
    EXPECT_EQ(slot_pixels(PICTURE_MAIN), expected_prepared(photo, 2).pixels);
    struct stat info;
    ASSERT_EQ(stat(dir.file("song.dbp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_TRUE(host.exit_statuses.empty());
}

// ---- requests over real sockets --------------------------------------------

struct PictureRequestTest : PictureServiceTest {
    LoopbackSocket station{"127.0.25.1"};
    LoopbackSocket listener{"127.0.25.2"};
    static constexpr uint32_t kSession = 0xA1B2C3D4;

    void SetUp() override {
        ctx->station.socket = UdpSocket(dup(station.fd()));
        ctx->sender.packet_counter = 4242;
    }

    void ask(const char* text) {
        handle_picture_request(*ctx, ctx->pictures, ctx->codec, ctx->station, ctx->queue,
                               ctx->sender.packet_counter, listener.addr(), sizeof(sockaddr_in),
                               text, kSession);
    }

    // The reply to `text`, checked for the picture reply's header; its payload.
    std::string reply_to(const char* text) {
        ask(text);
        std::vector<uint8_t> datagram = listener.receive(1000);
        if (datagram.size() < 12) {
            ADD_FAILURE() << "no reply to " << text;
            return {};
        }
        PacketHeader header = get_packet_header(datagram.data());
        EXPECT_EQ(header.seq, 4242u);
        EXPECT_EQ(header.session, kSession);
        EXPECT_EQ(header.flags, PF_TEXT);
        EXPECT_EQ(header.length, datagram.size() - 12);
        return std::string(datagram.begin() + 12, datagram.end());
    }

    bool answered(const char* text) {
        ask(text);
        return !listener.receive(100).empty();
    }

    // Decodes a tile reply after its text of `text_length` characters.
    std::vector<uint8_t> decoded_tile(const std::string& payload, size_t text_length) {
        std::vector<uint8_t> tile(PICTURE_TILE_BYTES);
        EXPECT_EQ(decode_picture_tile(reinterpret_cast<const uint8_t*>(payload.data()) + text_length,
                                      static_cast<int>(payload.size() - text_length), tile.data()),
                  1);
        return tile;
    }
};

TEST_F(PictureRequestTest, a_100_by_50_picture_answers_its_grid_and_no_tile_outside_it) {
    SyntheticPicture photo = make_photo_picture(100, 50, 7);
    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(photo)), 1);

    EXPECT_EQ(reply_to("GETPAL"), "BMPPAL003001");  // no NUL is sent
    EXPECT_FALSE(answered("GETBMPXY004000"));
    EXPECT_FALSE(answered("GETBMPXY000002"));
    EXPECT_FALSE(answered("GETBMPXY999999"));

    std::string payload = reply_to("GETBMPXY001000");
    ASSERT_EQ(payload.substr(0, 11), "BMPXY001000");
    EXPECT_LT(mean_absolute_error(decoded_tile(payload, 11), copy_tile(photo, 1, 0)), 6.0);
}

TEST_F(PictureRequestTest, a_tile_reply_too_long_for_one_datagram_is_not_sent) {
    // Tile 3 of a 100-pixel-wide picture starts inside it (pixel 96) and
    // passes the grid check; its unprepared pixels and the black beyond the
    // edge code to more than one datagram carries.
    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(make_photo_picture(100, 50, 7))), 1);
    uint8_t tile[PICTURE_TILE_BYTES];
    ASSERT_EQ(copy_picture_tile(slot(PICTURE_MAIN), 3, 0, tile), 1);
    for (int y = 0; y < 32; ++y)  // columns 100 to 127 lie beyond the edge
        for (int i = 12; i < 96; ++i) ASSERT_EQ(tile[y * 96 + i], 0);
    uint8_t payload[PICTURE_PAYLOAD_MAX_BYTES];
    ASSERT_GT(encode_picture_tile(ctx->codec, tile, 2, payload) + 11, MAX_PAYLOAD);

    EXPECT_FALSE(answered("GETBMPXY003000"));
    EXPECT_EQ(reply_to("GETPAL"), "BMPPAL003001");  // the service goes on
}

TEST_F(PictureRequestTest, a_grid_wider_than_three_digits_is_announced_as_999_columns) {
    // 32032 pixels make 1001 columns; a request can name tiles 0 to 999 only.
    ASSERT_EQ(write_and_load("wide.bmp", make_bmp24(make_gradient_picture(32032, 32))), 1);
    EXPECT_EQ(reply_to("GETPAL"), "BMPPAL999001");
    EXPECT_EQ(reply_to("GETBMPXY999000").substr(0, 11), "BMPXY999000");
}

TEST_F(PictureRequestTest, the_logo_announces_at_most_4_by_4_tiles_but_serves_all_of_them) {
    SyntheticPicture logo = make_photo_picture(200, 200, 21);
    ASSERT_EQ(write_and_load("logo.bmp", make_bmp24(logo), 1'600'000'000, PICTURE_LOGO), 1);

    EXPECT_EQ(reply_to("LOGOGETPAL"), "LOGOBMPPAL004004");
    std::string payload = reply_to("LOGOGETBMPXY005005");
    ASSERT_EQ(payload.substr(0, 15), "LOGOBMPXY005005");
    EXPECT_LT(mean_absolute_error(decoded_tile(payload, 15), copy_tile(logo, 5, 5)), 6.0);
    EXPECT_FALSE(answered("LOGOGETBMPXY007000"));

    // The main slot is a different picture: still empty.
    EXPECT_EQ(reply_to("GETPAL"), "N/A");
}

TEST_F(PictureRequestTest, empty_slots_answer_not_available_and_unknown_requests_nothing) {
    EXPECT_EQ(reply_to("GETBMPXY000000"), "N/A");
    EXPECT_EQ(reply_to("LOGOGETPAL"), "LOGON/A");

    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(make_gradient_picture(64, 64))), 1);
    for (const char* text : {"", "HELLO", "GETBMPXY", "GETBMPXY00100", "GETBMPXY0a1000", "GETBMPXY-01000",
                             "logoGETPAL", "GETPA"})
        EXPECT_FALSE(answered(text)) << text;
    // Characters after the position are ignored, as is the case of nothing else.
    EXPECT_EQ(reply_to("GETBMPXY001001 please").substr(0, 11), "BMPXY001001");
    EXPECT_EQ(reply_to("GETPALETTE"), "BMPPAL002002");
}

TEST_F(PictureRequestTest, tiles_carry_the_quality_their_picture_was_prepared_at) {
    SyntheticPicture photo = make_photo_picture(64, 64, 8);
    ASSERT_EQ(write_and_load("song.bmp", make_bmp24(photo)), 1);
    ctx->state.ImageQuality = 0;  // changed in the options while the picture is shown
    std::string payload = reply_to("GETBMPXY000001");
    ASSERT_GT(payload.size(), 11u);
    EXPECT_EQ(payload[11], 2);
    EXPECT_LT(mean_absolute_error(decoded_tile(payload, 11), copy_tile(photo, 0, 1)), 6.0);
}

// Fuzz: BMP files made from valid 8- and 24-bit pictures by overwriting
// random header fields with random or extreme values, flipping random bytes
// and cutting the file short, sometimes with a damaged prepared copy beside
// them; then random request texts (random bytes, or near misses built from
// "LOGO", "GETPAL", "GETBMPXY" and digits) against whatever got loaded.
// Nothing may read outside the block (asan watches), and a loaded slot
// must keep its rows inside its block.
TEST_F(PictureRequestTest, random_and_lying_pictures_and_requests_never_break_the_service) {
    std::mt19937 random(20240611);
    const std::string bases[] = {make_bmp24(make_photo_picture(40, 36, 1)), make_bmp8(37, 33),
                                 make_bmp24(make_noise_picture(33, 64, 2))};
    const int fields[] = {2, 10, 18, 22, 28, 34};
    const uint32_t extremes[] = {0, 1, 31, 32, 33, 0x7fff, 0x8000, 0xffff, 0x7fffffff, 0x80000000, 0xffffffff};
    auto any = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };

    int loaded = 0;
    for (int round = 0; round < 300; ++round) {
        std::string bmp = bases[any(3)];
        for (uint32_t k = any(3); k > 0; --k)
            put32(bmp, fields[any(6)], any(2) ? extremes[any(11)] : static_cast<uint32_t>(random()));
        for (uint32_t k = any(4); k > 0; --k) bmp[any(static_cast<uint32_t>(bmp.size()))] = static_cast<char>(random());
        if (any(4) == 0) bmp.resize(any(static_cast<uint32_t>(bmp.size())));
        write_file(dir.file("fuzz.bmp"), bmp);
        set_modified(dir.file("fuzz.bmp"), 1'600'000'000);
        if (any(3) == 0 && exists(dir.file("fuzz.dbp"))) {
            std::string prepared = read_file(dir.file("fuzz.dbp"));
            if (prepared.size() >= 54)
                for (uint32_t k = any(4); k > 0; --k) put32(prepared, fields[any(6)], extremes[any(11)]);
            if (any(2)) prepared.resize(any(static_cast<uint32_t>(prepared.size())));
            write_file(dir.file("fuzz.dbp"), prepared);
            set_modified(dir.file("fuzz.dbp"), 1'600'000'100);
        }

        int slot_index = static_cast<int>(any(2));
        if (load_picture(*ctx, ctx->pictures, dir.file("fuzz.bmp").c_str(), slot_index) == 1) {
            ++loaded;
            const PictureSlot& s = slot(slot_index);
            ASSERT_EQ(s.width % 4, 0);
            ASSERT_LE(s.pixels_offset + static_cast<size_t>(s.width) * 3 * s.height, s.block.size);
        } else {
            ASSERT_TRUE(slot(slot_index).block.empty());
        }

        for (int request = 0; request < 6; ++request) {
            std::string text;
            if (any(3) == 0) {
                for (uint32_t n = any(24); n > 0; --n) text += static_cast<char>(1 + any(255));
            } else {
                static const char* const pieces[] = {"LOGO", "GETPAL", "GETBMPXY", "0", "1", "00", "9", "x"};
                for (uint32_t n = 1 + any(6); n > 0; --n) text += pieces[any(8)];
            }
            ask(text.c_str());
        }
        listener.receive_all(0);
    }
    EXPECT_GT(loaded, 20);  // the fuzzing reached the preparation and the tiles, not only the refusals
    EXPECT_TRUE(host.exit_statuses.empty());
}

}  // namespace
