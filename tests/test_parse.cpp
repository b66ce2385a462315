// Line reader and tokenizer.
#include "ipc_test.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Parsed {
    int result;
    std::vector<std::string> tokens;
    std::string err;
};

// Tokenizes text (which carries its own LF where wanted) with the given capacity.
Parsed tokenize(std::string text, int capacity = 16) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    char *tokens[16] = {};
    char err[512] = "untouched";
    int count = capacity;
    Parsed p{utl_parse_line(line.data(), int(text.size()), &count, tokens, err), {}, err};
    for (int i = 0; i < count; ++i) p.tokens.emplace_back(tokens[i]);
    return p;
}

std::string pid_prefix() {
    return "(" + std::to_string(getpid()) + ")";
}

using Tokens = std::vector<std::string>;

// Reads every line of text through parse_line; each entry is the tokens of one call
// joined by '|', or "!" plus the tokens when the call reported a syntax error.
std::vector<std::string> parse_all(const std::string &text, std::string *errors) {
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    std::vector<std::string> lines;
    *errors = pxrtest::capture_stderr([&] {
        for (;;) {
            char *tokens[16];
            int count = 16;
            int rc = parse_line(f, &count, tokens);
            if (rc == 1) {
                EXPECT_EQ(count, 16); // untouched at the end of input
                break;
            }
            std::string joined = rc == -1 ? "!" : "";
            for (int i = 0; i < count; ++i) joined += (i ? "|" : "") + std::string(tokens[i]);
            lines.push_back(joined);
        }
    });
    std::fclose(f);
    return lines;
}

} // namespace

TEST(Parse, TokensQuotesAndComments) {
    Parsed p = tokenize("alpha  -m0x10 \"a b*c\" x=1 * note\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.tokens, (Tokens{"alpha", "-m0x10", "a b*c", "x=1"}));
    EXPECT_EQ(p.err, "untouched");

    for (const char *empty : {"\n", "  \t \n", "*comment ; #\n"}) {
        p = tokenize(empty);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.tokens.empty()) << empty;
    }
    EXPECT_EQ(tokenize("abc*def\n").tokens, Tokens{"abc"});
    EXPECT_EQ(tokenize("\"abc\"\"def\"\n").tokens, (Tokens{"abc", "def"}));
    EXPECT_EQ(tokenize("\"\"\n").tokens, Tokens{""});
    EXPECT_EQ(tokenize("a\tb\n").tokens, (Tokens{"a", "b"}));
    EXPECT_EQ(tokenize(std::string("a\0b\n", 4)).tokens, (Tokens{"a", "b"}));
    EXPECT_EQ(tokenize("$+-./:=?\\_ Zz09\n").tokens, (Tokens{"$+-./:=?\\_", "Zz09"}));
}

TEST(Parse, SyntaxErrorsAndTheirTexts) {
    Parsed p = tokenize("abc\"def\"\n");
    EXPECT_EQ(p.result, -1);
    EXPECT_TRUE(p.tokens.empty());
    EXPECT_EQ(p.err, pid_prefix() + "parse() error : Invalid character : >\"<\n");

    p = tokenize("a \"bc\n");
    EXPECT_EQ(p.result, -1);
    EXPECT_TRUE(p.tokens.empty());
    EXPECT_EQ(p.err, "Error : Unbalached quote  \"bc\n");

    p = tokenize("a ; b\n");
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.tokens, Tokens{"a"});
    EXPECT_EQ(p.err, pid_prefix() + "parse() error : Invalid character : >;< 0x3b\n");

    p = tokenize("x \xE9\n");
    EXPECT_EQ(p.err, pid_prefix() + "parse() error : Invalid character : >\xE9< 0xffffffe9\n");
    EXPECT_EQ(p.tokens, Tokens{"x"});

    for (const char *bad : {"!", "#", "@", "|", "`", "\r", "~"}) {
        p = tokenize(std::string("ok ") + bad + "\n");
        EXPECT_EQ(p.result, -1) << bad;
    }
    p = tokenize("a\rb\n"); // a CR inside a token
    EXPECT_EQ(p.result, -1);
    EXPECT_TRUE(p.tokens.empty());
}

TEST(Parse, CapacityLimitsTheScan) {
    Parsed p = tokenize("one two three\n", 2);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.tokens, (Tokens{"one", "two"}));
    p = tokenize("; not looked at\n", 0);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.err, "untouched");
}

TEST(Parse, EndOfTextWithoutLineEnd) {
    // Text cut without its LF: the last character is cut and the line start is shown.
    char line[16] = "ab cdef\0ZZ";
    char *tokens[4];
    char err[128];
    int count = 4;
    EXPECT_EQ(utl_parse_line(line, 7, &count, tokens, err), -1);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(tokens[1], "cde");
    EXPECT_STREQ(err, "Error : Line overflow : ab (7 of 7 chars)\n");

    // An unclosed quote at the end of the text stops there too; nothing beyond is touched.
    std::memcpy(line, "ab \"cdef\0ZZ", 11);
    count = 4;
    EXPECT_EQ(utl_parse_line(line, 8, &count, tokens, err), -1);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(err, "Error : Line overflow : ab (8 of 8 chars)\n");
    EXPECT_EQ(line[8], '\0');
    EXPECT_EQ(line[9], 'Z');
}

TEST(Parse, ReadLinePieces) {
    const std::string text = "a\r\nb\rc\n\nlast";
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    char buf[8];
    std::vector<std::string> got;
    for (int n; (n = utl_read_line(f, buf, 3)) != -1;) got.emplace_back(buf, std::size_t(n));
    std::fclose(f);
    EXPECT_EQ(got, (std::vector<std::string>{"a\n", "\n", "b\n", "c\n", "\n", "las", "t\n"}));
}

TEST(Parse, ParseLineOverLongLinesAndEndOfInput) {
    std::string errors;
    const std::string a250(250, 'a');
    auto lines = parse_all(a250 + "\nnext one\nlast", &errors);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "!" + std::string(199, 'a'));
    EXPECT_EQ(lines[1], std::string(50, 'a'));
    EXPECT_EQ(lines[2], "next|one");
    EXPECT_EQ(lines[3], "last");
    EXPECT_EQ(errors, "Error : Line overflow : " + std::string(199, 'a') + " (200 of 200 chars)\n");

    // A long comment ends at the limit; its rest is read as a line of its own.
    lines = parse_all("*" + std::string(199, ' ') + "tail\n", &errors);
    EXPECT_EQ(lines, (std::vector<std::string>{"", "tail"}));
    EXPECT_EQ(errors, "");

    lines = parse_all(std::string(200, 'b') + "\nz\r\n", &errors);
    EXPECT_EQ(lines, (std::vector<std::string>{"!" + std::string(199, 'b'), "", "z", ""}));

    // The longest quote error of a 200-character line is written whole.
    lines = parse_all("\"" + std::string(198, 'q') + "\n", &errors);
    EXPECT_EQ(lines, std::vector<std::string>{"!"});
    EXPECT_EQ(errors, "Error : Unbalached quote  \"" + std::string(198, 'q') + "\n");
    EXPECT_EQ(errors.size() + 1, 227u);

    lines = parse_all("", &errors);
    EXPECT_TRUE(lines.empty());
}
