// Line reader and tokenizer.
#include "ipc_test.h"

#include <cstdio>

namespace {

using Tokens = std::vector<std::string>;
struct Parsed {
    int result;
    Tokens tokens;
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

const std::string pid = "(" + std::to_string(getpid()) + ")";

// Each entry is the tokens of one parse_line call joined by '|', after "!" on a syntax error.
Tokens parse_all(const std::string &text, std::string *errors) {
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    Tokens lines;
    *errors = pxrtest::capture_stderr([&] {
        char *tokens[16];
        int count = 16, rc;
        while ((rc = parse_line(f, &count, tokens)) != 1) {
            std::string joined = rc == -1 ? "!" : "";
            for (int i = 0; i < count; ++i) joined += (i ? "|" : "") + std::string(tokens[i]);
            lines.push_back(joined);
            count = 16;
        }
        EXPECT_EQ(count, 16); // untouched at the end of input
    });
    std::fclose(f);
    return lines;
}

} // namespace

// {text, result, tokens, message}; an empty message on an error is not compared.
TEST(Parse, TokensQuotesCommentsAndSyntaxErrors) {
    const std::string ok = "untouched";
    struct {
        std::string text;
        int result;
        Tokens tokens;
        std::string err;
    } cases[] = {
        {"alpha  -m0x10 \"a b*c\" x=1 * note\n", 0, {"alpha", "-m0x10", "a b*c", "x=1"}, ok},
        {"  \t \n", 0, {}, ok},
        {"*comment ; #\n", 0, {}, ok},
        {"abc*def\n", 0, {"abc"}, ok},
        {"\"abc\"\"def\"\n", 0, {"abc", "def"}, ok},
        {"\"\"\n", 0, {""}, ok},
        {std::string("a\0b\n", 4), 0, {"a", "b"}, ok},
        {"$+-./:=?\\_ Zz09\n", 0, {"$+-./:=?\\_", "Zz09"}, ok},
        {"abc\"def\"\n", -1, {}, pid + "parse() error : Invalid character : >\"<\n"},
        {"a \"bc\n", -1, {}, "Error : Unbalached quote  \"bc\n"},
        {"a ; b\n", -1, {"a"}, pid + "parse() error : Invalid character : >;< 0x3b\n"},
        {"x \xE9\n", -1, {"x"}, pid + "parse() error : Invalid character : >\xE9< 0xffffffe9\n"},
        {"a\rb\n", -1, {}, ""}, // a CR inside a token
        // Text cut without its LF: the last character is cut and the line start is shown.
        {"ab cdef", -1, {"ab", "cde"}, "Error : Line overflow : ab (7 of 7 chars)\n"},
    };
    for (auto &c : cases) {
        Parsed p = tokenize(c.text);
        EXPECT_EQ(p.result, c.result) << c.text;
        EXPECT_EQ(p.tokens, c.tokens) << c.text;
        EXPECT_EQ(p.err, c.err.empty() ? p.err : c.err) << c.text;
    }
    for (const char *bad : {"!", "#", "@", "|", "`", "\r", "~"})
        EXPECT_EQ(tokenize(std::string("ok ") + bad + "\n").result, -1) << bad;
    // Capacity limits the scan: nothing beyond it is looked at.
    EXPECT_EQ(tokenize("one two three\n", 2).tokens, (Tokens{"one", "two"}));
    EXPECT_EQ(tokenize("; not looked at\n", 0).err, "untouched");
}

TEST(Parse, ReadLinePieces) {
    const std::string text = "a\r\nb\rc\n\nlast";
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    char buf[8];
    Tokens got;
    for (int n; (n = utl_read_line(f, buf, 3)) != -1;) got.emplace_back(buf, std::size_t(n));
    std::fclose(f);
    EXPECT_EQ(got, (Tokens{"a\n", "\n", "b\n", "c\n", "\n", "las", "t\n"}));
}

TEST(Parse, ParseLineOverLongLinesAndEndOfInput) {
    const std::string a199(199, 'a'), b199(199, 'b');
    struct {
        std::string text;
        Tokens lines;
        std::string errors;
    } cases[] = {
        {std::string(250, 'a') + "\nnext one\nlast",
         {"!" + a199, std::string(50, 'a'), "next|one", "last"},
         "Error : Line overflow : " + a199 + " (200 of 200 chars)\n"},
        // A long comment ends at the limit; its rest is read as a line of its own.
        {"*" + std::string(199, ' ') + "tail\n", {"", "tail"}, ""},
        {b199 + "b\nz\r\n",
         {"!" + b199, "", "z", ""},
         "Error : Line overflow : " + b199 + " (200 of 200 chars)\n"},
        // The longest quote error of a 200-character line is written whole.
        {"\"" + std::string(198, 'q') + "\n",
         {"!"},
         "Error : Unbalached quote  \"" + std::string(198, 'q') + "\n"},
        {"", {}, ""},
    };
    for (auto &c : cases) {
        std::string errors;
        EXPECT_EQ(parse_all(c.text, &errors), c.lines) << c.text.substr(0, 20);
        EXPECT_EQ(errors, c.errors) << c.text.substr(0, 20);
    }
}
