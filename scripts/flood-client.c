/* The benchmark's flood, from clients that cannot be the tail: CLIENTS
   threads, each with a keep-alive connection, sending on its own schedule
   so that together they offer RATE requests a second for SECONDS; a client
   behind its schedule sends at once. Prints each request's sent and
   answered CLOCK_MONOTONIC nanoseconds, a line each.
   Usage: flood-client PORT SECONDS CLIENTS RATE AUTHORIZATION PATH... */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static int port, seconds, clients, rate, paths;
static const char *authorization;
static char **path;
static int64_t start;
static pthread_mutex_t out = PTHREAD_MUTEX_INITIALIZER;

static int64_t now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int connect_once(void) {
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* A server that never answers holds a client a minute at the most. */
    const struct timeval minute = {60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &minute, sizeof minute);
    if (connect(fd, (struct sockaddr *)&to, sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Reads one answer whole: its head, then Content-Length bytes. Returns -1
   on failure, 1 when the server closes the connection after it. */
static int read_answer(int fd) {
    char buffer[8192];
    size_t have = 0;
    for (;;) {
        ssize_t got = read(fd, buffer + have, sizeof buffer - 1 - have);
        if (got <= 0) return -1;
        have += (size_t)got;
        buffer[have] = 0;
        char *end = strstr(buffer, "\r\n\r\n");
        if (!end) continue;
        char *length = strcasestr(buffer, "content-length:");
        size_t body = length && length < end ? strtoul(length + 15, NULL, 10) : 0;
        if (have >= (size_t)(end + 4 - buffer) + body)
            return strncmp(buffer, "HTTP/1.0", 8) == 0 || strcasestr(buffer, "connection: close") ? 1 : 0;
    }
}

static void *client(void *argument) {
    long index = (long)argument;
    char request[1024];
    int length = snprintf(request, sizeof request,
                          "POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s%s%sContent-Length: 6\r\n\r\nTOGGLE",
                          path[index % paths], port, authorization[0] ? "Authorization: " : "", authorization,
                          authorization[0] ? "\r\n" : "");
    int fd = connect_once();
    int64_t slot = start + index * 1000000000LL / rate, end = start + (int64_t)seconds * 1000000000;
    while (slot < end) {
        struct timespec at = {slot / 1000000000, slot % 1000000000};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL);
        int64_t sent = now();
        int read = fd < 0 || write(fd, request, (size_t)length) != length ? -1 : read_answer(fd);
        if (read >= 0) {
            int64_t answered = now();
            pthread_mutex_lock(&out);
            printf("%lld %lld\n", (long long)sent, (long long)answered);
            pthread_mutex_unlock(&out);
        }
        /* A server that gives up on the connection, or closes it after each
           answer: the next request goes on a new one. */
        if (read != 0) {
            if (fd >= 0) close(fd);
            fd = connect_once();
        }
        slot += (int64_t)clients * 1000000000 / rate;
    }
    if (fd >= 0) close(fd);
    return NULL;
}

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: flood-client PORT SECONDS CLIENTS RATE AUTHORIZATION PATH...\n");
        return 2;
    }
    port = atoi(argv[1]);
    seconds = atoi(argv[2]);
    clients = atoi(argv[3]);
    rate = atoi(argv[4]);
    authorization = argv[5];
    path = argv + 6;
    paths = argc - 6;
    start = now() + 500000000;
    pthread_t threads[clients];
    for (long i = 0; i < clients; ++i) pthread_create(&threads[i], NULL, client, (void *)i);
    for (long i = 0; i < clients; ++i) pthread_join(threads[i], NULL);
    return 0;
}
