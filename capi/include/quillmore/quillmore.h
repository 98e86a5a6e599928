/*
 * QuillmoreParser's C interface: an incremental decoder for the serial byte
 * stream of the EEG headset, for C and for any language that can call C
 * (ctypes, cffi, P/Invoke, Rust or Go FFI).
 *
 * Create a parser with a struct of callbacks, then feed it the bytes read
 * from the headset in chunks of any size, split anywhere:
 *
 *     static int on_eeg(void* user, const quillmore_eeg* r) {
 *         printf("attention %u\n", (unsigned)r->attention);
 *         return 0;                              (0: go on)
 *     }
 *     quillmore_settings settings = {0};
 *     settings.on_eeg = on_eeg;
 *     quillmore_parser* p = quillmore_parser_new(&settings, NULL);
 *     size_t consumed;
 *     quillmore_parse(p, buf, n, &consumed);      (for every chunk read)
 *     quillmore_parser_free(p);
 *
 * The parser finds the frames, checks their checksums and calls the matching
 * callback once per decoded frame, synchronously, in stream order.  Damaged
 * frames are dropped without notice; a frame split across calls decodes as
 * if it came whole.
 *
 * Callbacks.  Each callback gets the `user` pointer given to
 * quillmore_parser_new() and returns 0 to go on, or non-zero to make the
 * quillmore_parse() call that delivered the frame (the innermost one, when
 * calls nest) return QUILLMORE_CALLBACK_STOPPED right after the frame's last
 * byte, even if no byte follows it.  Nothing is lost then: the frame was
 * delivered, and the caller may feed the bytes after `consumed` whenever it
 * likes.  A
 * NULL callback is skipped (the frame is still decoded).  A record passed by
 * pointer is valid during the call only; copy it to keep it.  A callback
 * may call quillmore_parse() again, on this parser or another (the outer
 * call then goes on from the state the inner call left), and may create
 * parsers; it must not free a parser whose quillmore_parse() is running.
 *
 * Settings.  quillmore_parser_new() copies the settings struct: it may be a
 * temporary, and changing it later does not affect the parser.
 *
 * Threads.  The library starts no threads and has no global state.  A
 * parser must not be used from two threads at a time; different parsers may
 * be used from different threads freely.  Callbacks run on the thread that
 * called quillmore_parse().
 *
 * Linking.  Shared library: libquillmore.so, libquillmore.dylib or
 * quillmore.dll.  To link the static library on Windows, define
 * QUILLMORE_STATIC before including this header (CMake's
 * QuillmoreParser::c_static target does it); a C program linking it
 * statically must link the C++ runtime too (pkg-config --static does).
 */
#ifndef QUILLMORE_QUILLMORE_H
#define QUILLMORE_QUILLMORE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(QUILLMORE_BUILDING_SHARED)
#    define QUILLMORE_API __declspec(dllexport)
#  elif defined(QUILLMORE_STATIC)
#    define QUILLMORE_API
#  else
#    define QUILLMORE_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#  define QUILLMORE_API __attribute__((visibility("default")))
#else
#  define QUILLMORE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What quillmore_parse() returns. */
#define QUILLMORE_OK 0                 /* every byte was consumed */
#define QUILLMORE_CALLBACK_STOPPED 1   /* a callback returned non-zero */
#define QUILLMORE_INDEX_OUT_OF_RANGE 2 /* a frame reached outside the payload buffer (not expected: the parser's
                                          own buffer is large enough for every frame it keeps) */
#define QUILLMORE_INVALID_ARGUMENT 3   /* parser NULL, or data NULL with size > 0; nothing was consumed */

/* How an extended frame reported its temperature (quillmore_extend's
 * temperature_status), named as everywhere else in the library: measured, no
 * reading, no row.  The values are this interface's own since 0.2.0 and stay
 * so for programs built against it; they are not the 0, 1, 2 of the Python
 * arrays and files. */
#define QUILLMORE_TEMPERATURE_MEASURED 1   /* temperature holds the reading, in degrees */
#define QUILLMORE_TEMPERATURE_NO_READING 2 /* the sensor sent 255 ("no reading"); temperature is 0.0 */
#define QUILLMORE_TEMPERATURE_NO_ROW 0     /* the frame had no row 0x08; temperature is 0.0 */
/* The names of 0.2.0, for source that uses them. */
#define QUILLMORE_TEMPERATURE_ABSENT QUILLMORE_TEMPERATURE_NO_ROW
#define QUILLMORE_TEMPERATURE_SENSOR_UNAVAILABLE QUILLMORE_TEMPERATURE_NO_READING

typedef struct quillmore_parser quillmore_parser;

/* One standard EEG frame.  signal, attention and meditation are 0..255; the
 * eight band powers are 24-bit values, 0..16777215.  A row missing from the
 * frame leaves its fields 0. */
typedef struct quillmore_eeg {
    uint32_t signal, attention, meditation, delta, theta, lowAlpha, highAlpha, lowBeta, highBeta, lowGamma, highGamma;
} quillmore_eeg;

/* One extended frame (it follows a standard frame).  ap, battery, gnaw and
 * heart are 0..255; version is the firmware version (e.g. 1.234). */
typedef struct quillmore_extend {
    uint32_t ap, battery;
    double version;
    uint32_t gnaw;
    double temperature;
    uint32_t heart;
    int temperature_status; /* QUILLMORE_TEMPERATURE_* */
} quillmore_extend;

/* The callbacks; any may be NULL.  raw: -32768..32767.  gyro: each axis
 * -75..180.  rr: each interval 0..65535, as sent. */
typedef struct quillmore_settings {
    int (*on_eeg)(void* user, const quillmore_eeg* record);
    int (*on_extend)(void* user, const quillmore_extend* record);
    int (*on_raw)(void* user, int raw);
    int (*on_gyro)(void* user, int x, int y, int z);
    int (*on_rr)(void* user, int rr1, int rr2, int rr3);
} quillmore_settings;

/* A new parser, hunting for the first frame, with a payload buffer of its
 * own.  `settings` is copied; NULL means no callbacks.  `user` is handed to
 * every callback.  NULL on allocation failure. */
QUILLMORE_API quillmore_parser* quillmore_parser_new(const quillmore_settings* settings, void* user);

/* Frees a parser; NULL is ignored. */
QUILLMORE_API void quillmore_parser_free(quillmore_parser* parser);

/* Runs the parser over `size` bytes.  Returns QUILLMORE_OK when all were
 * consumed, else a status; `consumed` (may be NULL) receives the number of
 * bytes processed, which after QUILLMORE_CALLBACK_STOPPED includes the byte
 * at which the callback stopped the call.  The parser keeps its state
 * between calls, whatever the status. */
QUILLMORE_API int quillmore_parse(quillmore_parser* parser, const unsigned char* data, size_t size, size_t* consumed);

/* The name of a status ("QUILLMORE_OK", ...), or "unknown status"; never
 * NULL.  The string is static. */
QUILLMORE_API const char* quillmore_status_name(int status);

/* The library's version, "major.minor.patch".  The string is static. */
QUILLMORE_API const char* quillmore_version(void);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMORE_QUILLMORE_H */
