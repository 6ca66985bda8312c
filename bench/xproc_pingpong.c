/* Round trip of a plain Unix-socket ping-pong between two processes: the
 * limit of any transport built on these sockets. 64-byte messages over a
 * stream socketpair, blocking reads, parent and forked child.
 * Build and run: bench/xproc_latency.sh */
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMsg = 64 };

static void must(int ok, const char *what)
{
    if (!ok) {
        perror(what);
        exit(1);
    }
}

static void xfer(int fd, char *buf, int out)
{
    size_t done = 0;
    while (done < kMsg) {
        ssize_t n = out ? write(fd, buf + done, kMsg - done) : read(fd, buf + done, kMsg - done);
        must(n > 0, out ? "write" : "read");
        done += (size_t)n;
    }
}

int main(int argc, char **argv)
{
    const long iters = argc > 1 ? atol(argv[1]) : 100000;
    int sv[2];
    must(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0, "socketpair");
    char buf[kMsg] = "ping-pong";
    pid_t pid = fork();
    must(pid >= 0, "fork");
    if (pid == 0) {
        close(sv[0]);
        for (long i = 0; i < iters + 1000; ++i) {
            xfer(sv[1], buf, 0);
            xfer(sv[1], buf, 1);
        }
        _exit(0);
    }
    close(sv[1]);
    for (long i = 0; i < 1000; ++i) { /* warm-up */
        xfer(sv[0], buf, 1);
        xfer(sv[0], buf, 0);
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long i = 0; i < iters; ++i) {
        xfer(sv[0], buf, 1);
        xfer(sv[0], buf, 0);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    waitpid(pid, NULL, 0);
    const double ns = (t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec);
    printf("unix socket ping-pong: %.2f us round trip (%ld round trips of %d bytes)\n",
           ns / iters / 1000.0, iters, kMsg);
    return 0;
}
