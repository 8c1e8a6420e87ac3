#include "media/picture_slots.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/messages.h"
#include "codec/picture_transform.h"
#include "media/picture_check.h"
#include "platform/safe_files.h"

namespace {

// The BMP headers as the loader reads and writes them (little-endian):
//
//   offset  width  field
//   0       2      "BM"
//   2       4      file size (of a prepared file: the size of the block written)
//   10      4      offset of the pixel rows
//   14      4      size of the information header (40; 108 or 124 in newer files)
//   18      4      width in pixels, signed
//   22      4      height in rows, signed; rows stored bottom row first, or
//                  top row first when negative (never in a prepared file)
//   28      2      bits per pixel: 8 (colour table of 4-byte entries right
//                  after the information header) or 24
//   30      4      compression; the prepared mark in a prepared file
//   34      4      size of the pixel rows
//   46      4      colours used (0: 256), 50: colours important (0 for 24 bits)
constexpr int kHeaderSize = 54;
constexpr int kFileSizeAt = 2;
constexpr int kPixelOffsetAt = 10;
constexpr int kInfoSizeAt = 14;
constexpr int kWidthAt = 18;
constexpr int kHeightAt = 22;
constexpr int kBitsAt = 28;
constexpr int kCompressionAt = 30;
constexpr int kImageSizeAt = 34;
constexpr int kColoursUsedAt = 46;
constexpr int kColoursImportantAt = 50;
constexpr int kFileHeaderSize = 14;
constexpr int kMaxSide = 32767;  // width and height travel as 16-bit signed values

constexpr size_t kWritePiece = 8192;

uint32_t get_u32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// ---- files -------------------------------------------------------------

struct FileStamp {
    bool exists = false;
    bool plain = false;       // a regular file; anything else (a directory, a pipe) is never opened
    int64_t modified_ns = 0;  // modification time, nanoseconds since 1970
};

FileStamp file_stamp(const std::string& path) {
    FileStamp stamp;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        stamp.exists = true;
        stamp.plain = S_ISREG(info.st_mode);
        stamp.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    }
    return stamp;
}

bool read_header(const std::string& path, uint8_t header[kHeaderSize]) {
    FILE* file = open_regular_file(path.c_str());
    if (!file) return false;
    bool whole = fread(header, 1, kHeaderSize, file) == kHeaderSize;
    fclose(file);
    return whole;
}

enum ReadResult { READ_FAILED = 0, READ_DONE = 1, READ_NO_MEMORY = -1 };

ReadResult read_whole_file(const std::string& path, PictureBlock& block) {
    FILE* file = open_regular_file(path.c_str());
    if (!file) return READ_FAILED;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    ReadResult result = READ_FAILED;
    if (size >= kHeaderSize && fseek(file, 0, SEEK_SET) == 0) {
        if (!block.assign(static_cast<size_t>(size), 0))
            result = READ_NO_MEMORY;
        else if (fread(block.data(), 1, block.size, file) == block.size)
            result = READ_DONE;
    }
    fclose(file);
    if (result != READ_DONE) block = PictureBlock{};
    return result;
}

// Writes the prepared copy in pieces of 8192 bytes under a temporary name
// and renames it into place when whole: a copy cut short would be taken for
// a prepared picture next time, and a link at its name must be replaced,
// never followed into someone else's file.
// Returns "" when written, else the cause.
std::string write_prepared_file(const std::string& path, const PictureBlock& block) {
    OutputFile out;
    if (!begin_output(out, path)) return out.why;
    for (size_t at = 0; at < block.size; at += kWritePiece) {
        size_t piece = block.size - at < kWritePiece ? block.size - at : kWritePiece;
        if (fwrite(block.data() + at, 1, piece, out.file) != piece) {
            const std::string why = strerror(errno ? errno : EIO);
            abandon_output(out);
            return why;
        }
    }
    return commit_output(out) ? "" : out.why;
}

// ---- the picture in its block -------------------------------------------

// Where the loader finds the pixels of a block, checked against its size.
struct BlockLayout {
    size_t pixels_offset = 0;
    int width = 0;          // as the header says
    int rounded_width = 0;  // up to a multiple of 4
    int height = 0;         // rows, whatever their order
    bool top_down = false;  // rows stored top row first
    int bits = 0;
    size_t source_stride = 0;  // bytes from one stored row to the next
    size_t colour_table_offset = 0;  // 8 bits: right after the information header
    size_t colours = 0;              // 8 bits: colour table entries inside the block
};

// The header must describe rows that lie inside the block: a header that
// lies about its sizes would otherwise have the loader read, and the
// preparation write, past the picture. A prepared block stores rows of
// rounded width x 3 bytes; a BMP pads each row to a multiple of 4 bytes.
bool describe_block(const PictureBlock& block, bool prepared, BlockLayout& layout) {
    if (block.size < static_cast<size_t>(kHeaderSize)) return false;
    const uint8_t* header = block.data();
    int32_t width = static_cast<int32_t>(get_u32(header + kWidthAt));
    int32_t height = static_cast<int32_t>(get_u32(header + kHeightAt));
    int bits = get_u16(header + kBitsAt);
    const bool top_down = height < 0 && !prepared;
    if (top_down && height >= -kMaxSide) height = -height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
    if (bits != 24 && (bits != 8 || prepared)) return false;

    layout.pixels_offset = get_u32(header + kPixelOffsetAt);
    layout.width = width;
    layout.rounded_width = (width + 3) / 4 * 4;
    layout.height = height;
    layout.top_down = top_down;
    layout.bits = bits;
    if (bits == 8) {
        // Entries (blue, green, red, unused) as many as the header says are
        // used, as far as they lie inside the block; an index past them
        // reads as black.
        const uint64_t table = kFileHeaderSize + uint64_t(get_u32(header + kInfoSizeAt));
        const uint32_t used = get_u32(header + kColoursUsedAt);
        layout.colour_table_offset = table < block.size ? static_cast<size_t>(table) : block.size;
        layout.colours = std::min<size_t>((block.size - layout.colour_table_offset) / 4,
                                          used >= 1 && used <= 256 ? used : 256);
    }
    if (prepared)
        layout.source_stride = static_cast<size_t>(layout.rounded_width) * 3;
    else
        layout.source_stride = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
    if (layout.pixels_offset < static_cast<size_t>(kHeaderSize)) return false;
    return layout.pixels_offset + layout.source_stride * static_cast<size_t>(height) <= block.size;
}

// Builds the 24-bit block the tile coder reads, rows of rounded width x 3
// bytes from offset 54, bottom row first: from an 8-bit picture through its
// colour table, from a 24-bit picture whose rows the BMP pads differently,
// and from a picture stored top row first. The header is the picture's own
// with the fields that change. The new block starts zeroed, so the padding
// pixels are black.
bool widen_block(const PictureBlock& source, const BlockLayout& layout, PictureBlock& widened) {
    const size_t stride = static_cast<size_t>(layout.rounded_width) * 3;
    const size_t image_size = stride * static_cast<size_t>(layout.height);
    if (!widened.assign(kHeaderSize + image_size, 0)) return false;

    uint8_t* header = widened.data();
    memcpy(header, source.data(), kHeaderSize);
    put_u32(header + kFileSizeAt, static_cast<uint32_t>(widened.size));
    put_u32(header + kPixelOffsetAt, kHeaderSize);
    put_u32(header + kInfoSizeAt, 40);
    put_u32(header + kHeightAt, static_cast<uint32_t>(layout.height));
    put_u16(header + kBitsAt, 24);
    put_u32(header + kImageSizeAt, static_cast<uint32_t>(image_size));
    put_u32(header + kColoursUsedAt, 0);
    put_u32(header + kColoursImportantAt, 0);

    const uint8_t* rows = source.data() + layout.pixels_offset;
    const uint8_t* table = source.data() + layout.colour_table_offset;
    for (int y = 0; y < layout.height; ++y) {
        const int stored = layout.top_down ? layout.height - 1 - y : y;
        const uint8_t* from = rows + static_cast<size_t>(stored) * layout.source_stride;
        uint8_t* to = header + kHeaderSize + static_cast<size_t>(y) * stride;
        if (layout.bits == 24) {
            memcpy(to, from, static_cast<size_t>(layout.width) * 3);
            continue;
        }
        for (int x = 0; x < layout.width; ++x) {
            if (from[x] >= layout.colours) continue;
            memcpy(to + x * 3, table + from[x] * 4, 3);
        }
    }
    return true;
}

// A picture too large for memory ends the program; callers see the
// station socket closed and stop.
int picture_out_of_memory(Services& services, const char* path) {
    debug_trace(services, "BMP %s: out of memory\n", path);
    show_message(services, false, Buttons::ok | Icon::error | BoxFlag::system_modal,
                 "Error: Bitmap not loaded!");
    end_program(services, EXIT_SOCKET_FAILED);
    return 0;
}

// Reads a picture or prepared file whole and finds its pixels; traces why
// a file is refused.
ReadResult read_picture(Services& services, const std::string& path, bool prepared, PictureBlock& block,
                        BlockLayout& layout) {
    int check = check_picture_file(path.c_str());
    if (check != 0) {
        debug_trace(services, "BMP %s: %s\n", path.c_str(), check == 2 ? "cannot be opened" : "not a usable BMP");
        return READ_FAILED;
    }
    ReadResult result = read_whole_file(path, block);
    if (result != READ_DONE) return result;
    if (!describe_block(block, prepared, layout)) {
        debug_trace(services, "BMP %s: its header does not describe its pixels\n", path.c_str());
        block = PictureBlock{};
        return READ_FAILED;
    }
    return READ_DONE;
}

}  // namespace

std::string prepared_picture_name(const char* path) {
    size_t length = strlen(path);
    if (length <= 4 || strcasecmp(path + length - 4, ".bmp") != 0) return {};
    return std::string(path, length - 4) + ".dbp";
}

bool PictureBlock::assign(size_t count, uint8_t value) {
    bytes.reset(new (std::nothrow) uint8_t[count]);
    size = bytes ? count : 0;
    if (bytes) memset(bytes.get(), value, count);
    return bytes != nullptr;
}

int load_picture(Services& services, PictureSlots& pictures, const char* path, int slot,
                 const PictureProgress* progress, std::string* unsaved) {
    if (unsaved) unsaved->clear();
    if (path == nullptr || slot < 0 || slot >= PICTURE_SLOT_COUNT) return 0;
    const std::string prepared_name = prepared_picture_name(path);
    const FileStamp picture_stamp = file_stamp(path);
    const FileStamp prepared_stamp = prepared_name.empty() ? FileStamp{} : file_stamp(prepared_name);

    free_picture(pictures, slot);
    // A settings file may hold any number; the nearest quantiser schedule
    // serves rather than no picture at all.
    int quality = pictures.settings->ImageQuality;
    if (quality < 0 || quality > PICTURE_QUALITY_MAX) {
        debug_trace(services, "BMP %s: ImageQuality %d has no quantiser schedule\n", path, quality);
        quality = quality < 0 ? 0 : PICTURE_QUALITY_MAX;
    }

    PictureBlock block;
    BlockLayout layout;
    bool prepared = false;
    uint8_t header[kHeaderSize];
    if (prepared_stamp.plain && read_header(prepared_name, header) &&
        get_u32(header + kCompressionAt) == prepared_picture_mark(quality) &&
        !(picture_stamp.exists && picture_stamp.modified_ns > prepared_stamp.modified_ns)) {
        ReadResult result = read_picture(services, prepared_name, true, block, layout);
        if (result == READ_NO_MEMORY) return picture_out_of_memory(services, prepared_name.c_str());
        prepared = result == READ_DONE;
    }
    if (!prepared) {
        ReadResult result = read_picture(services, path, false, block, layout);
        if (result == READ_NO_MEMORY) return picture_out_of_memory(services, path);
        if (result != READ_DONE) return 0;  // missing or unusable: the slot stays empty
    }
    debug_trace(services, "BMP %s %dx%d\n", path, layout.width, layout.height);

    if (!prepared) {
        const size_t stride = static_cast<size_t>(layout.rounded_width) * 3;
        if (layout.bits != 24 || layout.source_stride != stride || layout.top_down) {
            PictureBlock widened;
            if (!widen_block(block, layout, widened)) return picture_out_of_memory(services, path);
            block = std::move(widened);
            layout.pixels_offset = kHeaderSize;
        }
        // Rows are now rounded width x 3 bytes with the padding pixels black
        // (a 24-bit picture whose width is a multiple of 4 has none).
        const PictureProgress none;
        if (!prepare_picture(block.data() + layout.pixels_offset, block.size - layout.pixels_offset,
                             layout.rounded_width, layout.height, static_cast<int>(stride), quality,
                             progress ? *progress : none))
            return picture_out_of_memory(services, path);

        uint8_t* written_header = block.data();
        put_u32(written_header + kCompressionAt, prepared_picture_mark(quality));
        put_u16(written_header + kBitsAt, 24);
        put_u32(written_header + kFileSizeAt, static_cast<uint32_t>(block.size));
        std::string why;
        if (prepared_name.empty())
            debug_trace(services, "BMP %s: no prepared copy for a name without \".bmp\"\n", path);
        else if (prepared_stamp.exists && !prepared_stamp.plain)
            why = prepared_name + " is not a file";
        else if (const std::string failure = write_prepared_file(prepared_name, block); !failure.empty())
            why = "cannot write " + prepared_name + ": " + failure;
        if (!why.empty())
            debug_trace(services, "BMP %s: %s, the picture is used from memory\n", path, why.c_str());
        if (unsaved) *unsaved = why;
    }

    PictureSlot& target = pictures.slots[slot];
    target.block = std::move(block);
    target.pixels_offset = layout.pixels_offset;
    target.width = layout.rounded_width;
    target.height = layout.height;
    target.quality = quality;
    return 1;
}

void free_picture(PictureSlots& pictures, int slot) {
    if (slot < 0 || slot >= PICTURE_SLOT_COUNT) return;
    pictures.slots[slot] = PictureSlot{};
    if (slot == PICTURE_LOGO) pictures.shown_name.clear();
}

int picture_grid(const PictureSlots& pictures, int slot, int* columns, int* rows) {
    *columns = *rows = 0;
    if (slot < 0 || slot >= PICTURE_SLOT_COUNT) return 0;
    const PictureSlot& picture = pictures.slots[slot];
    if (picture.block.empty()) return 0;
    *columns = picture.width / PICTURE_TILE_SIZE;
    *rows = picture.height / PICTURE_TILE_SIZE;
    return 1;
}

int copy_picture_tile(const PictureSlot& slot, int column, int row, uint8_t* tile) {
    if (slot.block.empty() || column < 0 || row < 0 || column * PICTURE_TILE_SIZE >= slot.width ||
        row * PICTURE_TILE_SIZE >= slot.height)
        return 0;
    const size_t stride = static_cast<size_t>(slot.width) * 3;
    const size_t first_byte = static_cast<size_t>(column) * PICTURE_TILE_SIZE * 3;
    const size_t row_bytes = stride - first_byte < 96 ? stride - first_byte : 96;
    memset(tile, 0, PICTURE_TILE_BYTES);
    for (int y = 0; y < PICTURE_TILE_SIZE; ++y) {
        int stored_row = row * PICTURE_TILE_SIZE + y;
        if (stored_row >= slot.height) break;
        const uint8_t* from = slot.block.data() + slot.pixels_offset + static_cast<size_t>(stored_row) * stride;
        memcpy(tile + y * 96, from + first_byte, row_bytes);
    }
    return 1;
}
