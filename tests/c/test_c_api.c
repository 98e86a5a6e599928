/* The C interface's own rules, in C99: stopping and resuming, NULL
 * callbacks and arguments, the settings copy, the user pointer, nested
 * calls, parsers independent of each other, the record conversions, status
 * names and the version.  (The stream format itself is covered by the case
 * documents, which case_runner.c runs through this interface.) */
#include <stdio.h>
#include <string.h>

#include "quillmore/quillmore.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

/* ------------------------------------------------------------ frames */

/* AA AA 04 00 00 high low checksum: the raw sample high << 8 | low. */
static size_t raw_frame(unsigned char* out, int high, int low) {
    const unsigned char q[4] = {0, 0, (unsigned char)high, (unsigned char)low};
    out[0] = 0xAA;
    out[1] = 0xAA;
    out[2] = 0x04;
    memcpy(out + 3, q, 4);
    out[7] = (unsigned char)~(unsigned)(q[2] + q[3]);
    return 8;
}

/* A standard frame with the attention row (04 attention) and nothing else. */
static size_t standard_frame(unsigned char* out, int attention) {
    unsigned sum = 0;
    int i;
    out[0] = 0xAA;
    out[1] = 0xAA;
    out[2] = 0x20;
    memset(out + 3, 0, 32);
    out[3] = 0x04;
    out[4] = (unsigned char)attention;
    for (i = 0; i < 32; ++i) sum += out[3 + i];
    out[35] = (unsigned char)~sum;
    return 36;
}

/* ------------------------------------------------------------ recorder */

typedef struct {
    int raws[16];
    int nraw;
    int stop_at; /* on_raw returns non-zero for this delivery (1-based); 0: never */
    quillmore_eeg eeg;
    int neeg;
    quillmore_extend extend[4];
    int nextend;
    int gyro[3];
    int ngyro;
    /* Nested feeding: on the first raw sample, feed these bytes to `parser`. */
    quillmore_parser* parser;
    const unsigned char* nested;
    size_t nested_size;
    int nested_status;
    /* The same from an extended frame's callback, which then stops the call. */
    const unsigned char* after_extend;
    size_t after_extend_size;
} recorder;

static int rec_raw(void* user, int raw) {
    recorder* r = (recorder*)user;
    if (r->nraw < 16) r->raws[r->nraw] = raw;
    ++r->nraw;
    if (r->nested != NULL) {
        const unsigned char* nested = r->nested;
        size_t consumed = 0;
        r->nested = NULL;
        r->nested_status = quillmore_parse(r->parser, nested, r->nested_size, &consumed);
        CHECK(consumed == r->nested_size);
    }
    return r->nraw == r->stop_at;
}

static int rec_eeg(void* user, const quillmore_eeg* e) {
    recorder* r = (recorder*)user;
    r->eeg = *e;
    ++r->neeg;
    return 0;
}

static int rec_extend(void* user, const quillmore_extend* e) {
    recorder* r = (recorder*)user;
    if (r->nextend < 4) r->extend[r->nextend] = *e;
    ++r->nextend;
    return 0;
}

static int rec_gyro(void* user, int x, int y, int z) {
    recorder* r = (recorder*)user;
    r->gyro[0] = x;
    r->gyro[1] = y;
    r->gyro[2] = z;
    ++r->ngyro;
    return 0;
}

static const quillmore_settings all_callbacks = {rec_eeg, rec_extend, rec_raw, rec_gyro, NULL};

/* ------------------------------------------------------------ tests */

static void test_stop_and_resume(void) {
    unsigned char stream[24];
    size_t n = 0, consumed = 99;
    recorder r;
    quillmore_parser* p;
    memset(&r, 0, sizeof r);
    r.stop_at = 2;
    n += raw_frame(stream + n, 0x00, 0x01);
    n += raw_frame(stream + n, 0x00, 0x02);
    n += raw_frame(stream + n, 0xFF, 0xFF);
    p = quillmore_parser_new(&all_callbacks, &r);
    CHECK(p != NULL);
    /* The second sample stops the call at its frame's last byte. */
    CHECK(quillmore_parse(p, stream, n, &consumed) == QUILLMORE_CALLBACK_STOPPED);
    CHECK(consumed == 16);
    CHECK(r.nraw == 2);
    /* The rest, fed later, decodes as if the call had not stopped. */
    CHECK(quillmore_parse(p, stream + consumed, n - consumed, &consumed) == QUILLMORE_OK);
    CHECK(consumed == 8);
    CHECK(r.nraw == 3 && r.raws[0] == 1 && r.raws[1] == 2 && r.raws[2] == -1);
    quillmore_parser_free(p);
}

static void test_null_callbacks_and_arguments(void) {
    unsigned char stream[44];
    size_t n = 0, consumed = 99;
    quillmore_parser* p = quillmore_parser_new(NULL, NULL);
    n += standard_frame(stream + n, 7);
    n += raw_frame(stream + n, 1, 2);
    CHECK(p != NULL);
    /* No callbacks: everything is decoded and dropped. */
    CHECK(quillmore_parse(p, stream, n, &consumed) == QUILLMORE_OK && consumed == n);
    CHECK(quillmore_parse(p, stream, n, NULL) == QUILLMORE_OK);
    CHECK(quillmore_parse(p, NULL, 0, &consumed) == QUILLMORE_OK && consumed == 0);
    consumed = 99;
    CHECK(quillmore_parse(p, NULL, 5, &consumed) == QUILLMORE_INVALID_ARGUMENT && consumed == 0);
    consumed = 99;
    CHECK(quillmore_parse(NULL, stream, n, &consumed) == QUILLMORE_INVALID_ARGUMENT && consumed == 0);
    quillmore_parser_free(p);
    quillmore_parser_free(NULL);
}

static void test_settings_are_copied_and_user_is_passed(void) {
    unsigned char stream[8];
    recorder r;
    quillmore_settings settings;
    quillmore_parser* p;
    const size_t n = raw_frame(stream, 0x12, 0x34);
    memset(&r, 0, sizeof r);
    memset(&settings, 0, sizeof settings);
    settings.on_raw = rec_raw;
    p = quillmore_parser_new(&settings, &r);
    settings.on_raw = NULL; /* after creation: no effect */
    CHECK(quillmore_parse(p, stream, n, NULL) == QUILLMORE_OK);
    CHECK(r.nraw == 1 && r.raws[0] == 0x1234);
    quillmore_parser_free(p);
}

static void test_nested_parse(void) {
    unsigned char outer[16], inner[8];
    size_t consumed = 0;
    recorder r;
    quillmore_parser* p;
    raw_frame(outer, 0, 1);
    raw_frame(outer + 8, 0, 3);
    raw_frame(inner, 0, 2);
    memset(&r, 0, sizeof r);
    p = quillmore_parser_new(&all_callbacks, &r);
    r.parser = p;
    r.nested = inner;
    r.nested_size = sizeof inner;
    r.nested_status = -1;
    /* The first sample's callback feeds a whole frame; the outer call goes
     * on from where the inner one left the parser. */
    CHECK(quillmore_parse(p, outer, sizeof outer, &consumed) == QUILLMORE_OK && consumed == sizeof outer);
    CHECK(r.nested_status == QUILLMORE_OK);
    CHECK(r.nraw == 3 && r.raws[0] == 1 && r.raws[1] == 2 && r.raws[2] == 3);
    quillmore_parser_free(p);
}

/* An extended frame's callback that feeds the frames after it, then stops
 * the outer call. */
static int nest_on_extend(void* user, const quillmore_extend* e) {
    recorder* r = (recorder*)user;
    size_t consumed = 0;
    rec_extend(user, e);
    r->nested_status = quillmore_parse(r->parser, r->after_extend, r->after_extend_size, &consumed);
    CHECK(consumed == r->after_extend_size);
    return 1;
}

static void test_nested_parse_from_extended_frame(void) {
    static const unsigned char extended[] = {0x06, 0x11, 0xAA, 0xAA};
    unsigned char outer[40], inner[24];
    size_t n = 0, consumed = 0;
    recorder r;
    quillmore_parser* p;
    const quillmore_settings settings = {rec_eeg, nest_on_extend, rec_raw, NULL, NULL};
    n += standard_frame(outer, 50);
    memcpy(outer + n, extended, sizeof extended);
    n += sizeof extended;
    /* The AA AA that ended the extended frame opens raw 74: its length byte
     * and body come first in what the callback feeds. */
    raw_frame(inner, 0, 74);
    raw_frame(inner + 8, 0, 3);
    raw_frame(inner + 16, 0, 83);
    memset(&r, 0, sizeof r);
    p = quillmore_parser_new(&settings, &r);
    r.parser = p;
    r.after_extend = inner + 2;
    r.after_extend_size = sizeof inner - 2;
    CHECK(quillmore_parse(p, outer, n, &consumed) == QUILLMORE_CALLBACK_STOPPED && consumed == n);
    CHECK(r.nested_status == QUILLMORE_OK);
    CHECK(r.nextend == 1);
    CHECK(r.nraw == 3 && r.raws[0] == 74 && r.raws[1] == 3 && r.raws[2] == 83);
    quillmore_parser_free(p);
}

static void test_parsers_are_independent(void) {
    unsigned char a[36], b[36];
    recorder ra, rb;
    quillmore_parser *pa, *pb;
    standard_frame(a, 11);
    standard_frame(b, 22);
    memset(&ra, 0, sizeof ra);
    memset(&rb, 0, sizeof rb);
    pa = quillmore_parser_new(&all_callbacks, &ra);
    pb = quillmore_parser_new(&all_callbacks, &rb);
    /* B's whole frame in the middle of A's does not touch A's buffer. */
    CHECK(quillmore_parse(pa, a, 13, NULL) == QUILLMORE_OK);
    CHECK(quillmore_parse(pb, b, sizeof b, NULL) == QUILLMORE_OK);
    CHECK(quillmore_parse(pa, a + 13, sizeof a - 13, NULL) == QUILLMORE_OK);
    CHECK(ra.neeg == 1 && ra.eeg.attention == 11);
    CHECK(rb.neeg == 1 && rb.eeg.attention == 22);
    quillmore_parser_free(pa);
    quillmore_parser_free(pb);
}

static size_t append(unsigned char* out, const unsigned char* bytes, size_t n) {
    memcpy(out, bytes, n);
    return n;
}

static void test_records(void) {
    /* A standard frame with every row, then an extended frame per
     * temperature kind, each ended by the AA AA of the next frame. */
    static const unsigned char rows[32] = {0x02, 0x33, 0x83, 0x18, 0x01, 0x02, 0x03, 0, 0, 0x10, 0, 0x12, 0x34, 0x01, 0,
                                           0,    0,    0,    0,    0x7F, 0,    0x01, 0, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0x04,
                                           0x3C, 0x05, 0x50};
    /* Row 06 ap (its code is the frame's first byte), 07 battery, 08 version
     * 12.34 as decimal digits, gnaw, temperature 36 + 5 tenths, heart. */
    static const unsigned char measured[] = {0x06, 0x10, 0x07, 0x5A, 0x08, 0x12, 0x21, 0x34, 0x24, 0x05, 0x48};
    static const unsigned char unavailable[] = {0x06, 0x00, 0x08, 0x12, 0x21, 0x34, 0xFF, 0x05, 0x48};
    static const unsigned char absent[] = {0x06, 0x01, 0x07, 0x09};
    static const unsigned char gyro[] = {0xAA, 0xAA, 0x07, 0x00, 0x00, 0x12, 0x00, 0xB5, 0x00, 0xFF, 0x00};
    unsigned char stream[200];
    size_t n = 0;
    unsigned sum = 0;
    int i;
    recorder r;
    quillmore_parser* p;
    stream[n++] = 0xAA;
    stream[n++] = 0xAA;
    stream[n++] = 0x20;
    n += append(stream + n, rows, 32);
    for (i = 0; i < 32; ++i) sum += rows[i];
    stream[n++] = (unsigned char)~sum;
    n += append(stream + n, measured, sizeof measured);
    n += standard_frame(stream + n, 1);
    n += append(stream + n, unavailable, sizeof unavailable);
    n += standard_frame(stream + n, 2);
    n += append(stream + n, absent, sizeof absent);
    n += append(stream + n, gyro, sizeof gyro);
    memset(&r, 0, sizeof r);
    p = quillmore_parser_new(&all_callbacks, &r);
    CHECK(quillmore_parse(p, stream, n, NULL) == QUILLMORE_OK);
    quillmore_parser_free(p);

    CHECK(r.neeg == 3 && r.eeg.attention == 2);
    CHECK(r.ngyro == 1 && r.gyro[0] == 18 && r.gyro[1] == -1 && r.gyro[2] == -75);
    CHECK(r.nextend == 3);
    if (r.nextend == 3) {
        CHECK(r.extend[0].ap == 0x10 && r.extend[0].battery == 0x5A && r.extend[0].gnaw == 0x21);
        CHECK(r.extend[0].version == 1.234 && r.extend[0].heart == 0x48);
        CHECK(r.extend[0].temperature_status == QUILLMORE_TEMPERATURE_MEASURED && r.extend[0].temperature == 36.5);
        CHECK(r.extend[1].temperature_status == QUILLMORE_TEMPERATURE_NO_READING);
        CHECK(r.extend[1].temperature == 0.0 && r.extend[1].heart == 0x48 && r.extend[1].version == 1.234);
        CHECK(r.extend[2].temperature_status == QUILLMORE_TEMPERATURE_NO_ROW);
        CHECK(r.extend[2].ap == 1 && r.extend[2].battery == 9);
        CHECK(r.extend[2].temperature == 0.0 && r.extend[2].version == 0.0);
    }
}

static void test_names_and_version(void) {
    static const struct {
        int status;
        const char* name;
    } names[] = {
        {QUILLMORE_OK, "QUILLMORE_OK"},
        {QUILLMORE_CALLBACK_STOPPED, "QUILLMORE_CALLBACK_STOPPED"},
        {QUILLMORE_INDEX_OUT_OF_RANGE, "QUILLMORE_INDEX_OUT_OF_RANGE"},
        {QUILLMORE_INVALID_ARGUMENT, "QUILLMORE_INVALID_ARGUMENT"},
        {-1, "unknown status"},
        {4, "unknown status"},
    };
    size_t i;
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        CHECK(strcmp(quillmore_status_name(names[i].status), names[i].name) == 0);
    }
    CHECK(strcmp(quillmore_version(), QUILLMORE_EXPECTED_VERSION) == 0);
}

int main(void) {
    test_stop_and_resume();
    test_null_callbacks_and_arguments();
    test_settings_are_copied_and_user_is_passed();
    test_nested_parse();
    test_nested_parse_from_extended_frame();
    test_parsers_are_independent();
    test_records();
    test_names_and_version();
    if (failures) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    puts("C interface: all checks passed");
    return 0;
}
