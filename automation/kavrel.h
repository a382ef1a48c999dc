/* kavrel.h - the C interface of libkavrel.so: motor drives on fieldbuses
 * (Modbus RTU/TCP, Vorlane RS485, CANopen, DeviceNet) for hosts in C and in
 * languages that load C libraries (a Python package "kavrel" ships beside it).
 *
 * Build a host:  cc host.c $(pkg-config --cflags --libs kavrel)
 * or in CMake:   find_package(Kavrel)  target_link_libraries(host Kavrel::kavrel)
 *
 * Worked example: a session with drive 1 over Modbus TCP. Against the
 * simulator, start "kavrel-drive-sim --tcp 127.0.0.1:0 --ids 1,2", read the
 * port from its first line "tcp 127.0.0.1:PORT", run "./example 127.0.0.1 PORT".
 *
 * EXAMPLE BEGIN
 * #include <kavrel/kavrel.h>
 * #include <stdio.h>
 * #include <stdlib.h>
 *
 * static void check(int32_t result, const char* what)
 * {
 *     char text[512];
 *     if (result >= 0) return;
 *     kavrel_last_error_text(text, sizeof text);
 *     fprintf(stderr, "%s: 0x%08X %s\n", what, (unsigned)result, text);
 *     exit(1);
 * }
 *
 * int main(int argc, char** argv)
 * {
 *     kavrel_handle bus, drive;
 *     kavrel_event event;
 *     int32_t value;
 *     char vendor[64];
 *     unsigned char data[4096];
 *     size_t length = 0;
 *
 *     check(kavrel_set_data_path("."), "data path");  // settings go to ./xml/
 *     check(kavrel_set_protocol("ModbusTCP"), "protocol");
 *     check(kavrel_create_interface(0, &bus), "interface");
 *     check(kavrel_interface_set(bus, "IpAddress", argc > 1 ? argv[1] : "127.0.0.1"), "address");
 *     check(kavrel_interface_set(bus, "EthernetPort", argc > 2 ? argv[2] : "502"), "port");
 *     check(kavrel_interface_set(bus, "DontShow", "1"), "no dialog");
 *     check(kavrel_interface_set(bus, "NodeGuardOnConnect", "0"), "guard when asked");
 *
 *     check(kavrel_connect(bus, 1, &drive), "connect");  // identifies the drive
 *     check(kavrel_device_text(drive, "vendorName", vendor, sizeof vendor), "vendor");
 *     check(kavrel_read_parameter(drive, 2, 1, 1, &value), "read 1.1");
 *     printf("drive 1: %s, 1.1 = %d\n", vendor, value);
 *     check(kavrel_write_parameter(drive, 4, 2, 0, 1234), "write 2.0");
 *
 *     check(kavrel_interface_set(bus, "ScanRange", "1-3"), "range");
 *     check(kavrel_start_scan(bus), "scan");
 *     while (kavrel_poll_event(10000, &event) == KAVREL_S_OK && event.kind != KAVREL_EVENT_SCAN_FINISHED)
 *         if (event.kind == KAVREL_EVENT_SCAN_STEPPED)
 *             printf("id %d: %s\n", event.first, event.second ? "found" : "none");
 *
 *     check(kavrel_interface_set(bus, "NodeGuardEnabled", "1"), "guarding on");
 *     check(kavrel_enable_node_guard(bus, drive, 500), "guard");
 *
 *     check(kavrel_start_upload(drive), "upload");
 *     while (kavrel_poll_event(10000, &event) == KAVREL_S_OK)
 *         if (event.kind == KAVREL_EVENT_UPLOAD_FINISHED && event.source == drive) break;
 *     check(event.kind == KAVREL_EVENT_UPLOAD_FINISHED && event.second == 0 ? 0 : -1, "upload end");
 *     check(kavrel_upload_data(drive, data, sizeof data, &length), "upload data");
 *     printf("uploaded %zu bytes\n", length);
 *
 *     check(kavrel_release(drive), "release drive");  // devices first, then their interface
 *     check(kavrel_release(bus), "release interface");
 *     return 0;
 * }
 * EXAMPLE END
 *
 * RESULTS. Every call returns a 32-bit result code: negative (0x8xxxxxxx)
 * for failure, 0 (KAVREL_S_OK) for success, and a positive value where a
 * call says so (KAVREL_S_FALSE: nothing to deliver; a text call: the buffer
 * size it needed). Test failure with "result < 0". After a failure,
 * kavrel_last_error_code() and kavrel_last_error_text() on the same thread
 * give the code and a text naming what failed and why ("reading 99.99 on
 * drive 2: ...", "connecting 127.0.0.1:1, drive 1: ..."); the next call on
 * that thread replaces them. kavrel_error_text_for() gives the general text
 * of any code. Codes: KAVREL_E_* below, 0x800402xx..0x80040Axx from the
 * library's blocks (manager, interfaces, devices, Modbus, log, XML), the
 * serial (0x800411xx) and Ethernet (0x800412xx) adapters and firmware download
 * (0x80040F00..0x80040F21); every call below lists the ones it gives itself.
 * All calls give KAVREL_E_INVALIDARG for a null pointer argument and
 * KAVREL_E_HANDLE for a handle that is not (or no longer) what the call needs.
 *
 * TEXTS are UTF-8. A call that fills a caller's buffer (char* buffer,
 * size_t size) copies the text with its terminating NUL and returns
 * KAVREL_S_OK. Called with buffer NULL and size 0 it returns the size
 * needed (text bytes + 1, > 0) and copies nothing; with a buffer too small it
 * copies what fits, terminates it and returns the size needed as well. So
 * "r = f(..., NULL, 0); buf = malloc(r); f(..., buf, r)" always gets it all.
 *
 * HANDLES are numbers, never pointers: a released or unknown handle is
 * refused with KAVREL_E_HANDLE, never a crash. An interface handle lives
 * until kavrel_release(); a device handle until kavrel_release() on it. A
 * device handle whose interface was released is refused (its bus is gone):
 * release devices first. The same device always has the same handle (a
 * device found by kavrel_device_at() after a scan included). Nothing is
 * released at process end for the host; it may simply exit.
 *
 * THREADS. Calls may come from any thread; each device serialises its own
 * parameter accesses, and each bus serialises its telegrams, so two threads
 * on one device take turns. The last-error pair is per thread. Background
 * work (scan, node guarding, upload) runs on the library's own threads;
 * their events are queued and delivered only by kavrel_poll_event(), on the
 * thread that polls, in the order they happened. A host that never polls
 * gets no callbacks at all; the queue is shared by every object.
 *
 * CONNECTION RULES. kavrel_connect() opens the bus when it is not open yet,
 * identifies the drive, stores the interface's settings in the settings file
 * and, unless "NodeGuardOnConnect" is 0, puts the drive under node guarding
 * when guarding is switched on for the interface ("NodeGuardEnabled").
 * A failed read or write disconnects the device (its handle then fails with
 * its own code) unless kavrel_set_ignore_errors(device, 1) was called. A
 * node-guard time-out removes the device from its interface as well (event
 * KAVREL_EVENT_NODE_GUARD_TIMEOUT). To reconnect: kavrel_release() the old
 * device handle, then kavrel_connect() again. The bus closes when its last
 * device is released.
 *
 * SETTINGS. The connection settings of each protocol are kept in an XML file
 * "xml/LastSettings_<key>.xml" below the data path (or the settings path),
 * read when an interface is made and written after a connect. A C or Python
 * host's key is its program name, so it never shares the command-line
 * tool's "LastSettings.xml" unless it asks with kavrel_set_settings_file_key("").
 * Until a data path is set nothing is read or written.
 *
 * SERIAL PORTS are found through the system's list; a port outside it (a
 * pseudo-terminal, say) is offered when its path is in the environment
 * variable KAVREL_SERIAL_PORTS (comma-separated) before the interface is made.
 * KAVREL_DEBUG set in the environment copies the library's log to stderr.
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
#define KAVREL_E_FAIL ((int32_t)0x80004005u)          /* index out of range, negative check, dialog not confirmed */
#define KAVREL_E_INVALIDARG ((int32_t)0x80070057u)    /* null, malformed or out-of-range argument */
#define KAVREL_E_HANDLE ((int32_t)0x80070006u)        /* released, unknown, or wrong kind of handle */
#define KAVREL_E_OUTOFMEMORY ((int32_t)0x8007000Eu)
#define KAVREL_E_NO_PROTOCOL ((int32_t)0x80040701u)   /* no protocol selected */
#define KAVREL_E_NO_INTERFACE ((int32_t)0x80040702u)  /* the protocol's interface could not be made */
#define KAVREL_E_CONNECT ((int32_t)0x80040303u)       /* connecting the device failed */
#define KAVREL_E_NO_DEVICE ((int32_t)0x80040304u)     /* no device with that id is connected */
#define KAVREL_E_OPEN_BUS ((int32_t)0x80040404u)      /* the bus could not be opened */
#define KAVREL_E_GUARDED ((int32_t)0x80040406u)       /* node guarding already active for the device */
#define KAVREL_E_NOT_HERE ((int32_t)0x80040407u)      /* the device is not connected through this interface */
#define KAVREL_E_ID_TAKEN ((int32_t)0x80040408u)      /* a device with that id is already connected */
#define KAVREL_E_GUARD_OFF ((int32_t)0x80040409u)     /* node guarding switched off for the interface */
#define KAVREL_E_SCANNING ((int32_t)0x8004040Bu)      /* a network scan is still running */
#define KAVREL_E_NOT_SCANNING ((int32_t)0x8004040Cu)  /* no network scan is running */
#define KAVREL_E_ID_BOUNDS ((int32_t)0x8004040Eu)     /* id outside what the protocol can address */
#define KAVREL_E_READ ((int32_t)0x80040501u)          /* reading the parameter failed */
#define KAVREL_E_WRITE ((int32_t)0x80040502u)         /* writing the parameter failed */
#define KAVREL_E_UPLOAD_START ((int32_t)0x80040503u)
#define KAVREL_E_UPLOAD_STOP ((int32_t)0x80040504u)

typedef uint32_t kavrel_handle; /* 0 is never a valid handle */

enum kavrel_event_kind {
    KAVREL_EVENT_NONE = 0,
    KAVREL_EVENT_NODE_GUARD_TIMEOUT = 1, /* source: interface; first: the device's id (the device is dropped) */
    KAVREL_EVENT_SCAN_STEPPED = 2,       /* source: interface; first: the id tried, second: 1 found, 0 not */
    KAVREL_EVENT_SCAN_FINISHED = 3,      /* source: interface; after the last step or a stop */
    KAVREL_EVENT_UPLOAD_FINISHED = 4,    /* source: device; first: session id, second: 0 or the failure's result code */
    KAVREL_EVENT_NEXT_PACKET = 5         /* source: device; first: session id, second: the packet about to be fetched */
};

typedef struct kavrel_event {
    int32_t kind;         /* enum kavrel_event_kind */
    kavrel_handle source; /* the interface or device handle that fired it */
    int32_t first;
    int32_t second;
} kavrel_event;

/* ---- The manager: one per process, made on first use. -------------------- */

/* The library's version text, e.g. "1.0.0.0 Build: 6570". */
KAVREL_API int32_t kavrel_version(char* buffer, size_t size);
/* Selects the protocol later interfaces are made for, by its exact name
 * ("ModbusTCP", "ModbusRS485", "VorlaneRS485", "CanOpen_QTA", "CanOpen_KVX",
 * "DeviceNetCan"). KAVREL_E_INVALIDARG for any other name (the selection is
 * then empty). Interfaces already made keep their protocol. */
KAVREL_API int32_t kavrel_set_protocol(const char* protocol_name);
/* The selected protocol ("" when none). */
KAVREL_API int32_t kavrel_get_protocol(char* buffer, size_t size);
/* The number of protocols this library can make interfaces for. */
KAVREL_API int32_t kavrel_protocol_count(int32_t* count);
/* Their names, number 1..count; outside that the name is "" (and KAVREL_S_OK). */
KAVREL_API int32_t kavrel_protocol_name(int32_t number, char* buffer, size_t size);
/* The folder for the host's data: settings ("xml/" below it is made) and
 * log files. It must exist and be writable, else KAVREL_E_INVALIDARG with a
 * text naming the path and the reason. Reopens the settings file there. */
KAVREL_API int32_t kavrel_set_data_path(const char* path);
/* A folder for the settings file other than the data path; same rules. */
KAVREL_API int32_t kavrel_set_last_settings_path(const char* path);
/* Chooses the settings file "LastSettings_<key>.xml" ("" = "LastSettings.xml",
 * the command-line tool's). The default key is the program's name. A key
 * with "/" or "\" gives KAVREL_E_INVALIDARG. Takes effect at once. */
KAVREL_API int32_t kavrel_set_settings_file_key(const char* key);
/* The full name of the settings file in use ("" until a data path is set). */
KAVREL_API int32_t kavrel_get_settings_file(char* buffer, size_t size);
/* The text of any result code, success included; a code the library never
 * gives has a text saying so. */
KAVREL_API int32_t kavrel_error_text_for(int32_t code, char* buffer, size_t size);

/* ---- Interfaces: one bus connection each. -------------------------------- */

/* Makes an interface for the selected protocol; network_scan != 0 makes one
 * meant for scanning (its settings are stored apart; a protocol without a
 * scanning kind, ModbusTCP, gets its ordinary interface, which scans too).
 * Its settings start from the settings file. Errors: KAVREL_E_NO_PROTOCOL,
 * KAVREL_E_NO_INTERFACE. Nothing is opened yet. */
KAVREL_API int32_t kavrel_create_interface(int32_t network_scan, kavrel_handle* interface_handle);
/* Releases an interface, a device or a flasher handle. An interface stops
 * its scan and node guarding first (joins its threads, so this may take up
 * to a telegram's time-out); a device leaves its interface, which closes the
 * bus after its last device. The handle is invalid afterwards. */
KAVREL_API int32_t kavrel_release(kavrel_handle handle);
/* Sets one connection setting by name (values are texts):
 *   "IpAddress" (dotted IPv4), "EthernetPort" (1-65535), "ReplyTimeout" (ms > 0)  Modbus TCP
 *   "Port" (a hardware interface's name to open, e.g. "/dev/ttyUSB0"), "Baudrate",
 *   "Format" ("E,8,1": parity N/E/O, data bits, stop bits)                        serial buses
 *   "DeviceAddress" (the id kavrel_connect uses with id 0), "DontShow" (1: never
 *   show the connection dialog), "NodeGuardEnabled" (0/1, stored),
 *   "NodeGuardInterval" (ms > 0), "NodeGuardOnConnect" (0: a connect does not
 *   guard the device; this interface only, not stored), "ScanRange" ("1-5,9",
 *   within "ScanBounds"; also stored for later interfaces).
 * A value the interface cannot take gives KAVREL_E_INVALIDARG naming key and
 * value; a key this protocol has not, KAVREL_E_INVALIDARG naming the keys it has.
 * Settings apply to the next connect; a bus already open keeps its own. */
KAVREL_API int32_t kavrel_interface_set(kavrel_handle interface_handle, const char* key, const char* value);
/* Reads a setting back: every key kavrel_interface_set takes except
 * "NodeGuardOnConnect" and "ScanRange" ("scanRange" here), plus
 * "communicationParameters" (all as one text), "versionstring" (of the
 * hardware), and the protocol's offer: "Baudrates" (comma-separated),
 * "ScanBounds" (e.g. "1-247") and, on a serial line, "Formats" (e.g. "N,8,1 E,8,1"). */
KAVREL_API int32_t kavrel_interface_get(kavrel_handle interface_handle, const char* key, char* buffer, size_t size);

/* ---- Devices. ------------------------------------------------------------- */

/* Connects the drive with that bus id (0: the "DeviceAddress" setting) and
 * reads its identification; see CONNECTION RULES. Takes up to the reply
 * time-out per identification telegram when the drive is silent. Errors:
 * KAVREL_E_ID_BOUNDS (text names the bounds), KAVREL_E_ID_TAKEN,
 * KAVREL_E_CONNECT / 0x800404xx with a text "connecting WHERE, drive N: what the bus said". */
KAVREL_API int32_t kavrel_connect(kavrel_handle interface_handle, int32_t unique_id, kavrel_handle* device_handle);
/* The number of devices connected through the interface (a scan's included;
 * a device dropped by node guarding or a failed access is not counted). */
KAVREL_API int32_t kavrel_device_count(kavrel_handle interface_handle, int32_t* count);
/* The device at place 1..count; KAVREL_E_FAIL outside. */
KAVREL_API int32_t kavrel_device_at(kavrel_handle interface_handle, int32_t index, kavrel_handle* device_handle);
/* The connected device with that id; KAVREL_E_NO_DEVICE when none. */
KAVREL_API int32_t kavrel_device_with_id(kavrel_handle interface_handle, int32_t unique_id,
                                         kavrel_handle* device_handle);
KAVREL_API int32_t kavrel_device_id(kavrel_handle device_handle, int32_t* unique_id);
/* Identification and state texts, read at connect: "vendorName",
 * "productCode" (both translated through the identification tables),
 * "originalVendorName", "originalProductCode" (as the drive said),
 * "deviceVersion", "motorType", "serialNumber", "deviceDate", "familyCode",
 * "lastErrorString" (the device's last failure), "uploadBuffer" (the upload
 * as hex text). An unknown field gives KAVREL_E_INVALIDARG. */
KAVREL_API int32_t kavrel_device_text(kavrel_handle device_handle, const char* field, char* buffer, size_t size);
/* Reads parameter index.subindex (0..65535 each) of size 1, 2 or 4 bytes;
 * *value gets it in its low size bytes. Errors: KAVREL_E_INVALIDARG (size or index out of
 * range), KAVREL_E_READ with "reading I.S on drive N: what the drive said".
 * Blocks for the exchange, at most the reply time-out per telegram. */
KAVREL_API int32_t kavrel_read_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                                         int32_t* value);
/* Writes value (its low size bytes) to index.subindex. Errors as reading,
 * with KAVREL_E_WRITE and "writing I.S = V on drive N: ...". */
KAVREL_API int32_t kavrel_write_parameter(kavrel_handle device_handle, int32_t size, int32_t index, int32_t subindex,
                                          int32_t value);
/* ignore != 0: a failed access leaves the device connected. */
KAVREL_API int32_t kavrel_set_ignore_errors(kavrel_handle device_handle, int32_t ignore);

/* ---- Network scan: connects every id of the interface's "ScanRange". ---- */

/* Starts the scan on the library's thread; returns at once. For each id it
 * posts KAVREL_EVENT_SCAN_STEPPED (found or not; found drives are connected
 * and counted by kavrel_device_count; an id already connected through this
 * interface steps as not found), then KAVREL_EVENT_SCAN_FINISHED.
 * KAVREL_E_SCANNING when one runs already. */
KAVREL_API int32_t kavrel_start_scan(kavrel_handle interface_handle);
/* Stops it after the id in hand (waits for it); KAVREL_E_NOT_SCANNING when none runs. */
KAVREL_API int32_t kavrel_stop_scan(kavrel_handle interface_handle);

/* ---- Node guarding: the interface reads a parameter of each guarded device
 * every interval; one that does not answer is dropped and reported by
 * KAVREL_EVENT_NODE_GUARD_TIMEOUT. ---- */

/* Guards the device (interval_ms 0: the interface's "NodeGuardInterval").
 * Errors: KAVREL_E_GUARD_OFF (the text says how to switch it on:
 * "NodeGuardEnabled" = "1"), KAVREL_E_GUARDED, KAVREL_E_NOT_HERE. */
KAVREL_API int32_t kavrel_enable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle,
                                            int32_t interval_ms);
KAVREL_API int32_t kavrel_disable_node_guard(kavrel_handle interface_handle, kavrel_handle device_handle);

/* ---- Upload: a block of data from the drive, in the background. ---- */

/* Starts it (KAVREL_E_UPLOAD_START when it cannot); the device posts
 * KAVREL_EVENT_NEXT_PACKET per packet and KAVREL_EVENT_UPLOAD_FINISHED at the end. */
KAVREL_API int32_t kavrel_start_upload(kavrel_handle device_handle);
KAVREL_API int32_t kavrel_stop_upload(kavrel_handle device_handle);
/* The upload's data as bytes: *length gets its whole length; up to size
 * bytes are copied to buffer (buffer NULL and size 0 only asks the length).
 * KAVREL_S_OK when it all fitted, KAVREL_S_FALSE when it was cut. */
KAVREL_API int32_t kavrel_upload_data(kavrel_handle device_handle, void* buffer, size_t size, size_t* length);

/* ---- Events. ---- */

/* Waits up to timeout_ms (0: only what is queued) for one event: KAVREL_S_OK
 * with *event filled, or KAVREL_S_FALSE with kind KAVREL_EVENT_NONE when none
 * came. Delivers on the calling thread; events of every object share one queue. */
KAVREL_API int32_t kavrel_poll_event(int32_t timeout_ms, kavrel_event* event);

/* The last failure on this thread: its code (0 after success) and text. */
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
