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

// One run of the tokenizer over line[0..length): the position, the tokens found so far and
// where the run stands.
struct Scan {
    char *line;
    int length;
    char **tokens;
    int *count;
    char *err;
    std::size_t err_size;
    int pos = 0;
    int result = 0;
    State state = State::Between;
};

void stop(Scan &s, int result) {
    s.result = result;
    s.state = State::Done;
}

// A syntax error drops the tokens found so far unless keep_tokens.
void syntax_error(Scan &s, bool keep_tokens) {
    if (!keep_tokens) *s.count = 0;
    stop(s, PXR_BAD);
}

// The token at pos ends (its terminator written by the caller where there is one).
void close_token(Scan &s, State next) {
    *s.count += 1;
    s.state = next;
}

// The text ended without a closing character: cut the last character, report it with the
// beginning of the line, and keep the tokens completed so far.
void line_overflow(Scan &s) {
    if (s.pos > 0) s.line[s.pos - 1] = '\0';
    std::snprintf(s.err, s.err_size, "Error : Line overflow : %s (%d of %d chars)\n", s.line, s.pos,
                  s.length);
    stop(s, PXR_BAD);
}

void between_tokens(Scan &s, bool at_end, unsigned char c) {
    if (at_end) {
        line_overflow(s);
    } else if (c == '*' || c == '\n') {
        stop(s, PXR_OK);
    } else if (c == '"') {
        ++s.pos;
        s.tokens[*s.count] = s.line + s.pos;
        s.state = State::InQuotes;
    } else if (white_space(c)) {
        ++s.pos;
    } else if (valid_char(c)) {
        s.tokens[*s.count] = s.line + s.pos;
        s.state = State::InToken;
    } else {
        std::snprintf(s.err, s.err_size, "(%d)parse() error : Invalid character : >%c< 0x%x\n",
                      int(getpid()), c, unsigned(int(static_cast<signed char>(c))));
        syntax_error(s, true);
    }
}

void in_token(Scan &s, bool at_end, unsigned char c) {
    if (at_end) {
        close_token(s, State::Between); // ends like white space; the next step reports it
    } else if (valid_char(c)) {
        ++s.pos;
    } else if (c == '*' || c == '\n') {
        s.line[s.pos] = '\0';
        close_token(s, State::Done);
    } else if (white_space(c)) {
        s.line[s.pos] = '\0'; // skipped as white space by the next step
        close_token(s, State::Between);
    } else {
        std::snprintf(s.err, s.err_size, "(%d)parse() error : Invalid character : >%c<\n",
                      int(getpid()), c);
        syntax_error(s, false);
    }
}

void in_quotes(Scan &s, bool at_end, unsigned char c) {
    if (at_end) {
        line_overflow(s); // only a line cut at the length limit gets here
    } else if (c == '\n') {
        s.line[s.pos] = '\0';
        std::snprintf(s.err, s.err_size, "Error : Unbalached quote  \"%s\n", s.tokens[*s.count]);
        syntax_error(s, false);
    } else if (c == '"') {
        s.line[s.pos] = '\0';
        close_token(s, State::Between);
    } else {
        ++s.pos;
    }
}

int tokenize(char *line, int length, int *count, char **tokens, char *err, std::size_t err_size) {
    const int capacity = *count;
    *count = 0;
    Scan s{line, length, tokens, count, err, err_size};
    while (s.state != State::Done && *count < capacity) {
        // Nothing at or beyond length is read; the NUL there is the caller's terminator.
        const bool at_end = s.pos >= length;
        const unsigned char c = at_end ? 0 : static_cast<unsigned char>(line[s.pos]);
        if (s.state == State::Between)
            between_tokens(s, at_end, c);
        else if (s.state == State::InToken)
            in_token(s, at_end, c);
        else
            in_quotes(s, at_end, c);
    }
    return s.result;
}

} // namespace

/// A max below 1 reads nothing and returns 0; a null stream or buffer is the end of input (-1).
int utl_read_line(FILE *stream, char *buf, int max) noexcept {
    if (max < 1) return 0;
    if (stream == nullptr || buf == nullptr) return -1;
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
/// A null argument is a syntax error (-1) with nothing written.
int utl_parse_line(char *line, int length, int *count, char **tokens, char *err) noexcept {
    if (line == nullptr || count == nullptr || tokens == nullptr || err == nullptr) return -1;
    const std::size_t err_size = std::size_t(length > 0 ? length : 0) + kMessageOverhead;
    return tokenize(line, length, count, tokens, err, err_size);
}

/// The message buffer (512 bytes) holds every message a 200-character line can produce.
/// A null stream is the end of input (1); a null count or tokens a syntax error (-1).
int parse_line(FILE *stream, int *count, char **tokens) noexcept {
    if (stream == nullptr) return 1;
    if (count == nullptr || tokens == nullptr) return -1;
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
