/* Our stand-in for the Modbus RS485 vendor library: a Modbus RTU master on
 * one serial line at a time. Every call returns MBDLL_OK (0) on success. */
#ifndef KAVREL_MODBUSDLL_H
#define KAVREL_MODBUSDLL_H

#define MBDLL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Character format passed to mbOpen: parity in bits 0-1, then flags. */
#define MBDLL_PARITY_NONE 0
#define MBDLL_PARITY_EVEN 1
#define MBDLL_PARITY_ODD 2
#define MBDLL_STOPBITS_2 4
#define MBDLL_DATABITS_7 8

#define MBDLL_OK 0
#define MBDLL_NOT_OPEN 1      /* no port is open */
#define MBDLL_BAD_ARGUMENT 2  /* bad request text, format, rate or buffer */
#define MBDLL_OPEN_FAILED 3   /* the port could not be opened or set up */
#define MBDLL_SEND_FAILED 4   /* writing the request failed */
#define MBDLL_TIMEOUT 5       /* no answer within the reply time-out */
#define MBDLL_CRC_ERROR 6     /* the answer's checksum is wrong */
#define MBDLL_BAD_REPLY 7     /* the answer ended early or is too long */

/* Opens the serial device (a path such as /dev/ttyUSB0) at baudrate. */
MBDLL_API int mbOpen(const char* port, int baudrate, int format);
MBDLL_API int mbClose(void);
/* One exchange: request is hex text of unit + PDU; the answer (unit + PDU,
 * checksum checked and removed) is written as upper-case hex text. A request
 * to unit 0 is a broadcast: nothing is awaited and the answer is empty. */
MBDLL_API int mbDirect(const char* request, char* answer, int answerSize);
/* Read Holding Registers / Write Multiple Registers. */
MBDLL_API int mbReadObj(int unit, int address, int count, unsigned short* values);
MBDLL_API int mbWriteObj(int unit, int address, int count, const unsigned short* values);
/* Time-outs in ms: the pause after a broadcast, the wait for the first byte
 * of an answer, and the longest gap between two bytes of one answer. */
MBDLL_API int SetTimeout(int turnaround, int reply, int character);
MBDLL_API int _GetTimeout(int* turnaround, int* reply, int* character);
/* Name and version as text. */
MBDLL_API int mbGetVersionLib(char* text, int size);

#ifdef __cplusplus
}
#endif

#endif
