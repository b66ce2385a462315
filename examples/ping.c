/* ping: measures round trips to the pong module.
 *
 * usage: ping MY_ID PONG_ID [COUNT]
 * Sends COUNT requests that ask for confirmation, waits for each answer, prints the
 * count, median and 99th percentile of the round trips in microseconds and the status
 * report, then terminates the environment. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime under -std=c11 too */

#include "pxrlib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define PING_TYPE 0x4101u /* a request: bit 14 asks for the answer */

static int compare_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int module_arg(const char *text, uint32_t *out) {
    if (strtonum(out, text) != 1 || *out > 254) {
        fprintf(stderr, "ping: bad module id '%s'\n", text);
        return 0;
    }
    return 1;
}

int main(int argc, char **argv) {
    uint32_t me, pong, count = 1000;
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: ping MY_ID PONG_ID [COUNT]\n");
        return 64;
    }
    if (!module_arg(argv[1], &me) || !module_arg(argv[2], &pong)) return 64;
    if (argc == 4 && (strtonum(&count, argv[3]) != 1 || count == 0 || count > 10000000)) {
        fprintf(stderr, "ping: bad count '%s'\n", argv[3]);
        return 64;
    }

    uint64_t *rtt = malloc(sizeof *rtt * count);
    if (rtt == NULL) return 1;
    uint32_t done = 0;
    int failed = 0;
    for (uint32_t i = 0; i < count && !failed; ++i) {
        /* The first call attaches, waiting until the loader has finished building. */
        MSG *m = getm(PING_TYPE, (uint16_t)i, (uint16_t)(1u << (me & 15u)), sizeof(uint32_t));
        if (m == NULL) {
            fprintf(stderr, "ping: no message buffer\n");
            failed = 1;
            break;
        }
        m->src = (uint8_t)me;
        m->dst = (uint8_t)pong;
        rpackbytes(m->param, 0, i, 4);
        uint64_t start = now_ns();
        if (PXR_send(pong, m) != 0) {
            fprintf(stderr, "ping: send to 0x%x failed\n", pong);
            relm(m);
            failed = 1;
            break;
        }
        MSG *answer = PXR_receive(me);
        uint64_t end = now_ns();
        if (answer == NULL) {
            fprintf(stderr, "ping: no answer\n");
            failed = 1;
            break;
        }
        if (answer->id != (uint16_t)i || runpackbytes(answer->param, 0, 4) != i ||
            (answer->type & PXR_MSG_REQUEST) != 0) {
            fprintf(stderr, "ping: unexpected answer (type 0x%x id %u)\n", answer->type,
                    answer->id);
            failed = 1;
        }
        relm(answer);
        rtt[done++] = end - start;
    }

    if (done > 0) {
        qsort(rtt, done, sizeof *rtt, compare_u64);
        double median = (double)rtt[done / 2] / 1000.0;
        double p99 = (double)rtt[(done * 99u) / 100u] / 1000.0;
        printf("ping: %u round trips to 0x%x: median %.1f us, p99 %.1f us\n", done, pong, median,
               p99);
    }
    free(rtt);
    PXR_get_status();
    fflush(stdout);
    fflush(stderr);
    /* Ends the environment; the loader returns with exit status 0 and this process, which
     * the loader recorded, is stopped by the shutdown. */
    PXR_terminate();
    return failed;
}
