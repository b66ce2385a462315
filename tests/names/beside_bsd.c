/* libpxrlib beside libbsd, which also defines strtonum. Built twice, with either link order:
 * with WITH_BSD the program means libbsd's strtonum and leaves out the toolbox names;
 * without it the program means libpxrlib's. Either way the library keeps its own. */
#if defined(WITH_BSD)
#define PXRLIB_NO_SHORT_NAMES
#include <bsd/stdlib.h>
#endif
#include <pxrlib.h>

#include <stdio.h>
#include <stdlib.h>

/* The program's own function of a toolbox name: libpxrlib's ID_build_ident must not call it. */
void rpackbytes(uint8_t *buffer, int offset, uint32_t value, int count) {
    (void)buffer, (void)offset, (void)value, (void)count;
    abort();
}

int main(void) {
#if defined(WITH_BSD)
    const char *err = NULL;
    if (strtonum("1234", 0, 10000, &err) != 1234 || err != NULL) return 1;
    if (strtonum("12345", 0, 10000, &err) != 0 || err == NULL) return 2;
#else
    uint32_t n = 0;
    if (strtonum(&n, "0x10") != 1 || n != 16 || strtonum(&n, "1x") != 0) return 1;
#endif
    MSG *m = calloc(1, PXR_MSG_HEADER_SIZE + 32);
    if (m == NULL) return 3;
    m->len = 32;
    if (ID_build_ident(m, 0x1234, 5, 6, "x") != 0 || m->param[0] != 0x12 || m->param[1] != 0x34)
        return 4;
    free(m);
    puts("each strtonum is the one its caller means");
    return 0;
}
