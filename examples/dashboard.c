/*
 * dashboard: a small operator panel on a VQ6120 terminal, in plain C99
 * through the library's public header alone.
 *
 *   dashboard [ADDRESS [PORT [SECONDS]]]     default 127.0.0.1 16120 4
 *
 * Connects and probes the terminal, draws a dashboard on the graphic screen,
 * writes to the text screen and the keyboard display, sets the outputs, LED
 * and backlight, then polls for SECONDS: key presses, digital-input changes
 * and serial data are shown and logged, and serial data is echoed back out
 * of the port it came from. Exits with 0 after a clean run.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200112L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include "VQ6120_LIB.h"

struct panel {
    VQ6120_HANDLE h;
    int level;         /* tank level shown by the bar, 0..100 */
    int input1, input2; /* digital inputs as last reported */
    int last_key;       /* -1 before the first key */
    int keys;
    long serial_bytes;
    int log_lines;
};

static long long now_ms(void) {
#if defined(_WIN32)
    return (long long)GetTickCount64();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
#endif
}

/* "a.b.c.d" into the network-order value InitialVQ6120 takes: the four bytes
 * in memory in the order written. */
static int parse_address(const char *text, uint32_t *out) {
    unsigned a, b, c, d;
    char extra;
    uint8_t bytes[4];
    if (sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 || a > 255 || b > 255 || c > 255 || d > 255) {
        return 0;
    }
    bytes[0] = (uint8_t)a;
    bytes[1] = (uint8_t)b;
    bytes[2] = (uint8_t)c;
    bytes[3] = (uint8_t)d;
    memcpy(out, bytes, sizeof bytes);
    return 1;
}

static void text_at(VQ6120_HANDLE h, int x, int y, const char *s) {
    DrawAText(h, (int16_t)x, (int16_t)y, s, (int32_t)strlen(s));
}

/* The graphic screen is drawn whole each time: the terminal's shapes only
 * set pixels, so a change is shown by clearing and drawing again. */
static void draw_dashboard(const struct panel *p) {
    char line[32];
    VQ6120_HANDLE h = p->h;
    int fill = 2 + (p->level * 96) / 100;

    ClearGraphicScreen(h);
    DrawRectangle(h, 0, 0, 239, 63, 0);
    text_at(h, 4, 3, "VQ6120 DASHBOARD");
    DrawLine(h, 1, 12, 238, 12);

    /* Tank level: a bar gauge with a scale. */
    text_at(h, 4, 18, "TANK");
    DrawRectangle(h, 34, 17, 134, 25, 0);
    DrawRectangle(h, 36, 19, (int16_t)(34 + fill), 23, 1);
    DrawLine(h, 84, 26, 84, 28);
    DrawLine(h, 34, 26, 34, 28);
    DrawLine(h, 134, 26, 134, 28);
    sprintf(line, "%3d%%", p->level);
    text_at(h, 140, 18, line);

    /* Last key and serial traffic. */
    if (p->last_key < 0) {
        sprintf(line, "KEY --");
    } else {
        sprintf(line, "KEY %d", p->last_key);
    }
    text_at(h, 4, 34, line);
    sprintf(line, "SER %ld B", p->serial_bytes);
    text_at(h, 4, 46, line);

    /* Digital inputs as two lamps: filled when on. */
    text_at(h, 68, 34, "DI1");
    DrawCircle(h, 76, 50, 5, (uint8_t)(p->input1 ? 1 : 0));
    text_at(h, 92, 34, "DI2");
    DrawCircle(h, 100, 50, 5, (uint8_t)(p->input2 ? 1 : 0));

    /* A dial: circle with an ellipse hub and a needle for the level. */
    DrawCircle(h, 150, 45, 14, 0);
    DrawEllipse(h, 150, 45, 3, 2, 1);
    DrawLine(h, 150, 45, (int16_t)(137 + (p->level * 26) / 100), 36);

    /* Alarm marker: a rhombus, filled in with a cross when a key was pressed. */
    DrawRhombus(h, 200, 40, 16, 12);
    if (p->keys > 0) {
        DrawLine(h, 192, 40, 208, 40);
        DrawLine(h, 200, 32, 200, 48);
    }
    text_at(h, 178, 18, "ALARM");
}

/* One line at the bottom of the text screen; older lines move up. */
static void log_line(struct panel *p, const char *s, uint8_t inverse) {
    if (p->log_lines >= 6) {
        ScrolloneLine(p->h, 0);
        SetScreenCursorPos(p->h, 0, 56);
    } else {
        SetScreenCursorPos(p->h, 0, (int16_t)(16 + 8 * p->log_lines));
        p->log_lines++;
    }
    WriteText(p->h, s, (int32_t)strlen(s), inverse);
    printf("dashboard: %s\n", s);
}

static void show_key(struct panel *p, int key) {
    char line[32];
    const char *hint = "F1 ACK   F2 MENU";
    p->last_key = key;
    p->keys++;
    ClearKeyboard(p->h);
    sprintf(line, "KEY %d PRESSED", key);
    WriteKeyboardText(p->h, line, (int32_t)strlen(line), 1);
    /* The display is two lines of 20: start the hint on the second. */
    sprintf(line, "%*s", 20 - (int)(strlen(line) % 20), "");
    WriteKeyboardText(p->h, line, (int32_t)strlen(line), 0);
    WriteKeyboardText(p->h, hint, (int32_t)strlen(hint), 0);
    SetBeeperTime(p->h, 10, 5, 1);
    WriteDOStatus(p->h, 1, (uint8_t)(p->keys & 1));
}

int main(int argc, char **argv) {
    struct panel p;
    uint32_t address;
    long port = argc > 2 ? strtol(argv[2], NULL, 10) : 16120;
    long seconds = argc > 3 ? strtol(argv[3], NULL, 10) : 4;
    uint8_t buf[VQ6120_MAX_RECEIVE_FRAME];
    long long start, next_tick, next_alive;
    char line[64];

    memset(&p, 0, sizeof p);
    p.last_key = -1;
    p.level = 35;
    if (!parse_address(argc > 1 ? argv[1] : "127.0.0.1", &address) || port < 1 || port > 65535 || seconds < 0) {
        fprintf(stderr, "usage: dashboard [ADDRESS [PORT [SECONDS]]]\n");
        return 2;
    }
    p.h = InitialVQ6120(address, (uint16_t)port);
    if (p.h == NULL) {
        fprintf(stderr, "dashboard: cannot connect to %s:%ld\n", argc > 1 ? argv[1] : "127.0.0.1", port);
        return 1;
    }
    if (GetConnectStatus(p.h, 3) != 1) {
        fprintf(stderr, "dashboard: the peer did not answer as a VQ6120 terminal\n");
        ExitVQ6120(p.h);
        return 1;
    }
    printf("dashboard: connected, library %.2f\n", GetDllVersion());

    /* Outputs and housekeeping. */
    SetLCDBacklight(p.h, 1);
    SetLED(p.h, 1);
    WriteDOStatus(p.h, 1, 0);
    ConfigureCOM(p.h, 9600, 0, 8, 1, 0, 0, 1);
    ConfigureCOM(p.h, 115200, 2, 7, 1, 1, 0, 2);
    SetHostAliveCheck(p.h, 5);
    SendHostAlive(p.h);
    SetAutoReportTime(p.h, 10); /* input status every second as well */

    /* Screens. */
    draw_dashboard(&p);
    ClearText(p.h);
    SetScreenCursorPos(p.h, 0, 0);
    WriteText(p.h, "LINE 3 MIXER", 12, 1);
    SetScreenCursorPos(p.h, 0, 8);
    WriteText(p.h, "STATE RUNNING   SHIFT B", 23, 0);
    ClearKeyboard(p.h);
    WriteKeyboardText(p.h, "PRESS A KEY", 11, 0);
    ReadDIStatus(p.h);

    start = now_ms();
    next_tick = start + 500;
    next_alive = start + 1000;
    while (now_ms() - start < seconds * 1000) {
        int32_t len = (int32_t)sizeof buf;
        int32_t result = GetDataFromEthernet(p.h, buf, &len, 1);
        uint8_t in1 = 0, in2 = 0;
        int redraw = 0;
        switch (result) {
        case VQ6120_RECV_CLOSED:
            fprintf(stderr, "dashboard: connection lost\n");
            ExitVQ6120(p.h);
            return 1;
        case VQ6120_RECV_FRAME_37: {
            int key = ParseKeypadMessage(1, buf, len);
            show_key(&p, key);
            sprintf(line, "key %d", key);
            log_line(&p, line, 0);
            redraw = 1;
            break;
        }
        case VQ6120_RECV_DI_STATUS:
            if (ParseDIStatus(1, buf, len, &in1, &in2) >= 0 && ((in1 != 0) != p.input1 || (in2 != 0) != p.input2)) {
                p.input1 = in1 != 0;
                p.input2 = in2 != 0;
                sprintf(line, "inputs %d %d", p.input1, p.input2);
                log_line(&p, line, 0);
                SetLED(p.h, (uint8_t)(p.input1 ? 2 : 1));
                redraw = 1;
            }
            break;
        case VQ6120_RECV_SERIAL_1:
        case VQ6120_RECV_SERIAL_2: {
            uint8_t com = (uint8_t)(result == VQ6120_RECV_SERIAL_1 ? 1 : 2);
            int shown = len > 20 ? 20 : (int)len;
            int i;
            /* Echo what the line sent us back out of the same port. The
             * simulator loops port output back, so only data that was not
             * our own echo is answered, to avoid an endless ping-pong. */
            if (len > 5 && memcmp(buf, "echo:", 5) == 0) {
                break;
            }
            p.serial_bytes += len;
            {
                uint8_t reply[64];
                int n = shown;
                memcpy(reply, "echo:", 5);
                memcpy(reply + 5, buf, (size_t)n);
                SendCOMData(p.h, reply, n + 5, com);
            }
            for (i = 0; i < shown; ++i) {
                if (buf[i] < 0x20 || buf[i] > 0x7E) {
                    buf[i] = '.';
                }
            }
            sprintf(line, "com%d %.*s", com, shown, (const char *)buf);
            log_line(&p, line, 0);
            redraw = 1;
            break;
        }
        default:
            break;
        }
        if (now_ms() >= next_tick) {
            next_tick += 500;
            p.level = (p.level + 7) % 101;
            ReadDIStatus(p.h);
            redraw = 1;
        }
        if (now_ms() >= next_alive) {
            next_alive += 1000;
            SendHostAlive(p.h);
        }
        if (redraw) {
            draw_dashboard(&p);
        }
    }

    SetAutoReportTime(p.h, 0);
    SetHostAliveCheck(p.h, 0);
    log_line(&p, "dashboard done", 1);
    /* The model-name round trip makes sure the terminal has taken every
     * frame before the connection closes. */
    GetConnectStatus(p.h, 2);
    ExitVQ6120(p.h);
    printf("dashboard: %d keys, %ld serial bytes\n", p.keys, p.serial_bytes);
    return 0;
}
