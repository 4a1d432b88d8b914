/* The I/O-and-scan floor for the XML benchmarks: read a file with 8 KiB
 * read() calls (the streamer's own buffer size) and count '<' with memchr.
 * No parser can do less work per byte, so its MB/s bounds what a record
 * counter can reach on this machine.
 *
 * Usage: floor PATH
 * Prints one line: "<count of '<'> <bytes> <seconds spent reading and scanning>".
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    static char buf[8192];
    unsigned long long lt = 0, bytes = 0;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("read");
            return 1;
        }
        if (n == 0) break;
        bytes += (unsigned long long)n;
        const char *p = buf, *end = buf + n;
        while ((p = memchr(p, '<', (size_t)(end - p))) != NULL) {
            ++lt;
            ++p;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    close(fd);
    printf("%llu %llu %.9f\n", lt, bytes,
           (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) * 1e-9);
    return 0;
}
