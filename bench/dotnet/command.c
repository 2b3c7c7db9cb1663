/* The C side of bench/dotnet/run.sh: N DrawPixel calls on one connection,
 * printed as nanoseconds per call: wall-clock time, then the thread's CPU
 * time (user and system; a loaded machine inflates it far less). */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "VQ6120_LIB.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: command PORT N\n");
        return 2;
    }
    long n = atol(argv[2]);
    VQ6120_HANDLE h = InitialVQ6120(htonl(INADDR_LOOPBACK), (uint16_t)atoi(argv[1]));
    if (h == NULL) return 1;
    struct timespec a, b, ca, cb;
    /* Half a second of calls first, as the C# side warms up its JIT: both
     * then measure with the virtual terminal's socket equally full. */
    clock_gettime(CLOCK_MONOTONIC, &a);
    do {
        if (!DrawPixel(h, 1, 1)) return 1;
        clock_gettime(CLOCK_MONOTONIC, &b);
    } while ((b.tv_sec - a.tv_sec) * 1000000000L + (b.tv_nsec - a.tv_nsec) < 500000000L);
    clock_gettime(CLOCK_MONOTONIC, &a);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ca);
    for (long i = 0; i < n; i++) {
        if (!DrawPixel(h, (int16_t)(i % 240), (int16_t)(i % 64))) return 1;
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cb);
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("%.1f %.1f\n", ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / n,
           ((cb.tv_sec - ca.tv_sec) * 1e9 + (cb.tv_nsec - ca.tv_nsec)) / n);
    ExitVQ6120(h);
    return 0;
}
