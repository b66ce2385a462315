/* Uses an installed libpxrlib found with pkg-config:
 *   cc main.c $(pkg-config --cflags --libs pxrlib) -o consumer */
#include <pxrlib.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    uint32_t major = 0, minor = 0;
    PXR_get_version(&major, &minor);

    char line[] = "queue 0x20 \"two words\" * comment\n";
    char *tokens[8];
    char err[256];
    int count = 8;
    if (utl_parse_line(line, (int)strlen(line), &count, tokens, err) != 0 || count != 3 ||
        strcmp(tokens[2], "two words") != 0) {
        fprintf(stderr, "consumer-pkgconfig: tokenizer failed\n");
        return 1;
    }

    if (PXR_init(PXR_INIT_CREATE, 0, 0) != 0) {
        fprintf(stderr, "consumer-pkgconfig: cannot create an environment\n");
        return 1;
    }
    int ok = PXR_open_partition(0, 8, 32, 0, 0, PXR_OPEN_CREATE) == 0 && IPC_create(0x20, 1) == 0;
    MSG *m = ok ? getm(0x100, 7, 0, 0) : NULL;
    ok = m != NULL && PXR_send(0x20, m) == 0;
    MSG *in = ok ? PXR_grab(0x20) : NULL;
    ok = in == m && relm(in) == 0;
    PXR_close();
    if (!ok) {
        fprintf(stderr, "consumer-pkgconfig: round trip failed\n");
        return 1;
    }
    printf("consumer-pkgconfig: interface %u.%u, message went round; ok\n", major, minor);
    return 0;
}
