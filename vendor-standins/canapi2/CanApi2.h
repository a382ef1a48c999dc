/* Our stand-in for the PEAK CAN API library ("CanApi2.dll", built as
 * libCanApi2.so beside libkavrel.so). It reaches a CAN bus through a
 * socketcand server (kavrel-canbus or a real socketcand).
 *
 * Hardware: the environment variable KAVREL_CAN lists endpoints
 * "HOST:PORT/BUS[@RATE]", comma-separated; the endpoint at position p (from
 * 0) is hardware handle p + 1, up to CANAPI2_MAX_HW. Listing never connects.
 *
 * Nets (1..CANAPI2_MAX_NETS) and clients (1..CANAPI2_MAX_CLIENTS) are
 * process-wide. A net binds a name to a hardware handle and a bit rate;
 * a client connected to a net has its own connection to the server (opened
 * by CAN_ConnectToNet), so two clients of one process hear each other like
 * two nodes. Each connected client has a receive queue of
 * CANAPI2_RX_QUEUE frames (further frames are dropped and counted).
 *
 * Every entry point returns CANAPI2_OK (0) on success or one of the non-zero
 * CANAPI2_E_* codes below. */
#ifndef KAVREL_CANAPI2_H
#define KAVREL_CANAPI2_H

#include <stdint.h>

#define CANAPI2_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t CANAPI2_RESULT;

#define CANAPI2_MAX_HW 16
#define CANAPI2_MAX_NETS 32
#define CANAPI2_MAX_CLIENTS 64
#define CANAPI2_RX_QUEUE 100
#define CANAPI2_NAME_MAX 64 /* longest name, with its terminating zero */

/* Result codes. */
#define CANAPI2_OK 0
#define CANAPI2_E_ILLEGAL_PARAM 0x0001  /* null pointer, empty name, bad range or data length */
#define CANAPI2_E_ILLEGAL_HW 0x0002     /* no hardware with that handle */
#define CANAPI2_E_ILLEGAL_NET 0x0003    /* net handle out of range or not registered */
#define CANAPI2_E_ILLEGAL_CLIENT 0x0004 /* unknown client handle */
#define CANAPI2_E_NET_IN_USE 0x0005     /* net handle already registered, or clients still connected */
#define CANAPI2_E_NO_NET 0x0006         /* no net of that name */
#define CANAPI2_E_BAD_BITRATE 0x0007    /* BTR0/BTR1 give no valid bit timing, or the
                                           endpoint's fixed @RATE differs */
#define CANAPI2_E_NO_RESOURCES 0x0008   /* every client handle is taken */
#define CANAPI2_E_CONNECT 0x0009        /* the server refused or could not be reached
                                           (connect, hi, bit timing, open, rawmode) */
#define CANAPI2_E_NOT_CONNECTED 0x000A  /* the client is not connected to that net */
#define CANAPI2_E_RX_EMPTY 0x000B       /* no frame waits for the client */
#define CANAPI2_E_IO 0x000C             /* the connection to the server was lost */
#define CANAPI2_E_TX_FULL 0x000D        /* the connection's send buffer is full */
#define CANAPI2_E_BUFFER_TOO_SMALL 0x000E /* the text does not fit the buffer */
#define CANAPI2_E_ILLEGAL_PARAM_TYPE 0x000F /* unknown parameter number */

/* Parameter numbers. */
#define CANAPI2_PARAM_NAME 3         /* CAN_GetHwParam, CAN_GetNetParam: text */
#define CANAPI2_PARAM_BITRATE 4      /* CAN_GetHwParam (0 unless @RATE), CAN_GetNetParam: uint32_t bit/s */
#define CANAPI2_PARAM_HW_HANDLE 5    /* CAN_GetNetParam: uint8_t hardware handle */
#define CANAPI2_PARAM_RX_EVENT 26    /* CAN_SetClientParam: an eventfd descriptor, -1 for none */

/* Frame types. */
#define CANAPI2_MSGTYPE_STANDARD 0x00
#define CANAPI2_MSGTYPE_EXTENDED 0x02
#define CANAPI2_MSGTYPE_OVERRUN 0x80 /* set on the first frame after frames were lost */

/* One CAN frame. */
typedef struct {
    uint32_t id;      /* 11-bit, or 29-bit with CANAPI2_MSGTYPE_EXTENDED */
    uint8_t msgType;  /* CANAPI2_MSGTYPE_* */
    uint8_t len;      /* number of data bytes, 0..8 */
    uint8_t data[8];
    uint8_t reserved[2];
} CANAPI2_MSG;

/* Hardware. CANAPI2_PARAM_NAME gives the endpoint exactly as listed in
 * KAVREL_CAN, e.g. "127.0.0.1:5000/can0"; an unknown handle gives
 * CANAPI2_E_ILLEGAL_HW. */
CANAPI2_API CANAPI2_RESULT CAN_GetHwParam(uint8_t hw, uint16_t param, void* buffer, uint16_t size);

/* Nets. CANAPI2_PARAM_NAME of a net that is not registered gives
 * CANAPI2_E_ILLEGAL_NET (its handle is free). */
CANAPI2_API CANAPI2_RESULT CAN_GetNetParam(uint8_t net, uint16_t param, void* buffer, uint16_t size);
/* btr0btr1: BTR0 * 256 + BTR1 of an SJA1000 at 16 MHz. */
CANAPI2_API CANAPI2_RESULT CAN_RegisterNet(uint8_t net, const char* name, uint8_t hw, uint16_t btr0btr1);
/* Refused with CANAPI2_E_NET_IN_USE while clients are connected. */
CANAPI2_API CANAPI2_RESULT CAN_RemoveNet(uint8_t net);

/* Clients. hWnd is accepted and ignored (pass 0). */
CANAPI2_API CANAPI2_RESULT CAN_RegisterClient(const char* name, uint32_t hWnd, uint8_t* client);
/* Disconnects it from every net first. */
CANAPI2_API CANAPI2_RESULT CAN_RemoveClient(uint8_t client);
/* Connects the client to the net of that name (the most recently registered
 * one when several share it) and opens its connection to the server. */
CANAPI2_API CANAPI2_RESULT CAN_ConnectToNet(uint8_t client, const char* netName, uint8_t* net);
CANAPI2_API CANAPI2_RESULT CAN_DisconnectFromNet(uint8_t client, uint8_t net);
/* Frames whose identifiers lie in [from, to] are queued for the client;
 * before the first call nothing is. Several ranges add up. */
CANAPI2_API CANAPI2_RESULT CAN_RegisterMsg(uint8_t client, uint8_t net, uint32_t from, uint32_t to);
/* CANAPI2_PARAM_RX_EVENT: the library adds 1 to that eventfd whenever a
 * frame is queued for the client (the caller owns the descriptor and reads
 * it to reset it). */
CANAPI2_API CANAPI2_RESULT CAN_SetClientParam(uint8_t client, uint16_t param, int64_t value);

/* Frames. time: microseconds of CAN_GetSystemTime; CAN_Write accepts it (0
 * sends now), CAN_Read gives the time of arrival. */
CANAPI2_API CANAPI2_RESULT CAN_GetSystemTime(uint64_t* time);
CANAPI2_API CANAPI2_RESULT CAN_Write(uint8_t client, uint8_t net, const CANAPI2_MSG* msg, uint64_t time);
/* Takes the oldest queued frame of the client: CANAPI2_E_RX_EMPTY when none. */
CANAPI2_API CANAPI2_RESULT CAN_Read(uint8_t client, CANAPI2_MSG* msg, uint8_t* net, uint64_t* time);

#ifdef __cplusplus
}
#endif

#endif
