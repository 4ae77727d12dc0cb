/* One control command to kestro-sim through its control socket (--control SOCKET).

   sim_control <socket> <timeout ms>
       Reads one command line from standard input, sends it, and copies the reply to
       standard output until the simulator closes the connection. Exit 0 when a reply
       came, 1 on a connection error, 2 when no complete reply came before the deadline. */

#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static long long nowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: sim_control <socket> <timeout ms>\n");
        return 1;
    }
    char line[4096];
    if (!fgets(line, sizeof line - 1, stdin)) line[0] = '\0';
    size_t length = strcspn(line, "\r\n");
    line[length++] = '\n';

    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof address.sun_path) {
        fprintf(stderr, "sim_control: socket path too long\n");
        return 1;
    }
    strcpy(address.sun_path, argv[1]);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        fprintf(stderr, "sim_control: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    for (size_t sent = 0; sent < length;) {
        ssize_t n = write(fd, line + sent, length - sent);
        if (n <= 0) {
            fprintf(stderr, "sim_control: write: %s\n", strerror(errno));
            return 1;
        }
        sent += (size_t)n;
    }
    /* The simulator answers the line, then sees the end of input and closes. */
    shutdown(fd, SHUT_WR);
    const long long deadline = nowMs() + atol(argv[2]);
    char buffer[4096];
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0) return 2;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, (int)left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 2;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        fwrite(buffer, 1, (size_t)n, stdout);
    }
    close(fd);
    return 0;
}
