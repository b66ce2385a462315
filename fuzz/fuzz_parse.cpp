// The line reader and tokenizer on arbitrary bytes: tokens stay inside the line, the count
// inside the capacity, messages inside the buffer the tokenizer documents (length + 64 bytes).
#include "pxrlib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int capacity = data[0] % 12;
    data += 1;
    size -= 1;

    // utl_parse_line on one line of the input (cut at 4000 bytes), with an exact-size message
    // buffer so that AddressSanitizer sees any write beyond it.
    const int length = int(size < 4000 ? size : 4000);
    std::vector<char> line(data, data + length);
    line.push_back('\0');
    std::vector<char> message(size_t(length) + 64);
    std::vector<char *> tokens(size_t(capacity) + 1, nullptr);
    int count = capacity;
    const int rc = utl_parse_line(line.data(), length, &count, tokens.data(), message.data());
    if (rc != 0 && rc != -1) abort();
    if (count < 0 || count > capacity) abort();
    for (int i = 0; i < count; ++i)
        if (tokens[size_t(i)] < line.data() || tokens[size_t(i)] > line.data() + length) abort();
    if (rc == -1 && std::memchr(message.data(), '\0', message.size()) == nullptr) abort();

    // parse_line over the whole input as a stream: it must advance and end.
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (in == nullptr) return 0;
    FILE *saved = stderr;
    stderr = fopen("/dev/null", "w");
    for (size_t calls = 0;; ++calls) {
        if (calls > size + 2) abort();
        char *toks[16];
        int n = 16;
        const int r = parse_line(in, &n, toks);
        if (r == 1) break;
        if (r != 0 && r != -1) abort();
        if (n < 0 || n > 16) abort();
        for (int i = 0; i < n; ++i)
            if (std::strlen(toks[i]) > 200) abort();
    }
    fclose(stderr);
    stderr = saved;
    fclose(in);
    return 0;
}
