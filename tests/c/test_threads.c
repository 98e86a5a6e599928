/* One parser per thread: several threads, each with a parser of its own,
 * decode the same stream at the same time, each cut into chunks of its own
 * sizes, and every one must log exactly what a parser on the main thread
 * logged alone.  The stream holds every kind of frame, good and damaged,
 * and stray bytes.  Under the sanitizer build a parser that touched
 * another's memory or state shows up here.
 *
 *   quillmore_c_test_threads
 *
 * C99 and POSIX threads. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmore/quillmore.h"

enum { THREADS = 6, ROUNDS = 200, MAX_EVENTS = 8192 };

/* ------------------------------------------------------------ the stream */

static unsigned char stream[1 << 16];
static size_t stream_size;
static unsigned long lcg = 12345;

static unsigned next_random(void) {
    lcg = lcg * 1103515245UL + 12345UL;
    return (unsigned)(lcg >> 16) & 0x7FFF;
}

static void put(const unsigned char* bytes, size_t n) {
    if (stream_size + n > sizeof stream) {
        fputs("stream buffer too small\n", stderr);
        exit(2);
    }
    memcpy(stream + stream_size, bytes, n);
    stream_size += n;
}

static unsigned char complemented_sum(const unsigned char* payload, size_t n) {
    unsigned sum = 0;
    size_t k;
    for (k = 0; k < n; ++k) sum += payload[k];
    return (unsigned char)(~sum & 0xFF);
}

static void put_standard(unsigned attention, int good) {
    /* signal, the eight band powers, attention, meditation */
    unsigned char frame[36] = {0xAA, 0xAA, 0x20, 0x02, 0x33, 0x83, 0x18, 1, 2, 3, 0, 0, 0x10, 0, 0x12, 0x34,
                               1, 0, 0, 0, 0, 0, 0x7F, 0, 1, 0, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0x04, 0, 0x05, 0x50};
    frame[32] = (unsigned char)attention;
    frame[35] = (unsigned char)(complemented_sum(frame + 3, 32) + (good ? 0 : 1));
    put(frame, sizeof frame);
}

static void put_extended(int temperature_byte) {
    unsigned char body[11] = {0x06, 0x11, 0x07, 0x5A, 0x08, 0x12, 0x03, 0x34, 0x24, 0x05, 0x48};
    body[8] = (unsigned char)temperature_byte;
    put(body, sizeof body);
}

static void put_raw(int sample, int good) {
    unsigned char frame[8] = {0xAA, 0xAA, 0x04, 0, 0, 0, 0, 0};
    frame[5] = (unsigned char)((sample >> 8) & 0xFF);
    frame[6] = (unsigned char)(sample & 0xFF);
    frame[7] = (unsigned char)(complemented_sum(frame + 3, 4) + (good ? 0 : 1));
    put(frame, sizeof frame);
}

static void put_gyro(int x, int y, int z) {
    unsigned char frame[11] = {0xAA, 0xAA, 0x07, 0, 0, 0, 0, 0, 0, 0, 0};
    frame[5] = (unsigned char)x;
    frame[7] = (unsigned char)y;
    frame[9] = (unsigned char)z;
    put(frame, sizeof frame);
}

static void put_hrv(unsigned rr1, unsigned rr2, unsigned rr3, int good) {
    unsigned char frame[16] = {0xAA, 0xBB, 0x0C};
    unsigned sum = 12;
    int k;
    frame[3] = (unsigned char)(rr1 >> 8), frame[4] = (unsigned char)rr1;
    frame[5] = (unsigned char)(rr2 >> 8), frame[6] = (unsigned char)rr2;
    frame[7] = (unsigned char)(rr3 >> 8), frame[8] = (unsigned char)rr3;
    for (k = 3; k < 12; ++k) sum += frame[k];
    frame[12] = (unsigned char)(sum + (good ? 0 : 1));
    put(frame, sizeof frame);
}

/* Seconds of headset output, with one frame in twenty damaged or followed
 * by a stray byte. */
static void make_stream(int seconds) {
    int s, k;
    for (s = 0; s < seconds; ++s) {
        for (k = 0; k < 512; ++k) {
            put_raw((int)next_random() - 16384, next_random() % 20 != 0);
            if (next_random() % 40 == 0) {
                unsigned char stray = (unsigned char)next_random();
                put(&stray, 1);
            }
            if (k == 256) {
                put_standard(next_random() % 101, next_random() % 10 != 0);
                put_extended(next_random() % 3 == 0 ? 0xFF : 0x24);
            }
            if (k == 300) put_gyro((int)next_random(), (int)next_random(), (int)next_random());
            if (k == 400) put_hrv(next_random(), next_random(), next_random(), next_random() % 4 != 0);
        }
    }
}

/* ------------------------------------------------------------ the log */

typedef struct {
    int kind;
    long values[11];
    double reals[2];
} event;

typedef struct {
    event* events;
    size_t count;
    size_t kinds[5];
} event_log;

static int add(event_log* log, int kind, const long* values, int n, double real0, double real1) {
    event* e;
    if (log->count == MAX_EVENTS) return 1; /* stops the parse; reported as a mismatch */
    e = &log->events[log->count++];
    memset(e, 0, sizeof *e);
    e->kind = kind;
    memcpy(e->values, values, (size_t)n * sizeof *values);
    e->reals[0] = real0;
    e->reals[1] = real1;
    log->kinds[kind]++;
    return 0;
}

static int on_eeg(void* user, const quillmore_eeg* r) {
    long v[11];
    v[0] = (long)r->signal, v[1] = (long)r->attention, v[2] = (long)r->meditation, v[3] = (long)r->delta;
    v[4] = (long)r->theta, v[5] = (long)r->lowAlpha, v[6] = (long)r->highAlpha, v[7] = (long)r->lowBeta;
    v[8] = (long)r->highBeta, v[9] = (long)r->lowGamma, v[10] = (long)r->highGamma;
    return add((event_log*)user, 0, v, 11, 0.0, 0.0);
}

static int on_extend(void* user, const quillmore_extend* r) {
    long v[5];
    v[0] = (long)r->ap, v[1] = (long)r->battery, v[2] = (long)r->gnaw, v[3] = (long)r->heart;
    v[4] = r->temperature_status;
    return add((event_log*)user, 1, v, 5, r->version, r->temperature);
}

static int on_raw(void* user, int raw) {
    long v[1];
    v[0] = raw;
    return add((event_log*)user, 2, v, 1, 0.0, 0.0);
}

static int on_gyro(void* user, int x, int y, int z) {
    long v[3];
    v[0] = x, v[1] = y, v[2] = z;
    return add((event_log*)user, 3, v, 3, 0.0, 0.0);
}

static int on_rr(void* user, int rr1, int rr2, int rr3) {
    long v[3];
    v[0] = rr1, v[1] = rr2, v[2] = rr3;
    return add((event_log*)user, 4, v, 3, 0.0, 0.0);
}

/* Decodes the stream in chunks of 1, 1 + step, 1 + 2 * step, ... bytes
 * (wrapping at 4096) into `log`; 0 when every call consumed its chunk. */
static int decode(event_log* log, size_t step) {
    quillmore_settings settings;
    quillmore_parser* parser;
    size_t at = 0, size = 1;
    int status = QUILLMORE_OK;
    memset(&settings, 0, sizeof settings);
    settings.on_eeg = on_eeg;
    settings.on_extend = on_extend;
    settings.on_raw = on_raw;
    settings.on_gyro = on_gyro;
    settings.on_rr = on_rr;
    log->count = 0;
    memset(log->kinds, 0, sizeof log->kinds);
    parser = quillmore_parser_new(&settings, log);
    if (parser == NULL) return 1;
    while (at < stream_size && status == QUILLMORE_OK) {
        const size_t n = size < stream_size - at ? size : stream_size - at;
        size_t consumed = 0;
        status = quillmore_parse(parser, stream + at, n, &consumed);
        if (consumed != n) status = status == QUILLMORE_OK ? -1 : status;
        at += n;
        size = (size + step) % 4096 + 1;
    }
    quillmore_parser_free(parser);
    return status != QUILLMORE_OK;
}

/* ------------------------------------------------------------ threads */

static event_log reference;

typedef struct {
    int index;
    event_log log;
    int failures;
} worker;

static void* work(void* argument) {
    worker* w = (worker*)argument;
    int round;
    for (round = 0; round < ROUNDS; ++round) {
        const size_t step = (size_t)(w->index * 37 + round * 11);
        if (decode(&w->log, step) != 0 || w->log.count != reference.count ||
            memcmp(w->log.events, reference.events, reference.count * sizeof(event)) != 0) {
            if (w->failures++ == 0)
                fprintf(stderr, "thread %d, round %d (step %lu): %lu events unlike the reference's %lu\n",
                        w->index, round, (unsigned long)step, (unsigned long)w->log.count,
                        (unsigned long)reference.count);
        }
    }
    return NULL;
}

static event* new_events(void) {
    event* events = (event*)calloc(MAX_EVENTS, sizeof(event));
    if (events == NULL) {
        fputs("out of memory\n", stderr);
        exit(2);
    }
    return events;
}

int main(void) {
    worker workers[THREADS];
    pthread_t threads[THREADS];
    int k, failures = 0;
    make_stream(6);
    reference.events = new_events();
    if (decode(&reference, 0) != 0) {
        fputs("the reference decode failed\n", stderr);
        return 1;
    }
    for (k = 0; k < 5; ++k) {
        if (reference.kinds[k] == 0) {
            fprintf(stderr, "the stream decodes to no event of kind %d\n", k);
            return 1;
        }
    }
    for (k = 0; k < THREADS; ++k) {
        workers[k].index = k + 1;
        workers[k].failures = 0;
        workers[k].log.events = new_events();
        if (pthread_create(&threads[k], NULL, work, &workers[k]) != 0) {
            fputs("pthread_create failed\n", stderr);
            return 2;
        }
    }
    for (k = 0; k < THREADS; ++k) {
        pthread_join(threads[k], NULL);
        failures += workers[k].failures;
        free(workers[k].log.events);
    }
    free(reference.events);
    printf("%d threads x %d rounds over %lu bytes (%lu events each): %d mismatches\n", THREADS, ROUNDS,
           (unsigned long)stream_size, (unsigned long)reference.count, failures);
    return failures != 0;
}
