/* The C interface of libkavrel.so, for hosts in other languages.
 *
 * Every function returns a 32-bit result code: 0 for success, a negative
 * value (0x8xxxxxxx) for failure. After a failure, kavrel_last_error_code()
 * and kavrel_last_error_text() on the same thread tell the code and its text.
 * Objects are reached through handles; a released handle is refused with
 * KAVREL_E_HANDLE, never a crash; so is a device handle whose interface was
 * released (the device has no bus any more). Texts are UTF-8; a text result is copied
 * into the caller's buffer (cut to fit, always terminated).
 *
 * Events are polled, not called back: kavrel_poll_event() delivers what the
 * library's workers posted (scan steps, node-guard time-outs, upload
 * packets), on the thread that polls, in posting order.
 *
 * Serial ports are found through the system's list; a port outside it (a
 * pseudo-terminal, say) is offered when its path is in the environment
 * variable KAVREL_SERIAL_PORTS (comma-separated) before the interface is made.
 */
#ifndef KAVREL_H
#define KAVREL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KAVREL_API __attribute__((visibility("default")))

#define KAVREL_S_OK 0
#define KAVREL_S_FALSE 1
#define KAVREL_E_FAIL ((int32_t)0x80004005u)
#define KAVREL_E_INVALIDARG ((int32_t)0x80070057u)
#define KAVREL_E_HANDLE ((int32_t)0x80070006u)

typedef uint32_t kavrel_handle; /* 0 is never a valid handle */

enum kavrel_event_kind {
    KAVREL_EVENT_NONE = 0,
    KAVREL_EVENT_NODE_GUARD_TIMEOUT = 1, /* first: the device's unique id */
    KAVREL_EVENT_SCAN_STEPPED = 2,       /* first: the id tried, second: 1 found, 0 not */
    KAVREL_EVENT_SCAN_FINISHED = 3,
    KAVREL_EVENT_UPLOAD_FINISHED = 4,    /* first: session id, second: the error value (0 = success) */
    KAVREL_EVENT_NEXT_PACKET = 5         /* first: session id, second: the packet about to be fetched */
};

typedef struct kavrel_event {
    int32_t kind;         /* enum kavrel_event_kind */
    kavrel_handle source; /* the interface or device handle that fired it */
    int32_t first;
    int32_t second;
} kavrel_event;

/* The manager (made on first use). */
KAVREL_API int32_t kavrel_version(char* buffer, size_t size);
KAVREL_API int32_t kavrel_set_protocol(const char* protocol_name);
KAVREL_API int32_t kavrel_get_protocol(char* buffer, size_t size);
KAVREL_API int32_t kavrel_protocol_count(int32_t* count);
/* 1-based; outside 1..count the name is empty. */
KAVREL_API int32_t kavrel_protocol_name(int32_t number, char* buffer, size_t size);
KAVREL_API int32_t kavrel_set_data_path(const char* path);
KAVREL_API int32_t kavrel_set_last_settings_path(const char* path);
KAVREL_API int32_t kavrel_error_text_for(int32_t code, char* buffer, size_t size);

/* Interfaces of the selected protocol; network_scan != 0 makes one for scanning. */
KAVREL_API int32_t kavrel_create_interface(int32_t network_scan, kavrel_handle* interface_handle);
/* Releases an interface or a device handle. Releasing an interface stops its
 * workers; releasing a device removes it from its interface. */
KAVREL_API int32_t kavrel_release(kavrel_handle handle);
/* Communication settings by name: "IpAddress", "EthernetPort", "Port" (a
 * hardware interface's name to open, e.g. a serial path), "Baudrate",
 * "Format" (e.g. "E,8,1"), "DeviceAddress", "DontShow", "NodeGuardEnabled",
 * "NodeGuardInterval" (ms), "NodeGuardOnConnect" (0: a connect does not guard
 * the device, for this interface only, nothing stored), "ScanRange" (also
 * stored for later interfaces), "ReplyTimeout" (ms, Modbus TCP). */
KAVREL_API int32_t kavrel_interface_set(kavrel_handle interface_handle, const char* key, const char* value);
/* "communicationParameters", "scanRange", "versionstring", "IpAddress",
 * "EthernetPort", "Port", "Baudrate", "Format", and the protocol's offer:
 * "Baudrates" (comma-separated), "ScanBounds" (e.g. "1-247") and, on a serial
 * line, "Formats" (blank-separated, e.g. "N,8,1 E,8,1"). */
KAVREL_API int32_t kavrel_interface_get(kavrel_handle interface_handle, const char* key, char* buffer, size_t size);

/* Devices: connect (identifies the drive), find, count. An id outside what the
 * protocol can address (e.g. 1-248 for Modbus) is refused before anything is
 * sent, with 0x8004040E and a text naming the bounds. */
KAVREL_API int32_t kavrel_connect(kavrel_handle interface_handle, int32_t unique_id, kavrel_handle* device_handle);
KAVREL_API int32_t kavrel_device_count(kavrel_handle interface_handle, int32_t* count);
/* 1-based over the connected devices, also those a scan connected. */
KAVREL_API int32_t kavrel_device_at(kavrel_handle interface_handle, int32_t index, kavrel_handle* device_handle);
KAVREL_API int32_t kavrel_device_with_id(kavrel_handle interface_handle, int32_t unique_id,
                                         kavrel_handle* device_handle);
KAVREL_API int32_t kavrel_device_id(kavrel_handle device_handle, int32_t* unique_id);
/* "vendorName", "productCode", "deviceVersion", "motorType", "serialNumber",
 * "deviceDate", "familyCode", "originalVendorName", "originalProductCode",
 * "uploadBuffer", "lastErrorString". */
KAVREL_API int32_t kavrel_device_text(kavrel_handle device_handle, const char* field, char* buffer, size_t size);
KAVREL_API int32_t kavrel_read_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                                         int32_t* value);
KAVREL_API int32_t kavrel_write_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                                          int32_t value);
KAVREL_API int32_t kavrel_set_ignore_errors(kavrel_handle device_handle, int32_t ignore);

/* Network scan of the interface's scan range; steps and the end come as events. */
KAVREL_API int32_t kavrel_start_scan(kavrel_handle interface_handle);
KAVREL_API int32_t kavrel_stop_scan(kavrel_handle interface_handle);

/* Node guarding; interval_ms 0 takes the interface's own interval. */
KAVREL_API int32_t kavrel_enable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle,
                                            int32_t interval_ms);
KAVREL_API int32_t kavrel_disable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle);

/* Upload in the background; the data of the whole upload (hex text, every
 * packet in order) is the device text "uploadBuffer", readable at any time. */
KAVREL_API int32_t kavrel_start_upload(kavrel_handle device_handle);
KAVREL_API int32_t kavrel_stop_upload(kavrel_handle device_handle);

/* Waits up to timeout_ms for one event: KAVREL_S_OK with *event filled, or
 * KAVREL_S_FALSE with kind KAVREL_EVENT_NONE when none came. */
KAVREL_API int32_t kavrel_poll_event(int32_t timeout_ms, kavrel_event* event);

/* The last failing call on this thread. */
KAVREL_API int32_t kavrel_last_error_code(void);
KAVREL_API int32_t kavrel_last_error_text(char* buffer, size_t size);

/* Firmware download (flashing) over Modbus TCP and RTU.
 *
 * A flasher holds one flash data file (the image) and its loader (the flash
 * API file, found from the image's header through the protocol's naming
 * rule, or set directly). Every file error comes back from the call that
 * meets it, before anything is sent to a drive. Progress and failures of a
 * download are queued as flash events, read with kavrel_flash_poll_event()
 * from any thread. Release a flasher with kavrel_release(). */
enum kavrel_flash_event_kind {
    KAVREL_FLASH_EVENT_NONE = 0,
    KAVREL_FLASH_EVENT_PROGRESS = 1,  /* reason: 1 major step, 2 minor step, 3 end state changed */
    KAVREL_FLASH_EVENT_EXCEPTION = 2, /* code and text of the failure that ended a download */
    KAVREL_FLASH_EVENT_CHANGE = 3     /* reason: the flasher change code (1 loader set, 2 image set, ...) */
};

typedef struct kavrel_flash_state {
    int32_t flash_state; /* 0..13, the step reached */
    int32_t end_state;   /* 0 not started, 1 running, 2 finished, 3 cancelling, 4 cancelled, 5 failed */
    int32_t major, major_total;
    int32_t minor, minor_total;
    int32_t has_minor_steps;
} kavrel_flash_state;

typedef struct kavrel_flash_event {
    int32_t kind;            /* enum kavrel_flash_event_kind */
    kavrel_handle flasher;
    int32_t reason;
    kavrel_flash_state state; /* a copy taken when the event happened (progress events) */
    int32_t code;            /* exception events: the error code */
    char text[512];          /* exception events: the error text */
} kavrel_flash_event;

KAVREL_API int32_t kavrel_flasher_create(kavrel_handle* flasher);
/* The protocol whose naming rule finds the loader ("ModbusTCP", "ModbusRS485");
 * by default the selected protocol. */
KAVREL_API int32_t kavrel_flasher_set_protocol(kavrel_handle flasher, const char* protocol_name);
/* The folder the loaders lie under. */
KAVREL_API int32_t kavrel_flasher_set_api_path(kavrel_handle flasher, const char* path);
KAVREL_API int32_t kavrel_flasher_set_flash_data(kavrel_handle flasher, const char* file);
KAVREL_API int32_t kavrel_flasher_set_api_data(kavrel_handle flasher, const char* file);
/* Download settings of a protocol: "Baudrate" (the RTU flash rate, default
 * 38400) and "EraseTimeout" (ms, default 60000). */
KAVREL_API int32_t kavrel_flasher_set_option(kavrel_handle flasher, const char* protocol_name, const char* key,
                                            int32_t value);
/* "flashDataFilename", "flashApiFilename", "defaultFlashApiDataFilename",
 * "iconFileName", "contents", "date", "apiEntry", "version", "progVersion". */
KAVREL_API int32_t kavrel_flasher_text(kavrel_handle flasher, const char* field, char* buffer, size_t size);
/* *compatible = 1 when the image fits the drive (its parameter 1.7 is one of
 * the image's components) and a loader is set. */
KAVREL_API int32_t kavrel_flasher_check(kavrel_handle flasher, kavrel_handle device, int32_t* compatible);
/* check_first != 0 checks compatibility first. wait == 0 returns at once and
 * the download runs in the background; otherwise the call returns after it,
 * all its events queued, with 0 on success or the failure's code. */
KAVREL_API int32_t kavrel_flasher_flash(kavrel_handle flasher, kavrel_handle device, int32_t check_first, int32_t wait);
KAVREL_API int32_t kavrel_flasher_cancel(kavrel_handle flasher, kavrel_handle device);
/* The current state of the last download this flasher started. */
KAVREL_API int32_t kavrel_flasher_progress(kavrel_handle flasher, kavrel_flash_state* state);
/* The text of a code this flasher returned or reported, with the bus's own
 * code and text when a write was refused. */
KAVREL_API int32_t kavrel_flasher_error_text(kavrel_handle flasher, int32_t code, char* buffer, size_t size);
/* Waits up to timeout_ms for one flash event: KAVREL_S_OK with *event filled,
 * or KAVREL_S_FALSE with kind KAVREL_FLASH_EVENT_NONE. */
KAVREL_API int32_t kavrel_flash_poll_event(int32_t timeout_ms, kavrel_flash_event* event);

#ifdef __cplusplus
}
#endif

#endif /* KAVREL_H */
