/* Our stand-in for the IXXAT VCI CAN driver library ("vcinpl.dll", built as
 * libvcinpl.so beside libkavrel.so). It reaches a CAN bus through a socketcand
 * server (kavrel-canbus or a real socketcand) instead of a kernel driver.
 *
 * Adapters: the environment variable KAVREL_CAN lists endpoints
 * "HOST:PORT/BUS[@RATE]", comma-separated; each endpoint is one device, in
 * that order. Listing devices never connects. The device id (VCIID) of the
 * endpoint at position p (from 0) is VCINPL_VCIID_BASE + p.
 *
 * Order of use: vciDeviceOpen -> canControlOpen -> canControlInitialize ->
 * canControlStart -> canChannelOpen -> canChannelInitialize ->
 * canChannelActivate(ch, 1) (this connects to the server) -> send/receive.
 *
 * Every entry point returns VCINPL_OK (0) on success or one of the non-zero
 * VCINPL_E_* codes below; vciFormatError turns a code into text.
 * Handles are non-zero numbers; 0 is never a valid handle. Time-outs are in
 * milliseconds; VCINPL_WAIT_FOREVER waits without limit. */
#ifndef KAVREL_VCINPL_H
#define KAVREL_VCINPL_H

#include <stdint.h>

#define VCINPL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t VCINPL_RESULT;
typedef uint32_t VCINPL_HANDLE;
typedef uint64_t VCINPL_VCIID;

#define VCINPL_VCIID_BASE 0x4B41560000000001ull
#define VCINPL_WAIT_FOREVER 0xFFFFFFFFu

/* Result codes. */
#define VCINPL_OK 0
#define VCINPL_E_INVALID_ARG 0x0001      /* null pointer, zero size, bad mode or data length */
#define VCINPL_E_INVALID_HANDLE 0x0002   /* unknown or already closed handle */
#define VCINPL_E_NO_MORE_ITEMS 0x0003    /* end of the device list */
#define VCINPL_E_NOT_FOUND 0x0004        /* no device with that VCIID (KAVREL_CAN changed?) */
#define VCINPL_E_BAD_BITRATE 0x0005      /* BTR0/BTR1 give no valid bit timing, or the
                                            endpoint's fixed @RATE differs */
#define VCINPL_E_NOT_INITIALIZED 0x0006  /* controller not initialised/started, or
                                            channel not initialised/activated */
#define VCINPL_E_CONNECT 0x0007          /* the server refused or could not be reached
                                            (connect, hi, bit timing, open, rawmode) */
#define VCINPL_E_TIMEOUT 0x0008          /* nothing arrived / no room within the time-out */
#define VCINPL_E_RX_EMPTY 0x0009         /* no frame waits in the receive FIFO */
#define VCINPL_E_TX_FULL 0x000A          /* the transmit FIFO is full */
#define VCINPL_E_IO 0x000B               /* the connection to the server was lost */
#define VCINPL_E_ACCESS_DENIED 0x000C    /* an exclusive channel is open on that bus */
#define VCINPL_E_BUSY 0x000D             /* still in use (e.g. closing a control with open channels) */
#define VCINPL_E_NO_RESOURCES 0x000E     /* handle table full */

/* canControlInitialize operating modes (bit flags). */
#define VCINPL_OPMODE_STANDARD 0x01 /* 11-bit identifiers */
#define VCINPL_OPMODE_EXTENDED 0x02 /* 29-bit identifiers */

/* CAN frame flags. */
#define VCINPL_MSGFLAG_EXTENDED 0x01 /* 29-bit identifier */
#define VCINPL_MSGFLAG_OVERRUN 0x02  /* set on the first frame after frames were lost
                                        to a full receive FIFO */

/* One CAN frame. */
typedef struct {
    uint32_t timestamp;  /* microseconds since the channel was activated (received
                            frames); ignored when sending */
    uint32_t id;         /* 11-bit (or 29-bit with VCINPL_MSGFLAG_EXTENDED) identifier */
    uint8_t dlc;         /* number of data bytes, 0..8 */
    uint8_t flags;       /* VCINPL_MSGFLAG_* */
    uint8_t reserved[2];
    uint8_t data[8];
} VCINPL_CANMSG;

/* One entry of the device list. */
typedef struct {
    VCINPL_VCIID vciId;           /* the id passed to vciDeviceOpen */
    uint8_t deviceClass[16];      /* a GUID naming the device kind */
    uint32_t driverMajorVersion;
    uint32_t driverMinorVersion;
    uint32_t hardwareMajorVersion;
    uint32_t hardwareMinorVersion;
    char uniqueHardwareId[16];    /* "HW" + position from 1, e.g. "HW2" */
    char description[128];        /* the endpoint exactly as listed, e.g. "127.0.0.1:5000/can0" */
    char manufacturer[64];        /* "Kavrel socketcand adapter" */
} VCINPL_DEVICEINFO;

/* canControlGetStatus. */
typedef struct {
    uint32_t opMode;       /* the mode given to canControlInitialize */
    uint32_t bitrate;      /* bit/s computed from BTR0/BTR1 (0 before initialising) */
    uint8_t btr0;
    uint8_t btr1;
    uint8_t started;       /* 1 after canControlStart(control, 1) */
    uint8_t reserved;
} VCINPL_LINESTATUS;

/* canChannelGetStatus. */
typedef struct {
    uint32_t rxFill;       /* frames waiting in the receive FIFO */
    uint32_t txFill;       /* frames waiting in the transmit FIFO */
    uint32_t rxLost;       /* frames dropped because the receive FIFO was full */
    uint8_t activated;     /* 1 while the channel is active */
    uint8_t connected;     /* 1 while the connection to the server is up */
    uint8_t reserved[2];
} VCINPL_CHANSTATUS;

/* Library. vciInitialize may be called any number of times. */
VCINPL_API VCINPL_RESULT vciInitialize(void);
VCINPL_API VCINPL_RESULT vciGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build);
/* Writes the text of code (never longer than size - 1 characters). */
VCINPL_API VCINPL_RESULT vciFormatError(VCINPL_RESULT code, char* text, uint32_t size);

/* Device list: a snapshot of KAVREL_CAN taken at open. */
VCINPL_API VCINPL_RESULT vciEnumDeviceOpen(VCINPL_HANDLE* list);
/* VCINPL_E_NO_MORE_ITEMS after the last entry. */
VCINPL_API VCINPL_RESULT vciEnumDeviceNext(VCINPL_HANDLE list, VCINPL_DEVICEINFO* info);
VCINPL_API VCINPL_RESULT vciEnumDeviceClose(VCINPL_HANDLE list);

/* Devices. */
VCINPL_API VCINPL_RESULT vciDeviceOpen(VCINPL_VCIID id, VCINPL_HANDLE* device);
VCINPL_API VCINPL_RESULT vciDeviceClose(VCINPL_HANDLE device);

/* Controller: one per device, bus 0 only. */
VCINPL_API VCINPL_RESULT canControlOpen(VCINPL_HANDLE device, uint32_t bus, VCINPL_HANDLE* control);
VCINPL_API VCINPL_RESULT canControlClose(VCINPL_HANDLE control);
/* opMode: VCINPL_OPMODE_*; btr0/btr1: SJA1000 bus-timing registers, 16 MHz clock. */
VCINPL_API VCINPL_RESULT canControlInitialize(VCINPL_HANDLE control, uint8_t opMode, uint8_t btr0, uint8_t btr1);
/* start 1 starts, 0 stops (sending then fails with VCINPL_E_NOT_INITIALIZED). */
VCINPL_API VCINPL_RESULT canControlStart(VCINPL_HANDLE control, uint8_t start);
VCINPL_API VCINPL_RESULT canControlGetStatus(VCINPL_HANDLE control, VCINPL_LINESTATUS* status);
/* A received frame is kept when (id & mask) == (code & mask); the default
 * keeps every frame. extended 0 sets the filter for 11-bit identifiers,
 * 1 for 29-bit ones. */
VCINPL_API VCINPL_RESULT canControlSetAccFilter(VCINPL_HANDLE control, uint8_t extended, uint32_t code, uint32_t mask);

/* Channels: each active channel has its own connection to the server, so
 * two channels of one process hear each other like two nodes. */
VCINPL_API VCINPL_RESULT canChannelOpen(VCINPL_HANDLE device, uint32_t bus, uint8_t exclusive, VCINPL_HANDLE* channel);
VCINPL_API VCINPL_RESULT canChannelClose(VCINPL_HANDLE channel);
/* FIFO sizes 1..100 frames each; thresholds are accepted and kept (events
 * fire on every frame). */
VCINPL_API VCINPL_RESULT canChannelInitialize(VCINPL_HANDLE channel, uint16_t rxSize, uint16_t rxThreshold,
                                              uint16_t txSize, uint16_t txThreshold);
/* enable 1 connects to the server at the controller's bit rate (the
 * controller must be initialised); 0 disconnects and empties both FIFOs. */
VCINPL_API VCINPL_RESULT canChannelActivate(VCINPL_HANDLE channel, uint8_t enable);
VCINPL_API VCINPL_RESULT canChannelGetStatus(VCINPL_HANDLE channel, VCINPL_CHANSTATUS* status);
/* Takes the next received frame without waiting: VCINPL_E_RX_EMPTY when none. */
VCINPL_API VCINPL_RESULT canChannelPeekMessage(VCINPL_HANDLE channel, VCINPL_CANMSG* msg);
/* Queues a frame without waiting: VCINPL_E_TX_FULL when the FIFO is full. */
VCINPL_API VCINPL_RESULT canChannelPostMessage(VCINPL_HANDLE channel, const VCINPL_CANMSG* msg);
/* Queues a frame, waiting up to timeout for room. */
VCINPL_API VCINPL_RESULT canChannelSendMessage(VCINPL_HANDLE channel, uint32_t timeout, const VCINPL_CANMSG* msg);
/* Waits up to timeout for a frame and takes it; msg may be NULL to drop it. */
VCINPL_API VCINPL_RESULT canChannelReadMessage(VCINPL_HANDLE channel, uint32_t timeout, VCINPL_CANMSG* msg);
/* Returns at once when a frame waits, else waits up to timeout for one
 * (VCINPL_E_TIMEOUT). Takes nothing from the FIFO. */
VCINPL_API VCINPL_RESULT canChannelWaitRxEvent(VCINPL_HANDLE channel, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif
