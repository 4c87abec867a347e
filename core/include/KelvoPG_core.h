/*
 * Kelvo programming core: the one public header.
 *
 * Plain functions with C linkage over process-wide state. The core is not
 * re-entrant: one programming operation at a time per process. Texts are
 * zero-terminated byte strings; files are opened relative to the current
 * working directory.
 */
#ifndef KELVOPG_CORE_H
#define KELVOPG_CORE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes shared by the programming operations and both front ends. */
enum kelvo_result {
    KELVO_SUCCESS = 176,
    KELVO_SETTINGS_MISSING = 177,
    KELVO_OFFSET_NOT_SET = 178,
    KELVO_OFFSET_FORMAT = 179,
    KELVO_OFFSET_RANGE = 180,
    KELVO_NO_PING = 181,
    KELVO_CONFIG_REFUSED = 182,
    KELVO_ERASE_FAILED = 183,
    KELVO_TRANSFER_FAILED = 184,
    KELVO_HASH_MISMATCH = 185,
    KELVO_FILE_ERROR = 186,
    /* A value refused before anything was stored (too long, bad row number). */
    KELVO_VALUE_REFUSED = 187,
    /* The operation was stopped by a signal or by kelvo_request_cancel(). */
    KELVO_INTERRUPTED = 188,
    /* Settings that contradict each other (a chip erase with a keep option):
     * refused before any traffic. */
    KELVO_SETTINGS_CONFLICT = 189
};

/* ---- Process set-up, called by each front end before anything else.
 * Puts /dev/null on closed standard streams, so that no file or port opened
 * later receives the program's messages, and ignores SIGPIPE, so that a
 * closed output pipe cannot kill an operation halfway. */
void kelvo_prepare_process(void);

/* ---- Interruption: Ctrl-C, SIGTERM and SIGHUP, or a front end's own stop.
 * kelvo_install_interrupt_handlers() catches SIGINT, SIGTERM and SIGHUP.
 * While a device operation runs, the first signal requests cancellation:
 * a transfer in flight is cancelled on the line, every other wait ends at
 * once, the port is closed the normal way and the operation returns
 * KELVO_INTERRUPTED. Outside a device operation the signal removes the
 * temporary file being written, if any, and ends the process with status
 * 128 + signal. A second signal ends the process at once. */
void kelvo_install_interrupt_handlers(void);
/* An interrupt passed on by a supervising process: like the first of the
 * signals above, but a repeat (the same interrupt also sent to the whole
 * process group) never ends the process at once. Async-signal-safe. */
void kelvo_relayed_interrupt(int sig);
/* Asks the operation in flight to stop. Async-signal-safe; any thread. */
void kelvo_request_cancel(void);
/* Forgets an earlier request (before starting a new operation). */
void kelvo_clear_cancel(void);
/* 1 while a cancellation is pending, else 0. */
int kelvo_cancel_requested(void);
/* The signal that requested the cancellation, 0 when none did. */
int kelvo_interrupt_signal(void);
/* A descriptor that polls readable while a cancellation is pending: every
 * wait of the core polls it beside the line. */
int kelvo_cancel_fd(void);

/* ---- Download settings record, the raw 652 bytes of "record.dat". */
#define KELVO_RECORD_FILE "record.dat"
#define KELVO_DEVICE_LEN 100
#define KELVO_IMAGE_LEN 512
#define KELVO_OFFSET_LEN 16

typedef struct DeviceSetting {
    char device[KELVO_DEVICE_LEN];       /* offset 0 */
    int32_t flash_pin;                   /* offset 100 */
    int32_t baudrate;                    /* offset 104 */
    char image[KELVO_IMAGE_LEN];         /* offset 108 */
    int32_t chip_erase;                  /* offset 620 */
    int32_t hash_verify;                 /* offset 624 */
    int32_t keep_sys_data;               /* offset 628 */
    int32_t keep_wifi_data;              /* offset 632 */
    char flash_offset[KELVO_OFFSET_LEN]; /* offset 636 */
} DeviceSetting;

/* Marker of an unset integer field (baudrate, flash_pin) and of an unknown size. */
#define KELVO_NOT_SET (-255)

/* Fills *out with the default record (every unnamed byte zero). */
void default_device_setting(DeviceSetting *out);
/* Creates "record.dat" with the defaults unless it can already be read. */
void create_device_setting(void);
/* 176, or 186 after "error in opening file : ". A short file is completed
 * from the default record. Text fields come back as stored: one filled to
 * its full width has no NUL, so read them bounded by their size. */
int load_device_setting(DeviceSetting *out);
/* Atomic replacement: 176, or 186 after "error in opening file : <reason>". */
int save_device_setting(const DeviceSetting *in);

/* Setters: one read-modify-write each. 176 stored; 186 the file could not be
 * read or written (nothing written); 187 the value was refused (too long). */
int addDevice(const char *text);
int setBaudRate(const char *text);
int setImgPath(const char *text);
int setChipErase(const char *text);
int setHashVerify(const char *text);
int setKeepSysData(const char *text);
int setKeepWifiData(const char *text);
int setFlashOffset(const char *text);

/* Printouts on standard output; 176, or 186 when the file cannot be read
 * (then nothing but the error line is printed). */
int ShowDevice(void);
int ShowSetting(void);

/* ---- Flash layout map, the raw 6160 bytes of "generate.dat". */
#define KELVO_GENERATE_FILE "generate.dat"
#define KELVO_MAP_ROWS 10
#define KELVO_MAP_PATH_LEN 512
#define KELVO_MAP_OFFSET_LEN 100

typedef struct GenerateParam {
    int32_t number;                    /* row offset 0 */
    char path[KELVO_MAP_PATH_LEN];     /* row offset 4 */
    char offset[KELVO_MAP_OFFSET_LEN]; /* row offset 516 */
} GenerateParam;

extern GenerateParam gen_param_array[KELVO_MAP_ROWS];

void create_generate_setting(void);
int load_generate_setting(GenerateParam *map);
int save_generate_setting(const GenerateParam *map);
/* 176; 186 file failure; 187 refused (row not 1..10, text too long). */
int setBinPathOffset(const char *number, const char *path, const char *offset);
int ShowGenerateMap(void);

/* ---- Serial device discovery. */
/* Lists ttyUSB and ttyACM entries of /sys/class/tty/. 176, or 186 when the
 * directory cannot be listed. */
int getComList(void);
/* The same over any directory (tests point it at a fabricated one). */
int getComListIn(const char *sysfs_dir);

/* ---- Flash image composer: "flash.bin" from the layout map. */
/* 176 when "flash.bin" was written, 186 on any failure (old file kept). */
int Generate(void);
int CheckFileExist(const char *path);
int32_t CheckFileLength(const char *path);

/* ---- Diagnostic output (verbosity filter; prefixes by level). */
void infohelper_output(int32_t level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int32_t infohelper_output_plain(int32_t level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void infohelper_set_infolevel(int32_t level);
int32_t infohelper_get_infolevel(void);
int32_t infohelper_increase_infolevel(void);
void infohelper_set_argverbosity(int argc, char **argv);
/* A progress display that overwrites its own line (no newline, shown at
 * every level). A diagnostic printed while that line is open starts on a
 * line of its own. */
void infohelper_output_progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* Ends the progress display: 1 when a diagnostic has already ended its
 * line since the display began, else 0. */
int32_t infohelper_end_progress(void);
/* Also hands every diagnostic line that passes the verbosity filter (with
 * its prefix, without the newline) to hook, on the thread that printed it;
 * standard output gets the line as before. A null hook stops that. */
typedef void (*infohelper_line_hook)(int32_t level, const char *line, void *context);
void infohelper_set_line_hook(infohelper_line_hook hook, void *context);

/* ---- SHA-256 (FIPS 180-4). */
typedef struct sha256_context {
    uint8_t block[64];
    uint32_t fill;
    uint64_t bit_count;
    uint32_t state[8];
} sha256_context;

void sha256_init(sha256_context *ctx);
void sha256_update(sha256_context *ctx, const uint8_t *data, uint64_t len);
void sha256_final(sha256_context *ctx, uint8_t digest[32]);
void sha256_transform(sha256_context *ctx, const uint8_t block[64]);
/* The digest as 64 lower-case hexadecimal digits and a terminating zero. */
void sha256_final_hex(sha256_context *ctx, char hex[65]);

/* ---- Reply framing of the boot loader's command exchanges.
 * By default each reply gets its full read window (and the fixed pause
 * before it, where there is one). Quick replies end a reply once bytes
 * have come and the line has then stayed silent for the quiet gap
 * (serialport_quiet_gap_ms), within the same upper bound; before each
 * command the input received so far is dropped. On when set here, else
 * when the environment has KELVO_QUICK_REPLIES=1. */
void kelvo_set_quick_replies(int on);
/* 1 when quick replies are in force, else 0. */
int kelvo_quick_replies(void);

/* ---- Serial port: the one process-wide UART line. */
/* Time bound of serialport_block_read, in milliseconds. */
#define KELVO_BLOCK_READ_TIMEOUT_MS 120000u

/* The descriptor on success, 0 on failure (reason printed at level 0). */
int32_t serialport_open(const char *device, uint32_t rate);
/* 1 when a port was open and is now closed, else 0. */
int32_t serialport_close(void);
void serialport_set_baudrate(uint32_t rate);
void serialport_set_timeout(uint32_t ms);
uint32_t serialport_get_timeout(void);
/* Bound of serialport_block_read (default KELVO_BLOCK_READ_TIMEOUT_MS). */
void serialport_set_block_timeout(uint32_t ms);
/* Timed read: bytes stored (raw, no terminator); ends early on hang-up. */
int32_t serialport_read(uint8_t *buf, uint32_t len);
/* Waits for a chunk beginning with 'O'; buf holds >= 101 bytes and ends up
 * holding the last chunk, zero-terminated. 1 when such a chunk came; 0 on
 * time-out, read failure or hang-up. */
int32_t serialport_block_read(char *buf, int32_t min_chunk);
/* As serialport_block_read with its bound extended by extra_ms; with a
 * quiet_ms above 0 a chunk also takes what follows its minimum until the
 * line has been silent for quiet_ms. */
int32_t serialport_block_read_framed(char *buf, int32_t min_chunk, uint32_t extra_ms,
                                     uint32_t quiet_ms);
/* A reply framed by silence: waits up to window_ms for its first byte, then
 * takes bytes until the line has been silent for quiet_ms, len bytes have
 * come or the window ends. Bytes stored (raw, no terminator). */
int32_t serialport_read_framed(uint8_t *buf, uint32_t len, uint32_t window_ms, uint32_t quiet_ms);
/* Drops the input received so far, without waiting; the bytes dropped. */
uint32_t serialport_discard_input(void);
/* Puts one byte back in front of the input, for the next read to take. */
void serialport_put_back(uint8_t byte);
/* The quiet gap that ends a reply on the open line: several times the
 * adapter's latency timer where the kernel shows one, a number of
 * character times at the line's rate, at least a floor, and at least
 * KELVO_QUICK_GAP_MS from the environment (capped at 1000). */
uint32_t serialport_quiet_gap_ms(void);
int32_t serialport_write(const uint8_t *buf, uint32_t len);
void serialport_flush(void);
void serialport_drain(void);
/* Milliseconds that len bytes take on the open line at its rate (ten bits a
 * byte), rounded up; 0 when no port is open. */
uint32_t serialport_wire_time_ms(uint32_t len);
void serialport_set_dtr(bool on);
void serialport_set_rts(bool on);
int32_t serialport_send_break(void);

/* Other processes that have the device open too (a serial monitor, a
 * modem manager, a forgotten "cat"): one line per process, such as
 * "/dev/ttyUSB2 is also open in process 1234 (minicom)", each ending in a
 * newline, written into buf (always zero-terminated, cut short when it is
 * too small). The calling process, and for a pseudo-terminal the process
 * holding its other side, are not counted. Returns the number of processes
 * found, 0 when the path is no character device. Only processes whose
 * descriptors this process may read are seen. */
int kelvo_describe_port_holders(const char *device, char *buf, size_t size);
/* The name of the program running as the process of pid_dir ("/proc/1234"):
 * the base name of its command line's first word, else of its executable,
 * else the kernel's 15-character name, else "?". Written into buf (always
 * zero-terminated, cut short when too small); returns the name's length. */
size_t kelvo_process_name(const char *pid_dir, char *buf, size_t size);

/* SLIP framing on the same port. */
int32_t serialport_send_slip(const uint8_t *data, uint32_t n);
int32_t serialport_send_slip_static(const uint8_t *data, uint32_t n);
int32_t serialport_receive_slip(uint8_t *buf, int32_t n);
int32_t serialport_send_C0(void);
int32_t serialport_receive_C0(void);

/* ---- XModem (1024-byte blocks) and its CRC. */
/* Negative results besides the peer's: -6 when this side was cancelled
 * (kelvo_request_cancel); the cancel bytes have then been sent. */
#define KELVO_XMODEM_CANCELLED_HERE (-6)
/* The receiver cancelled the transfer (two CAN bytes). */
#define KELVO_XMODEM_CANCELLED_BY_RECEIVER (-1)
int32_t xmodemTransmit(const uint8_t *src, int32_t srcsz);
int32_t xmodemReceive(uint8_t *dest, int32_t destsz);
/* Bytes of the current transfer still to send (atomic read). */
int32_t checkremaining_bytes(void);
/* Bytes of the current (or last) transfer the receiver acknowledged, also
 * after it failed (atomic read). */
int32_t xmodem_acknowledged_bytes(void);
uint16_t crc16_ccitt(const void *buf, int32_t len);
/* Byte adapters of the XModem module onto the serial port. */
int32_t _inbyte(int32_t timeout_ms);
void _outbyte(int32_t c);
/* A whole block in one write (continued until all of it is out, within the
 * serial layer's bound). Returns once the block has left the line: drained,
 * and no sooner than its wire time after the write began. 1, or 0 when a
 * cancellation cut that wait short. */
int32_t _outblock(const uint8_t *bytes, int32_t len);

/* ---- Device programming over the boot loader. */
/* What the operation in flight is doing, for displays that watch it from
 * another thread (the production-line program, the desktop window). */
enum kelvo_phase {
    KELVO_PHASE_IDLE = 0,
    KELVO_PHASE_CONNECTING,
    KELVO_PHASE_ERASING,
    KELVO_PHASE_WRITING,
    KELVO_PHASE_VERIFYING
};
int kelvo_current_phase(void);
/* Byte count of the XModem transfer in flight (0 before the first). */
int64_t kelvo_transfer_size(void);
/* Progress of an image download over all its writes (a download that keeps
 * system or Wi-Fi data writes several regions): the bytes that all its
 * writes send go to *total (when total is not null), and the result is how
 * many of them the chip has acknowledged. Both are 0 while no download is
 * writing, before its first write and after its end alike. */
int64_t kelvo_download_progress(int64_t *total);

int32_t eraseChip(void);
int32_t eraseChipSector(const char *offset, const char *length);
/* Reads "record.dat", checks it, reads the image it names and writes it:
 * the checks below, then kelvo_download_image_data. */
int32_t xmodem_download_image(void);
/* Reads "record.dat" as a download does: 176, or 177 after "Device setting
 * not done" and "Please set Device, baudrate & flash_pin". */
int kelvo_load_download_settings(DeviceSetting *rec);
/* The checks a download makes on its record before any traffic: device,
 * baud rate and flash pin (177), flash offset (178..180), a chip erase
 * together with a keep option (189). 176, or the code after the messages.
 * Terminates the record's text fields. */
int kelvo_check_download_settings(DeviceSetting *rec);
/* The same, and the writes planned for an image of image_size bytes (179
 * when a kept region would be overwritten). */
int kelvo_check_download_plan(const DeviceSetting *rec, int64_t image_size);
/* Reads a whole image file: 176 with *bytes from malloc (the caller frees
 * it), or 186 after "Cannot read image file <path>: <reason>". */
int kelvo_read_image_file(const char *path, uint8_t **bytes, int64_t *size);
/* The download of an image already in memory with a record already in
 * memory (its device names the port; "record.dat" is not read): the same
 * checks, messages and results as xmodem_download_image from the connect
 * sequence on. */
int32_t kelvo_download_image_data(const DeviceSetting *rec, const uint8_t *bytes, int64_t size);
int32_t kelvo_xmodem_write(const uint8_t *data, int64_t size, int flash_pin, const char *offset,
                           int hash_verify);

#ifdef __cplusplus
}
#endif

#endif /* KELVOPG_CORE_H */
