/*
 * VQ6120_LIB: drive a VQ6120 operator terminal over TCP.
 *
 * The host opens one connection per terminal with InitialVQ6120 and gets an
 * opaque handle. Every command function checks its arguments, turns the call
 * into exactly one frame and writes it to the connection; its result says
 * only whether the frame was handed to the socket (1) or the call was refused
 * (0). Traffic from the terminal is collected by polling GetDataFromEthernet
 * from the host's own loop. The library has no threads, timers, files,
 * configuration or global state; calls on one handle are to be made from one
 * thread at a time, and separate handles share nothing.
 *
 * Wire frame (both directions): an 8-byte header
 *   bytes 0-1  length, total frame length incl. header, little-endian
 *   byte  2    channel: 0x40 terminal, 0x60 serial port 1, 0x61 serial port 2
 *   bytes 3-5  reserved, zero
 *   byte  6    command
 *   byte  7    subcode
 * followed by length - 8 payload bytes. 16-bit values inside payloads
 * (coordinates, sizes) are big-endian.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VQ6120_LIB_H
#define VQ6120_LIB_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(VQ6120_LIB_BUILDING)
     /* The DLL's .def file names every export with its ordinal; dllexport
      * would add the constructor's base-object variant besides. */
#    define VQ6120_API
#  elif defined(VQ6120_LIB_STATIC)
#    define VQ6120_API
#  else
#    define VQ6120_API __declspec(dllimport)
#  endif
#  define VQ6120_CALL __cdecl
#else
#  define VQ6120_API __attribute__((visibility("default")))
#  define VQ6120_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open connection to one terminal. Opaque: the host never looks inside. */
typedef struct VQ6120_Connection VQ6120_Connection;
typedef VQ6120_Connection *VQ6120_HANDLE;

/* Results of GetDataFromEthernet. Results 3 to 8 deliver a payload. */
enum {
    VQ6120_RECV_CLOSED = 0,      /* peer closed or read failed; also left by a
                                    frame on an unknown channel             */
    VQ6120_RECV_NOTHING = 1,     /* nothing to deliver                        */
    VQ6120_RECV_CONSUMED = 2,    /* a terminal frame with command 0x11 was
                                    consumed; no payload                     */
    VQ6120_RECV_FRAME_37 = 3,    /* terminal channel, command 0x37            */
    VQ6120_RECV_DI_STATUS = 4,   /* terminal channel, command 0x0A: digital
                                    inputs, decode with ParseDIStatus         */
    VQ6120_RECV_MODEL_NAME = 5,  /* terminal channel, command 0x00            */
    VQ6120_RECV_SERIAL_1 = 6,    /* channel 0x60, command 0, subcode 0        */
    VQ6120_RECV_SERIAL_2 = 7,    /* channel 0x61, command 0, any subcode      */
    VQ6120_RECV_FRAME_10 = 8     /* terminal channel, command 0x10            */
};

/* Largest payload a sending call carries (the 16-bit length field minus the
 * header). Longer payloads are refused with 0. */
#define VQ6120_MAX_PAYLOAD 65527
/* Largest frame the receive path accepts from the terminal, and the size of
 * each handle's receive buffer. */
#define VQ6120_MAX_RECEIVE_FRAME 32768
/* A frame whose send makes no progress for this long (the terminal stopped
 * reading) has its connection shut down; GetDataFromEthernet then reports 0. */
#define VQ6120_SEND_STALL_SECONDS 5

/* ---- Connection ------------------------------------------------------- */

/* Connects to the terminal. `address` is an IPv4 address in network byte
 * order, exactly as struct in_addr holds it (bytes 7F 00 00 01 in memory mean
 * 127.0.0.1); `port` is in host byte order. Blocks until the platform's
 * connect succeeds or fails. Returns a new handle, or NULL on any failure
 * (nothing is left allocated). The handle belongs to the host until it passes
 * it to ExitVQ6120. */
VQ6120_API VQ6120_HANDLE VQ6120_CALL InitialVQ6120(uint32_t address, uint16_t port);

/* Closes the connection and frees the handle; frames still buffered are
 * discarded. NULL is ignored. The handle must not be used afterwards. */
VQ6120_API void VQ6120_CALL ExitVQ6120(VQ6120_HANDLE handle);

/* Probe: sends the model-name request (08 00 40 00 00 00 00 00) and waits up
 * to `timeoutSeconds` in all (0: no wait) for the terminal's model-name reply
 * (the first terminal-channel frame with command 0x00). Returns 1 when the
 * reply's payload begins with "VQ6120", 0 on time-out, closed connection, read
 * error, any other name, or a NULL handle. Only the reply is taken out of the
 * receive stream: every other frame stays buffered, in order, for
 * GetDataFromEthernet. */
VQ6120_API int32_t VQ6120_CALL GetConnectStatus(VQ6120_HANDLE handle, uint8_t timeoutSeconds);

/* The library version, 1.31. */
VQ6120_API double VQ6120_CALL GetDllVersion(void);

/* ---- Raw frames ------------------------------------------------------- */

/* Sends one frame with the given header bytes and `dataLength` payload bytes
 * from `data`; nothing else is checked, so any channel and command may be
 * sent. Returns 0 for a NULL handle, for NULL `data` with a length above 0,
 * and for a length above VQ6120_MAX_PAYLOAD (nothing is sent); otherwise 1.
 * 1 means the frame was handed to the socket, not that it arrived. */
VQ6120_API int32_t VQ6120_CALL SendData(VQ6120_HANDLE handle, uint8_t channel, uint8_t command,
                                        uint8_t subcode, const uint8_t *data, uint32_t dataLength);

/* ---- Receiving -------------------------------------------------------- */

/* Polls for traffic from the terminal and delivers at most one payload.
 * `*payloadLength` holds the capacity of `payloadBuffer` on entry (negative
 * counts as 0) and the number of bytes copied on return; a payload longer than
 * the capacity is cut and the rest of that frame is lost. When a whole frame
 * is already buffered the call neither waits nor reads; otherwise it waits up
 * to 10 ms for data when `wait` is 1 (any other value: no wait) and reads
 * once. Returns one of the VQ6120_RECV_ values. When it returns 1 because
 * only part of a frame is buffered, `*payloadLength` is left as it was.
 * A NULL handle gives 0 with `*payloadLength` 0; a NULL `payloadLength` gives
 * 0 and touches nothing. A frame whose length field is below 8 or above
 * VQ6120_MAX_RECEIVE_FRAME puts the stream out of step: everything buffered
 * is dropped, nothing is delivered in that call, later traffic is handled
 * normally. After 0 for a closed connection, close the handle and reconnect. */
VQ6120_API int32_t VQ6120_CALL GetDataFromEthernet(VQ6120_HANDLE handle, uint8_t *payloadBuffer,
                                                   int32_t *payloadLength, uint8_t wait);

/* Decodes a digital-input payload of exactly two ASCII digits. Returns the
 * first digit's value (byte - 0x30, kept to 8 bits) and stores bit 0 of the
 * second digit in `*firstInput` (0 or 1) and bit 1 in `*secondInput` (0 or 2,
 * not shifted). Returns -1 and writes nothing when `valid` is 0, the length is
 * not 2, or any pointer is NULL. */
VQ6120_API int32_t VQ6120_CALL ParseDIStatus(int32_t valid, const uint8_t *payload, int32_t payloadLength,
                                             uint8_t *firstInput, uint8_t *secondInput);

/* Decodes a one-byte key payload: returns the byte (0..255) when `valid` is
 * nonzero, `payloadLength` is 1 and `payload` is not NULL; otherwise 0. */
VQ6120_API int32_t VQ6120_CALL ParseKeypadMessage(int32_t valid, const uint8_t *payload, int32_t payloadLength);

/* ---- Graphic screen (240 x 64 pixels) ---------------------------------
 * Every command below returns 1 when its frame was handed to the socket and 0
 * when the call was refused (NULL handle or a value out of range; nothing is
 * sent then). Coordinates: x 0..239, y 0..63; sizes 0..32; each value is
 * checked on its own (shapes are not checked to fit the screen) and travels
 * big-endian. `mode` 0 or 1 selects between the shape's two command codes
 * (the virtual terminal draws mode 0 as an outline and mode 1 filled). Text
 * runs are 1..240 bytes, sent raw with no terminator; a NULL `text` is
 * refused. All frames go on the terminal channel 0x40. */

/* Clears the graphic screen. Command 0x40, no payload. */
VQ6120_API int32_t VQ6120_CALL ClearGraphicScreen(VQ6120_HANDLE handle);
/* Sets one pixel. Command 0x43, payload x, y. */
VQ6120_API int32_t VQ6120_CALL DrawPixel(VQ6120_HANDLE handle, int16_t x, int16_t y);
/* Draws a line between two points. Command 0x47, payload x1, y1, x2, y2. */
VQ6120_API int32_t VQ6120_CALL DrawLine(VQ6120_HANDLE handle, int16_t x1, int16_t y1, int16_t x2, int16_t y2);
/* Draws a rectangle by two corners, sent as given. Command 0x48 (mode 0) or
 * 0x4C (mode 1), payload x1, y1, x2, y2. */
VQ6120_API int32_t VQ6120_CALL DrawRectangle(VQ6120_HANDLE handle, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                                             uint8_t mode);
/* Draws a circle around (x, y). Command 0x49 (mode 0) or 0x4D (mode 1),
 * payload x, y, size. */
VQ6120_API int32_t VQ6120_CALL DrawCircle(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t size, uint8_t mode);
/* Draws an ellipse around (x, y) with half-axes sizeA (x) and sizeB (y).
 * Command 0x4A (mode 0) or 0x4E (mode 1), payload x, y, sizeA, sizeB. */
VQ6120_API int32_t VQ6120_CALL DrawEllipse(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t sizeA, int16_t sizeB,
                                           uint8_t mode);
/* Draws a rhombus around (x, y). Command 0x4B, payload x, y, sizeA, sizeB. */
VQ6120_API int32_t VQ6120_CALL DrawRhombus(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t sizeA, int16_t sizeB);
/* Draws `textLength` bytes of text with its top-left corner at pixel (x, y).
 * Command 0x50, payload x, y, then the text. */
VQ6120_API int32_t VQ6120_CALL DrawAText(VQ6120_HANDLE handle, int16_t x, int16_t y, const char *text,
                                         int32_t textLength);

/* ---- Text screen and keyboard display ---------------------------------
 * `flag` (0 or 1) travels as the frame's subcode; `direction` 0 scrolls by
 * one line one way (step byte 0xFF), 1 the other (step byte 0x01). */

/* Clears the text screen. Command 0x60. */
VQ6120_API int32_t VQ6120_CALL ClearText(VQ6120_HANDLE handle);
/* Places the text screen's cursor; x 0..239, y 0..63. Command 0x65. */
VQ6120_API int32_t VQ6120_CALL SetScreenCursorPos(VQ6120_HANDLE handle, int16_t x, int16_t y);
/* Writes text at the cursor. Command 0x61, subcode `flag`, payload the text. */
VQ6120_API int32_t VQ6120_CALL WriteText(VQ6120_HANDLE handle, const char *text, int32_t textLength, uint8_t flag);
/* Scrolls the text screen by one line. Command 0x67, payload the step byte. */
VQ6120_API int32_t VQ6120_CALL ScrolloneLine(VQ6120_HANDLE handle, uint8_t direction);
/* Clears the keyboard display. Command 0x30. */
VQ6120_API int32_t VQ6120_CALL ClearKeyboard(VQ6120_HANDLE handle);
/* Writes text to the keyboard display. Command 0x62, subcode `flag`. */
VQ6120_API int32_t VQ6120_CALL WriteKeyboardText(VQ6120_HANDLE handle, const char *text, int32_t textLength,
                                                 uint8_t flag);
/* Scrolls the keyboard display by one line. Command 0x68. */
VQ6120_API int32_t VQ6120_CALL ScrollKeyboardoneLine(VQ6120_HANDLE handle, uint8_t direction);

/* ---- Terminal I/O and housekeeping ------------------------------------
 * One-byte settings without a stated range are forwarded unchanged; their
 * meaning lies with the terminal (docs/simulator.md gives the virtual
 * terminal's). */

/* Sets the two digital outputs, each 0 or 1. Command 0x09; the payload holds
 * the digit of `secondFlag` first, then that of `firstFlag` ('0' or '1'). */
VQ6120_API int32_t VQ6120_CALL WriteDOStatus(VQ6120_HANDLE handle, uint8_t firstFlag, uint8_t secondFlag);
/* Requests the digital-input status. Command 0x0A. The answer arrives through
 * GetDataFromEthernet as VQ6120_RECV_DI_STATUS; decode it with ParseDIStatus. */
VQ6120_API int32_t VQ6120_CALL ReadDIStatus(VQ6120_HANDLE handle);
/* Drives the beeper with three raw values. Command 0x0B. */
VQ6120_API int32_t VQ6120_CALL SetBeeperTime(VQ6120_HANDLE handle, uint8_t beeperValue1, uint8_t beeperValue2,
                                             uint8_t beeperValue3);
/* Sets the automatic digital-input report time. Command 0x11. */
VQ6120_API int32_t VQ6120_CALL SetAutoReportTime(VQ6120_HANDLE handle, uint8_t reportTime);
/* Requests the model name. Command 0x00. The answer arrives through
 * GetDataFromEthernet as VQ6120_RECV_MODEL_NAME. */
VQ6120_API int32_t VQ6120_CALL GetModalName(VQ6120_HANDLE handle);
/* Sets the LED. Command 0x0C. */
VQ6120_API int32_t VQ6120_CALL SetLED(VQ6120_HANDLE handle, uint8_t ledValue);
/* Switches the LCD backlight off (0) or on (1). Command 0x0D. */
VQ6120_API int32_t VQ6120_CALL SetLCDBacklight(VQ6120_HANDLE handle, uint8_t backlightFlag);
/* Sets up the host-alive check. Command 0x12, subcode 0. */
VQ6120_API int32_t VQ6120_CALL SetHostAliveCheck(VQ6120_HANDLE handle, uint8_t aliveCheckValue);
/* Sends the host-alive signal. Command 0x12, subcode 1, no payload. */
VQ6120_API int32_t VQ6120_CALL SendHostAlive(VQ6120_HANDLE handle);

/* ---- Serial pass-through (`comPort` 1 or 2: channel 0x60 or 0x61) ------ */

/* Sets a serial port's line. `baudRate` is one of 1200, 2400, 4800, 9600,
 * 19200, 38400, 57600, 115200 (compared on all 32 bits; sent as its index
 * 0..7); `optionA` 0..3, `dataBits` 7 or 8, `stopBits` 1 or 2, `optionB` 0 or
 * 1, `optionC` any. Command 0x01. */
VQ6120_API int32_t VQ6120_CALL ConfigureCOM(VQ6120_HANDLE handle, uint32_t baudRate, uint8_t optionA,
                                            uint8_t dataBits, uint8_t stopBits, uint8_t optionB, uint8_t optionC,
                                            uint8_t comPort);
/* Sends `dataLength` bytes (1..VQ6120_MAX_PAYLOAD) out of a serial port, in one
 * frame. Command 0x00. A NULL `data` is refused. Data the terminal receives on
 * the port comes back through GetDataFromEthernet as VQ6120_RECV_SERIAL_1 or
 * VQ6120_RECV_SERIAL_2. */
VQ6120_API int32_t VQ6120_CALL SendCOMData(VQ6120_HANDLE handle, const uint8_t *data, int32_t dataLength,
                                           uint8_t comPort);

/* ---- Extensions: many terminals from one loop ------------------------
 *
 * Beyond the terminal's own interface, all named VQ6120Ex_*. Nothing above
 * changes for a host that does not call them. On Windows they sit at
 * ordinals 39 and up.
 *
 * The loop: open each terminal with VQ6120Ex_StartOpen, wait until its
 * socket (VQ6120Ex_GetSocket) is writable, VQ6120Ex_FinishOpen it; then wait
 * on all sockets for readability (poll, epoll, WSAPoll, libuv, Asio, ...)
 * and drain each ready terminal with GetDataFromEthernet(..., wait 0) until
 * it returns VQ6120_RECV_NOTHING or VQ6120_RECV_CLOSED. */

/* The connection's socket: a POSIX descriptor or a Windows SOCKET; -1 for a
 * NULL handle. The host may wait on it (readable: call GetDataFromEthernet;
 * writable while opening: call VQ6120Ex_FinishOpen) and nothing else: it
 * never reads, writes, closes or changes it. A call that may read (such as
 * GetConnectStatus) can leave whole frames in the library's buffer, where no
 * socket readiness shows them: see VQ6120Ex_BufferedBytes. The socket stays
 * the same for the handle's life; ExitVQ6120 closes it. */
VQ6120_API intptr_t VQ6120_CALL VQ6120Ex_GetSocket(VQ6120_HANDLE handle);

/* InitialVQ6120 with a time limit: a terminal that does not complete the
 * connection within `timeoutMs` (1 or more) costs at most that long; one that
 * refuses returns at once. NULL when the connect failed or timed out, or
 * `timeoutMs` is below 1 (nothing is left open); errno then says why
 * (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH; on POSIX systems any
 * other connect error too). */
VQ6120_API VQ6120_HANDLE VQ6120_CALL VQ6120Ex_Open(uint32_t address, uint16_t port, int32_t timeoutMs);

/* Starts connecting without waiting and returns the handle at once (NULL
 * when the connect failed at once or memory ran out). Until
 * VQ6120Ex_FinishOpen returns 1 the handle is only for VQ6120Ex_FinishOpen,
 * VQ6120Ex_GetSocket and ExitVQ6120: commands are refused with 0 and send
 * nothing, GetDataFromEthernet delivers nothing (1), GetConnectStatus
 * returns 0 at once. */
VQ6120_API VQ6120_HANDLE VQ6120_CALL VQ6120Ex_StartOpen(uint32_t address, uint16_t port);

/* Waits up to `waitMs` (0 or less: no wait) for the connect begun by
 * VQ6120Ex_StartOpen: 1 connected (the handle now works as one from
 * InitialVQ6120; also for every handle already connected), -1 still
 * connecting (call again, e.g. when the socket turns writable), 0 the
 * connect failed (errno says why, as for VQ6120Ex_Open) or the handle is
 * NULL. A failed handle reads as closed and is still to be closed with
 * ExitVQ6120. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_FinishOpen(VQ6120_HANDLE handle, int32_t waitMs);

/* Begins a write batch: from now on each command's frame is collected
 * instead of sent, and VQ6120Ex_EndBatch sends them all, in order, in one
 * send. The bytes on the wire are exactly those of the same commands sent one
 * by one. Inside a batch a command's result means what it means outside:
 * 0 refused (nothing collected), 1 accepted. GetConnectStatus inside a batch
 * first sends what was collected, then its request; receiving is unaffected.
 * A batch that grows past 1 MiB sends what it holds and goes on collecting
 * (as it does when memory for it cannot be had), so nothing is dropped.
 * ExitVQ6120 sends what an unfinished batch collected before closing.
 * 1 begun; 0 for a NULL handle, a handle already in a batch, or one whose
 * connect is not through. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_BeginBatch(VQ6120_HANDLE handle);

/* Ends the batch and sends what it collected. 1: every byte of the batch
 * was handed to the socket. 0: a NULL handle or no batch begun, or a send of
 * the batch failed or stalled past VQ6120_SEND_STALL_SECONDS; how much of it
 * reached the terminal is then unknown, and after a stall the connection
 * reads as closed, as after a stalled command. Either way the batch is over.
 * (In the queued send mode, see below.) */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_EndBatch(VQ6120_HANDLE handle);

/* Bytes received and held for GetDataFromEthernet: whole frames among them
 * are delivered without the socket being readable. -1 for a NULL handle. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_BufferedBytes(VQ6120_HANDLE handle);

/* TCP keepalive, so that a link that died without a word is noticed while
 * nothing is being sent: after `idleSeconds` (1..32767) without traffic the
 * system probes every `intervalSeconds` (1..32767); `count` (1..127)
 * unanswered probes close the connection, which GetDataFromEthernet then
 * reports with VQ6120_RECV_CLOSED. `idleSeconds` 0 switches keepalive off
 * (the other two are then ignored). 1 set; 0 for a NULL handle, a value out
 * of range, a connect not through, or a system that refused. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_SetKeepAlive(VQ6120_HANDLE handle, int32_t idleSeconds,
                                                    int32_t intervalSeconds, int32_t count);

/* ---- Sends that never block --------------------------------------------
 *
 * By default every command sends its frame before it returns, and a terminal
 * that stops reading can hold it for up to VQ6120_SEND_STALL_SECONDS. A host
 * serving many terminals from one loop puts each handle in the queued send
 * mode instead (VQ6120Ex_SetSendQueue). In it:
 *
 * - Every command returns at once. Its frame goes to the socket as far as the
 *   socket takes it now, the rest waits in the handle's send queue; or, when
 *   the bytes waiting for the terminal (the queue and the system's send
 *   buffer, see VQ6120Ex_WaitingBytes) plus the frame would pass the limit,
 *   the command is refused whole: 0, nothing of it on the wire, and
 *   VQ6120Ex_LastRefusal says VQ6120_REFUSED_QUEUE_FULL. A frame is never
 *   cut: the terminal receives exactly the accepted frames, in order.
 * - While the queue holds bytes (VQ6120Ex_Flush returned more than 0) the
 *   host waits for the socket to be writable and calls VQ6120Ex_Flush; once
 *   it returns 0 the host drops its write interest again. The library holds
 *   at most the limit in memory for the handle.
 * - The stall rule holds without blocking. A terminal is reading when,
 *   within VQ6120_SEND_STALL_SECONDS, it takes at least a sixteenth of the
 *   limit (exactly a sixteenth counts) or all that waited when that time
 *   began; bytes the socket takes into the system's buffer do not count,
 *   only the buffer shrinking does (a frozen terminal's system still takes a
 *   few KiB now and then). When bytes wait and the terminal is not reading
 *   for the whole bound, the connection is shut down and reads as closed
 *   (GetDataFromEthernet 0, VQ6120Ex_Flush -1, commands refused with
 *   VQ6120_REFUSED_STALLED). It is judged in VQ6120Ex_Flush, and in
 *   commands and GetDataFromEthernet once the bound may have passed. Bytes
 *   can wait in the system's buffer after VQ6120Ex_Flush returned 0, when
 *   the socket shows no readiness: the host takes VQ6120Ex_NextCheck as
 *   (the most) time its wait may last, and calls VQ6120Ex_Flush when it
 *   has passed. A send that fails (the terminal reset the connection) ends
 *   the connection the same way, with VQ6120_REFUSED_CLOSED.
 * - A write batch (VQ6120Ex_BeginBatch) collects into the queue and is
 *   queued whole or refused whole: once a command inside it is refused for a
 *   full queue, the following ones are refused too and VQ6120Ex_EndBatch
 *   drops what the batch collected and returns 0 (VQ6120_REFUSED_QUEUE_FULL).
 *   Until it ends, the batch is not sent and not counted by VQ6120Ex_Flush's
 *   result.
 * - GetConnectStatus queues its request behind what waits and sends what the
 *   socket takes before it waits for the answer; behind a full queue, or
 *   with a batch open, it returns 0 at once. ExitVQ6120 hands the socket
 *   what it takes at once (an open batch included) and drops the rest.
 *
 * On Linux the system's part is the socket's unsent and unacknowledged
 * bytes as the system reports them. Windows does not report them: there the
 * mode bounds the socket's send buffer (SO_SNDBUF) to 32 KiB and counts
 * that whole bound as waiting while the socket refuses bytes, none while it
 * takes them all. */

/* Refusal reasons (VQ6120Ex_LastRefusal). */
enum {
    VQ6120_REFUSED_NONE = 0,        /* the last call was accepted            */
    VQ6120_REFUSED_ARGUMENT = 1,    /* a value out of range or a NULL pointer */
    VQ6120_REFUSED_QUEUE_FULL = 2,  /* queued mode: the frame or batch would
                                       pass the limit; call again later      */
    VQ6120_REFUSED_CLOSED = 3,      /* the connection is over: closed, reset
                                       or its connect failed                 */
    VQ6120_REFUSED_STATE = 4,       /* not in the handle's present state: a
                                       connect not through, a batch open (or
                                       none), bytes still queued             */
    VQ6120_REFUSED_MEMORY = 5,      /* memory for the frame could not be had */
    VQ6120_REFUSED_STALLED = 6      /* the connection is over by the stall
                                       rule: the terminal stopped reading    */
};

/* The smallest send-queue limit: one largest frame and then some. */
#define VQ6120_SEND_QUEUE_MIN 65536
/* A limit that suits a terminal redrawn a few times a second: a frozen
 * terminal is noticed once this much waits, a busy healthy one never comes
 * near it. */
#define VQ6120_SEND_QUEUE_DEFAULT 262144

/* Puts the handle in the queued send mode with `limitBytes` (at least
 * VQ6120_SEND_QUEUE_MIN) as the most that may wait for the terminal, or
 * changes that limit (lowering it only while nothing is queued); 0 returns
 * to sending before each command returns, refused while the queue holds
 * bytes or a batch is open. Allowed while a connect begun with
 * VQ6120Ex_StartOpen is under way (the mode starts when it is through).
 * 1 done; 0 refused (NULL handle, a limit below the minimum or negative, a
 * batch open, bytes queued, a connection that is over). */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_SetSendQueue(VQ6120_HANDLE handle, int32_t limitBytes);

/* Hands the socket what it takes now of the queued bytes, never waiting,
 * and applies the stall rule. Returns the bytes still held in the queue
 * (0: nothing left, the host can drop write interest; always 0 outside the
 * mode), or -1 for a NULL handle or a connection that is over (closed,
 * reset, stalled). */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_Flush(VQ6120_HANDLE handle);

/* The bytes waiting for the terminal: the handle's queue (an open batch
 * included) plus the system's send buffer as described above, at the
 * moment of the call. Outside the mode, the system's part alone (0 on
 * Windows). -1 for a NULL handle. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_WaitingBytes(VQ6120_HANDLE handle);

/* Why the last call on this handle that sends or changes it (a command,
 * SendData, GetConnectStatus, the batch, keepalive and send-queue calls)
 * returned 0: one of the VQ6120_REFUSED_ values, VQ6120_REFUSED_NONE when
 * it was accepted. Calls refused for a NULL handle record nothing.
 * GetDataFromEthernet and the queries leave it; VQ6120Ex_Flush leaves it
 * too, but when it returns -1 it records why the connection is over
 * (VQ6120_REFUSED_STALLED: the terminal stopped reading; otherwise
 * VQ6120_REFUSED_CLOSED). -1 for a NULL handle. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_LastRefusal(VQ6120_HANDLE handle);

/* Milliseconds until the stall rule must next be judged for the handle: the
 * host's wait (poll, epoll_wait, WSAPoll) lasts at most this long (the
 * smallest over its handles), and then it calls VQ6120Ex_Flush, which
 * judges it. 0: judge now. -1: nothing waits for the terminal as far as the
 * library knows, so no wait needs to end for it; also outside the queued
 * send mode, for a connection that is over and for a NULL handle. Never
 * above VQ6120_SEND_STALL_SECONDS * 1000. */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_NextCheck(VQ6120_HANDLE handle);

/* ---- Extension: bitmaps ------------------------------------------------ */

/* Draws a bitmap with its top-left pixel at (x, y): every set bit turns its
 * pixel on; a clear bit leaves its pixel as it is (the terminal has no way to
 * turn single pixels off: ClearGraphicScreen first for an exact picture).
 * `bits` holds `height` rows, top to bottom, `strideBytes` apart; within a
 * row the most significant bit of the first byte is the leftmost pixel, as
 * in a PBM file. The set pixels travel as the fewest bytes of the terminal's
 * own commands: filled rectangles (DrawRectangle mode 1), horizontal and
 * vertical lines, single pixels, sent in one write as a batch (inside a
 * batch begun by the host they join it; in the queued send mode they are
 * queued whole or refused whole). 1 sent (also for a bitmap with no bit set:
 * nothing is sent); 0 refused, nothing sent, the reason recorded for
 * VQ6120Ex_LastRefusal: a NULL handle or `bits`, `width` or `height` below
 * 1, x or y below 0, x + width above 240, y + height above 64, `strideBytes`
 * below (width + 7) / 8 (VQ6120_REFUSED_ARGUMENT), a connect not through, a
 * full send queue, or a send of the write that failed or stalled (as
 * VQ6120Ex_EndBatch reports it). */
VQ6120_API int32_t VQ6120_CALL VQ6120Ex_DrawBitmap(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t width,
                                                  int16_t height, const uint8_t *bits, int32_t strideBytes);

#ifdef __cplusplus
} /* extern "C" */

/* Inert example exports, kept for hosts that link against them. They carry
 * the compiler's decorated C++ names and are not part of the working
 * interface. */
class VQ6120_API CVQ6120_LIB {
public:
    CVQ6120_LIB(void);
    CVQ6120_LIB &operator=(const CVQ6120_LIB &other);
};
extern VQ6120_API int nVQ6120_LIB;
VQ6120_API int fnVQ6120_LIB(void);
#endif

#endif /* VQ6120_LIB_H */
