// Configuration lines: a line reader over stdio and an in-place tokenizer for
// blank-separated words, quoted strings and '*' comments.
#include "pxrlib.h"

#include <cstddef>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kLineMax = 200;
// Room for the longest message a tokenizer error can produce beyond the echoed line text.
constexpr std::size_t kMessageOverhead = 64;

// Letters, digits and $ + - . / : = ? \ _ (bits k - 36 of the mask for k = 36..95).
int valid_char(unsigned char k) {
    if ((k >= 'A' && k <= 'Z') || (k >= 'a' && k <= 'z') || (k >= '0' && k <= '9')) return 1;
    if (k < 36 || k > 95) return 0;
    return int((0x090000000A400E81ull >> (k - 36)) & 1u);
}

// NUL, TAB, LF and blank (bit k of the mask for k = 0..32).
int white_space(unsigned char k) {
    if (k > 32) return 0;
    return int((0x100000601ull >> k) & 1u);
}

enum class State { Between, InToken, InQuotes, Done };

// The text ended without a closing character: cut the last character, report it with the
// beginning of the line, and keep the tokens completed so far.
int line_overflow(char *line, int pos, int length, char *err, std::size_t err_size) {
    if (pos > 0) line[pos - 1] = '\0';
    std::snprintf(err, err_size, "Error : Line overflow : %s (%d of %d chars)\n", line, pos,
                  length);
    return -1;
}

int tokenize(char *line, int length, int *count, char **tokens, char *err, std::size_t err_size) {
    const int capacity = *count;
    *count = 0;
    int result = 0;
    int pos = 0;
    State state = State::Between;
    while (state != State::Done && *count < capacity) {
        // Nothing at or beyond length is read; the NUL there is the caller's terminator.
        const bool at_end = pos >= length;
        const unsigned char c = at_end ? 0 : static_cast<unsigned char>(line[pos]);
        switch (state) {
        case State::Between:
            if (at_end) {
                result = line_overflow(line, pos, length, err, err_size);
                state = State::Done;
            } else if (c == '*' || c == '\n') {
                state = State::Done;
            } else if (c == '"') {
                ++pos;
                tokens[*count] = line + pos;
                state = State::InQuotes;
            } else if (white_space(c)) {
                ++pos;
            } else if (valid_char(c)) {
                tokens[*count] = line + pos;
                state = State::InToken;
            } else {
                std::snprintf(err, err_size, "(%d)parse() error : Invalid character : >%c< 0x%x\n",
                              int(getpid()), c, unsigned(int(static_cast<signed char>(c))));
                result = -1;
                state = State::Done;
            }
            break;
        case State::InToken:
            if (at_end) {
                // Ends like white space; the next step reports the overflow.
                *count += 1;
                state = State::Between;
            } else if (valid_char(c)) {
                ++pos;
            } else if (c == '*' || c == '\n') {
                line[pos] = '\0';
                *count += 1;
                state = State::Done;
            } else if (white_space(c)) {
                line[pos] = '\0'; // skipped as white space by the next step
                *count += 1;
                state = State::Between;
            } else {
                std::snprintf(err, err_size, "(%d)parse() error : Invalid character : >%c<\n",
                              int(getpid()), c);
                *count = 0;
                result = -1;
                state = State::Done;
            }
            break;
        case State::InQuotes:
            if (at_end) {
                // Only a line cut at the length limit gets here.
                result = line_overflow(line, pos, length, err, err_size);
                state = State::Done;
            } else if (c == '\n') {
                line[pos] = '\0';
                std::snprintf(err, err_size, "Error : Unbalached quote  \"%s\n", tokens[*count]);
                *count = 0;
                result = -1;
                state = State::Done;
            } else if (c == '"') {
                line[pos] = '\0';
                *count += 1;
                state = State::Between;
            } else {
                ++pos;
            }
            break;
        case State::Done:
            break;
        }
    }
    return result;
}

} // namespace

/// A max below 1 reads nothing and returns 0.
int utl_read_line(FILE *stream, char *buf, int max) noexcept {
    if (max < 1) return 0;
    int count = 0;
    int c;
    for (;;) {
        c = std::getc(stream);
        buf[count++] = (c == EOF || c == '\r') ? '\n' : char(c);
        if (count >= max || c == EOF) break;
        if (c == '\n' || c == '\r') return count;
    }
    if (c == EOF) return count <= 1 ? -1 : count;
    return count; // cut at max; the rest of the line stays in the stream
}

/// err must hold length + 64 bytes; messages are cut to that size, never beyond.
/// Nothing past length is read or written: a token that meets the end of the text is
/// closed there and the overflow is reported, also for an unclosed quote (its token dropped).
/// The overflow message shows the line from its first character.
int utl_parse_line(char *line, int length, int *count, char **tokens, char *err) noexcept {
    const std::size_t err_size = std::size_t(length > 0 ? length : 0) + kMessageOverhead;
    return tokenize(line, length, count, tokens, err, err_size);
}

/// The message buffer (512 bytes) holds every message a 200-character line can produce.
int parse_line(FILE *stream, int *count, char **tokens) noexcept {
    static char line[kLineMax + 1];
    static char message[512];
    message[0] = '\0';
    const int n = utl_read_line(stream, line, kLineMax);
    if (n == -1) return 1;
    line[n] = '\0';
    const int result = tokenize(line, n, count, tokens, message, sizeof message);
    if (message[0] != '\0') std::fputs(message, stderr);
    return result;
}
