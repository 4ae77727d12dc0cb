/* The far end of a serial line for the Wine tests: opens a pseudo-terminal, makes
   <link> point at its slave side (Wine's COM1 is mapped to <link>), prints "ready" and
   appends every byte it receives to <capture>; with "echo" it also sends every byte
   back, with "hangup" it hangs up (closes its side) once it has received a byte. Runs
   until SIGTERM or its time limit. */
#define _DEFAULT_SOURCE
#define _XOPEN_SOURCE 700
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t g_stop;

static void onSignal(int sig) {
    (void)sig;
    g_stop = 1;
}

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && (strcmp(argv[4], "echo") == 0 || strcmp(argv[4], "hangup") == 0))) {
        fprintf(stderr, "usage: pty_peer <link> <capture> <seconds> [echo|hangup]\n");
        return 2;
    }
    const int echo = argc == 5 && strcmp(argv[4], "echo") == 0;
    const int hangup = argc == 5 && strcmp(argv[4], "hangup") == 0;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return perror("pty"), 1;
    const char* slave = ptsname(master);
    /* Raw slave side, so that no byte is translated on the way to the master. */
    int s = open(slave, O_RDWR | O_NOCTTY);
    struct termios t;
    if (s >= 0 && tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
    }
    unlink(argv[1]);
    if (symlink(slave, argv[1]) != 0) return perror("symlink"), 1;
    FILE* capture = fopen(argv[2], "wb");
    if (!capture) return perror("capture"), 1;
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    printf("ready %s\n", slave);
    fflush(stdout);
    time_t end = time(NULL) + atoi(argv[3]);
    while (!g_stop && time(NULL) < end) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        unsigned char bytes[256];
        ssize_t n = read(master, bytes, sizeof bytes);
        if (n > 0) {
            fwrite(bytes, 1, (size_t)n, capture);
            fflush(capture);
            if (echo && write(master, bytes, (size_t)n) != n) perror("echo");
            if (hangup) break;
        }
    }
    fclose(capture);
    unlink(argv[1]);
    if (s >= 0) close(s);
    close(master);
    return 0;
}
