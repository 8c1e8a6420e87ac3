#include "media/script_tokens.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "base/messages.h"
#include "media/script_table.h"

namespace {

// Copies at most size - 1 characters of `from` and terminates the copy.
void copy_cut(char* to, int size, const char* from) {
    int length = static_cast<int>(strnlen(from, static_cast<size_t>(size - 1)));
    memcpy(to, from, static_cast<size_t>(length));
    to[length] = '\0';
}

// The content of the line at `start` as readers take it: at most
// SCRIPT_LINE_SIZE - 1 characters, cut at a ";", without blanks at its end.
void line_content(const char* start, char (&line)[SCRIPT_LINE_SIZE]) {
    copy_cut(line, sizeof line, start);
    if (char* semicolon = strchr(line, ';')) *semicolon = '\0';
    int end = static_cast<int>(strlen(line));
    while (end > 0 && line[end - 1] == ' ') --end;
    line[end] = '\0';
}

// Splits one line into the number, up to two fields and the rest. The
// caller's buffers may be null; they are filled only when given.
int parse_line(Services& services, const char* text, int* position, int field_count, int* count,
               char* field2, char* field3, char* rest) {
    const char* start = text + *position;
    int length = static_cast<int>(strlen(start));
    *position += length + 1;

    char number[SCRIPT_LINE_SIZE], f2[SCRIPT_NAME_SIZE] = "", f3[SCRIPT_NAME_SIZE] = "";
    char tail[SCRIPT_TEXT_SIZE];
    int value = 0;
    tail[0] = '\0';
    int result = 0;
    if (length > 0) {
        char line[SCRIPT_LINE_SIZE];
        line_content(start, line);

        int p = next_token(line, 0, number, sizeof number);
        value = script_number(number);
        p = next_token(line, p, f2, sizeof f2);
        if (field_count == 2) p = next_token(line, p, f3, sizeof f3);
        copy_cut(tail, sizeof tail, line + skip_blanks(line, p));
        result = 1;
    }
    if (count) *count = value;
    if (field2) memcpy(field2, f2, sizeof f2);
    if (field3) memcpy(field3, f3, sizeof f3);
    if (rest) memcpy(rest, tail, sizeof tail);
    if (result) debug_trace(services, "! %d [%s] [%s] [%s]\n", value, f2, f3, tail);
    return result;
}

}  // namespace

int skip_blanks(const char* line, int position) {
    while (line[position] == ' ') ++position;
    return position;
}

int next_token(const char* line, int position, char* out, int out_size) {
    while (line[position] == ' ' || line[position] == ',') ++position;
    bool quoted = line[position] == '"';
    if (quoted) ++position;
    int length = 0;
    while (line[position] != '\0') {
        char c = line[position];
        if (quoted ? c == '"' : c == ' ') break;
        if (length < out_size - 1) out[length++] = c;
        ++position;
    }
    if (out_size > 0) out[length] = '\0';
    if (quoted && line[position] == '"') ++position;
    return position;
}

int script_number(const char* text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    while (isdigit(static_cast<unsigned char>(*text))) {
        if (value <= INT_MAX) value = value * 10 + (*text - '0');
        ++text;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int parse_script_line(Services& services, const char* text, int* position, int* count, char* field2,
                      char* field3, char* rest) {
    return parse_line(services, text, position, 2, count, field2, field3, rest);
}

int parse_list_line(Services& services, const char* text, int* position, int* count, char* field2,
                    char* rest) {
    return parse_line(services, text, position, 1, count, field2, nullptr, rest);
}

void script_name_lengths(const char* text, int position, int* song_length, int* picture_length) {
    char line[SCRIPT_LINE_SIZE], field[SCRIPT_LINE_SIZE];
    line_content(text + position, line);
    int p = next_token(line, 0, field, sizeof field);  // the count
    p = next_token(line, p, field, sizeof field);
    *song_length = static_cast<int>(strlen(field));
    next_token(line, p, field, sizeof field);
    *picture_length = static_cast<int>(strlen(field));
}
