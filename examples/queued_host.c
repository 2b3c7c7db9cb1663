/*
 * queued_host: several terminals served from one thread in the queued send
 * mode, in plain C99 with poll(): no call ever waits for a terminal.
 *
 *   queued_host SECONDS ADDRESS:PORT [ADDRESS:PORT ...]    (up to 16)
 *
 * Redraws a counter on every terminal once a second for SECONDS. A terminal
 * that stops reading is noticed by the library's stall rule and reported;
 * the others carry on. Exits with 0 when every terminal lasted the run.
 *
 * The loop's one subtle point: once VQ6120Ex_Flush returned 0 the host drops
 * its write interest, yet bytes may still wait in the system's send buffer
 * of a terminal that froze. No readiness shows them, so the wait is bounded
 * by VQ6120Ex_NextCheck, and the terminals whose check is due are flushed
 * when it ends: that flush is what finds a frozen terminal stalled.
 */
#define _POSIX_C_SOURCE 200112L

#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "VQ6120_LIB.h"

#define MAX_TERMINALS 16

struct terminal {
    const char *name;
    VQ6120_HANDLE h; /* NULL once it is over */
    int want_write;  /* the last flush left bytes queued */
};

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* "a.b.c.d:port" opened within 2 s and put in the queued mode. */
static VQ6120_HANDLE open_terminal(const char *text) {
    char address[64];
    const char *colon = strrchr(text, ':');
    struct in_addr in;
    long port;
    VQ6120_HANDLE h;
    if (colon == NULL || (size_t)(colon - text) >= sizeof address) {
        return NULL;
    }
    memcpy(address, text, (size_t)(colon - text));
    address[colon - text] = '\0';
    port = strtol(colon + 1, NULL, 10);
    if (inet_pton(AF_INET, address, &in) != 1 || port < 1 || port > 65535) {
        return NULL;
    }
    h = VQ6120Ex_Open(in.s_addr, (uint16_t)port, 2000);
    if (h != NULL && VQ6120Ex_SetSendQueue(h, VQ6120_SEND_QUEUE_DEFAULT) != 1) {
        ExitVQ6120(h);
        h = NULL;
    }
    return h;
}

/* The connection is over: says why and closes it. */
static void lose(struct terminal *t) {
    printf("%s: %s\n", t->name,
           VQ6120Ex_LastRefusal(t->h) == VQ6120_REFUSED_STALLED ? "stopped reading (stalled)" : "closed");
    ExitVQ6120(t->h);
    t->h = NULL;
}

/* Hands on what the socket takes; write interest only while bytes stay
 * queued. */
static void flush(struct terminal *t) {
    const int32_t queued = VQ6120Ex_Flush(t->h);
    if (queued < 0) {
        lose(t);
        return;
    }
    t->want_write = queued > 0;
}

static void redraw(struct terminal *t, long count) {
    char text[32];
    const int length = snprintf(text, sizeof text, "count %ld", count);
    /* One batch: queued whole or refused whole. A refusal for a full queue
     * skips this redraw; the next one brings the terminal up to date. */
    if (VQ6120Ex_BeginBatch(t->h) == 1) {
        ClearGraphicScreen(t->h);
        DrawAText(t->h, 0, 0, text, length);
        VQ6120Ex_EndBatch(t->h);
    }
    flush(t);
}

/* Takes everything the terminal sent; this program has no use for it. */
static void drain(struct terminal *t) {
    static uint8_t payload[VQ6120_MAX_PAYLOAD];
    int32_t length = 0;
    for (;;) {
        const int32_t got = GetDataFromEthernet(t->h, payload, &length, 0);
        if (got == VQ6120_RECV_CLOSED) {
            lose(t);
            return;
        }
        if (got == VQ6120_RECV_NOTHING) {
            return;
        }
    }
}

int main(int argc, char **argv) {
    struct terminal terminals[MAX_TERMINALS];
    struct pollfd fds[MAX_TERMINALS];
    const long seconds = argc > 1 ? strtol(argv[1], NULL, 10) : 0;
    const int count = argc - 2;
    long long next_redraw = now_ms();
    long long end;
    long frame = 0;
    int i, lost = 0;
    if (seconds < 1 || count < 1 || count > MAX_TERMINALS) {
        fprintf(stderr, "usage: queued_host SECONDS ADDRESS:PORT [ADDRESS:PORT ...] (1 to %d)\n", MAX_TERMINALS);
        return 2;
    }
    for (i = 0; i < count; ++i) {
        terminals[i].name = argv[i + 2];
        terminals[i].want_write = 0;
        terminals[i].h = open_terminal(argv[i + 2]);
        if (terminals[i].h == NULL) {
            fprintf(stderr, "queued_host: cannot open %s\n", argv[i + 2]);
            return 1;
        }
    }
    end = next_redraw + seconds * 1000;
    while (now_ms() < end) {
        long long now = now_ms();
        long long timeout = next_redraw - now;
        if (timeout <= 0) {
            for (i = 0; i < count; ++i) {
                if (terminals[i].h != NULL) {
                    redraw(&terminals[i], frame);
                }
            }
            ++frame;
            next_redraw += 1000;
            timeout = next_redraw - now;
        }
        /* The wait: readability always, writability while bytes are
         * queued, and no longer than the nearest stall check. */
        for (i = 0; i < count; ++i) {
            struct terminal *t = &terminals[i];
            fds[i].fd = t->h != NULL ? (int)VQ6120Ex_GetSocket(t->h) : -1;
            fds[i].events = (short)(POLLIN | (t->want_write ? POLLOUT : 0));
            fds[i].revents = 0;
            if (t->h != NULL) {
                const int32_t check = VQ6120Ex_NextCheck(t->h);
                if (check >= 0 && check < timeout) {
                    timeout = check;
                }
            }
        }
        if (poll(fds, (nfds_t)count, timeout > 0 ? (int)timeout : 0) < 0) {
            continue; /* a signal: look again */
        }
        for (i = 0; i < count; ++i) {
            struct terminal *t = &terminals[i];
            if (t->h != NULL && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                drain(t);
            }
            if (t->h != NULL && ((fds[i].revents & POLLOUT) != 0 || VQ6120Ex_NextCheck(t->h) == 0)) {
                flush(t);
            }
        }
    }
    for (i = 0; i < count; ++i) {
        if (terminals[i].h == NULL) {
            ++lost;
        } else {
            ExitVQ6120(terminals[i].h);
        }
    }
    printf("%ld redraws, %d of %d terminals lost\n", frame, lost, count);
    return lost == 0 ? 0 : 1;
}
