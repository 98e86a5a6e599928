/* Runs the worked examples of tests/cases through the C interface, in C99.
 *
 *   quillmore_c_cases FILE...
 *
 * Each case is fed four ways: whole, split in two at every point, one byte
 * per call, and whole with every callback stopping the call (the runner then
 * resumes after `consumed`).  Every way must log exactly the deliveries the
 * document states, in the format of the C++ and Python tests (numbers as
 * Python prints them).  The document's closing state line is not checked:
 * the C interface does not expose the machine's state.
 *
 * Document format (see tests/cpp/case_documents.hpp): "## title" starts a
 * case, "# " lines are comments, "> " lines hold input bytes in hex (XX*N
 * repeats XX N times), "@ " lines are directives, other lines are the
 * expected log.  "@ fail KIND" makes the first delivery of KIND stop the
 * call, logged as "failed", and "@ pause KIND" the same, logged as
 * "paused": to the C interface both are a callback that stops the call.  A
 * case with a host set-up ("@ state", "@ offset", "@ payload") is skipped:
 * the C interface has no way to make one.  The loss and row lines after the
 * log are skipped: it counts no losses and makes no rows. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmore/quillmore.h"

/* ------------------------------------------------------------ text buffer */

typedef struct {
    char* data;
    size_t size, capacity;
} text;

static void text_append(text* t, const char* s) {
    const size_t n = strlen(s);
    if (t->size + n + 1 > t->capacity) {
        size_t capacity = t->capacity ? t->capacity * 2 : 256;
        while (capacity < t->size + n + 1) capacity *= 2;
        t->data = (char*)realloc(t->data, capacity);
        if (t->data == NULL) {
            fputs("out of memory\n", stderr);
            exit(2);
        }
        t->capacity = capacity;
    }
    memcpy(t->data + t->size, s, n + 1);
    t->size += n;
}

static const char* text_str(const text* t) { return t->data ? t->data : ""; }

/* ------------------------------------------------------------ log format */

/* A double as Python's repr prints it: the shortest digits that read back
 * as the same value, positional between 1e-4 and 1e16, ".0" on integral
 * values (1.234, 0.0, 36.5, 1e+16). */
static void python_float(double value, char* out, size_t size) {
    char digits[40];
    int precision;
    int exponent;
    if (value != value || value == HUGE_VAL || value == -HUGE_VAL) {
        snprintf(out, size, value != value ? "nan" : value > 0 ? "inf" : "-inf");
        return;
    }
    for (precision = 1; precision < 17; ++precision) {
        snprintf(digits, sizeof digits, "%.*e", precision - 1, value);
        if (strtod(digits, NULL) == value) break;
    }
    snprintf(digits, sizeof digits, "%.*e", precision - 1, value);
    exponent = atoi(strchr(digits, 'e') + 1);
    if (exponent < -4 || exponent >= 16) {
        snprintf(out, size, "%s", digits);
        return;
    }
    snprintf(out, size, "%.*f", precision - 1 - exponent > 0 ? precision - 1 - exponent : 0, value);
    if (strchr(out, '.') == NULL && strlen(out) + 3 <= size) strcat(out, ".0");
}

typedef struct {
    text log;
    int stop; /* callbacks return this */
    int deliveries;
    const char* fail_kind;  /* the first delivery of this kind stops the call as a failure */
    const char* pause_kind; /* the first delivery of this kind stops the call as a pause */
    const char* stopping;   /* "failed" or "paused": a stop that the call has not returned from yet */
} run_log;

static int log_line(run_log* r, const char* kind, const char* line) {
    text_append(&r->log, line);
    text_append(&r->log, "\n");
    ++r->deliveries;
    if (r->fail_kind != NULL && strcmp(kind, r->fail_kind) == 0) {
        r->fail_kind = NULL;
        r->stopping = "failed\n";
        return 1;
    }
    if (r->pause_kind != NULL && strcmp(kind, r->pause_kind) == 0) {
        r->pause_kind = NULL;
        r->stopping = "paused\n";
        return 1;
    }
    return r->stop;
}

static int on_eeg(void* user, const quillmore_eeg* e) {
    char line[400];
    snprintf(line, sizeof line,
             "eeg signal=%lu attention=%lu meditation=%lu delta=%lu theta=%lu lowAlpha=%lu highAlpha=%lu "
             "lowBeta=%lu highBeta=%lu lowGamma=%lu highGamma=%lu",
             (unsigned long)e->signal, (unsigned long)e->attention, (unsigned long)e->meditation,
             (unsigned long)e->delta, (unsigned long)e->theta, (unsigned long)e->lowAlpha,
             (unsigned long)e->highAlpha, (unsigned long)e->lowBeta, (unsigned long)e->highBeta,
             (unsigned long)e->lowGamma, (unsigned long)e->highGamma);
    return log_line((run_log*)user, "eeg", line);
}

static int on_extend(void* user, const quillmore_extend* e) {
    char line[300], version[40], temperature[40];
    python_float(e->version, version, sizeof version);
    /* A sensor without a reading shows as the integer 0 to a Python host. */
    if (e->temperature_status == QUILLMORE_TEMPERATURE_NO_READING) {
        strcpy(temperature, "0");
    } else {
        python_float(e->temperature, temperature, sizeof temperature);
    }
    snprintf(line, sizeof line, "extend ap=%lu battery=%lu version=%s gnaw=%lu temperature=%s heart=%lu",
             (unsigned long)e->ap, (unsigned long)e->battery, version, (unsigned long)e->gnaw, temperature,
             (unsigned long)e->heart);
    return log_line((run_log*)user, "extend", line);
}

static int on_raw(void* user, int raw) {
    char line[40];
    snprintf(line, sizeof line, "raw %d", raw);
    return log_line((run_log*)user, "raw", line);
}

static int on_gyro(void* user, int x, int y, int z) {
    char line[60];
    snprintf(line, sizeof line, "gyro %d %d %d", x, y, z);
    return log_line((run_log*)user, "gyro", line);
}

static int on_rr(void* user, int rr1, int rr2, int rr3) {
    char line[60];
    snprintf(line, sizeof line, "rr %d %d %d", rr1, rr2, rr3);
    return log_line((run_log*)user, "rr", line);
}

/* ------------------------------------------------------------ documents */

typedef struct {
    char title[1024];
    int line;
    unsigned char* input;
    size_t size, capacity;
    text expected; /* the log lines, each ended by "\n"; the state line left out */
    char last[1024]; /* the latest log line read, held back until the next */
    char fail[8];    /* "@ fail KIND": the kind whose first delivery fails, or "" */
    char pause[8];   /* "@ pause KIND": the kind whose first delivery pauses, or "" */
    int host_setup;  /* "@ state", "@ offset" or "@ payload": a set-up the C interface cannot make */
    int has_last;
} case_doc;

static void push_byte(case_doc* c, unsigned char b) {
    if (c->size == c->capacity) {
        c->capacity = c->capacity ? c->capacity * 2 : 64;
        c->input = (unsigned char*)realloc(c->input, c->capacity);
        if (c->input == NULL) {
            fputs("out of memory\n", stderr);
            exit(2);
        }
    }
    c->input[c->size++] = b;
}

static int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

/* One token, "XX" or "XX*N"; 0 when malformed. */
static int push_token(case_doc* c, const char* token) {
    const int hi = hex_digit(token[0]);
    const int lo = hi < 0 ? -1 : hex_digit(token[1]);
    unsigned long count = 1, k;
    if (lo < 0) return 0;
    if (token[2] == '*') {
        char* end;
        if (token[3] == '\0') return 0;
        count = strtoul(token + 3, &end, 10);
        if (*end != '\0') return 0;
    } else if (token[2] != '\0') {
        return 0;
    }
    for (k = 0; k < count; ++k) push_byte(c, (unsigned char)(hi * 16 + lo));
    return 1;
}

/* Reads a document into *cases_out; returns the number of cases.  *bad_out
 * is set when it cannot be read or is malformed (reported on stderr). */
static int read_document(const char* path, case_doc** cases_out, int* bad_out) {
    FILE* in = fopen(path, "r");
    char line[1024];
    int line_no = 0, count = 0, capacity = 0, bad = 0;
    case_doc* cases = NULL;
    if (in == NULL) {
        fprintf(stderr, "%s: cannot open\n", path);
        *bad_out = 1;
        return 0;
    }
    while (fgets(line, sizeof line, in) != NULL) {
        size_t n = strlen(line);
        ++line_no;
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r' || line[n - 1] == ' ' || line[n - 1] == '\t')) {
            line[--n] = '\0';
        }
        if (n == 0 || strncmp(line, "# ", 2) == 0) continue;
        if (strncmp(line, "## ", 3) == 0) {
            if (count == capacity) {
                capacity = capacity ? capacity * 2 : 16;
                cases = (case_doc*)realloc(cases, (size_t)capacity * sizeof *cases);
                if (cases == NULL) {
                    fputs("out of memory\n", stderr);
                    exit(2);
                }
            }
            memset(&cases[count], 0, sizeof cases[count]);
            snprintf(cases[count].title, sizeof cases[count].title, "%s", line + 3);
            cases[count].line = line_no;
            ++count;
            continue;
        }
        if (count == 0) {
            fprintf(stderr, "%s:%d: line before the first case\n", path, line_no);
            bad = 1;
            continue;
        }
        if (strncmp(line, "@ fail ", 7) == 0 || strncmp(line, "@ pause ", 8) == 0) {
            const int fail = line[2] == 'f';
            const char* kind = line + (fail ? 7 : 8);
            char* to = fail ? cases[count - 1].fail : cases[count - 1].pause;
            if (kind[0] == '\0' || strlen(kind) >= sizeof cases[count - 1].fail) {
                fprintf(stderr, "%s:%d: bad directive '%s'\n", path, line_no, line);
                bad = 1;
            } else {
                strcpy(to, kind);
            }
        } else if (strcmp(line, "loss") == 0 || strncmp(line, "loss ", 5) == 0 || strncmp(line, "row ", 4) == 0) {
            continue;
        } else if (strncmp(line, "@ ", 2) == 0) {
            cases[count - 1].host_setup = 1;
        } else if (strncmp(line, "> ", 2) == 0) {
            char* token = strtok(line + 2, " \t");
            for (; token != NULL; token = strtok(NULL, " \t")) {
                if (!push_token(&cases[count - 1], token)) {
                    fprintf(stderr, "%s:%d: bad input token '%s'\n", path, line_no, token);
                    bad = 1;
                }
            }
        } else {
            /* Hold each log line back by one: the last is the state line. */
            case_doc* c = &cases[count - 1];
            if (c->has_last) {
                text_append(&c->expected, c->last);
                text_append(&c->expected, "\n");
            }
            snprintf(c->last, sizeof c->last, "%s", line);
            c->has_last = 1;
        }
    }
    fclose(in);
    {
        int i;
        for (i = 0; i < count; ++i) {
            if (!cases[i].has_last || strncmp(cases[i].last, "state ", 6) != 0) {
                fprintf(stderr, "%s:%d: case '%s' does not end with a state line\n", path, cases[i].line,
                        cases[i].title);
                bad = 1;
            }
        }
    }
    *cases_out = cases;
    if (bad) *bad_out = 1;
    return count;
}

/* ------------------------------------------------------------ runs */

static const quillmore_settings logging_settings = {on_eeg, on_extend, on_raw, on_gyro, on_rr};

/* Feeds `input` in chunks ending at the ascending `cuts`, then the rest.
 * With `stop`, every callback stops the call and the rest of the chunk is
 * fed again.  Returns the log; an unexpected status is logged too. */
static text run(const case_doc* c, const size_t* cuts, size_t ncuts, int stop) {
    run_log r;
    quillmore_parser* parser;
    size_t from = 0, k;
    memset(&r, 0, sizeof r);
    r.stop = stop;
    r.fail_kind = c->fail[0] != '\0' ? c->fail : NULL;
    r.pause_kind = c->pause[0] != '\0' ? c->pause : NULL;
    parser = quillmore_parser_new(&logging_settings, &r);
    if (parser == NULL) {
        text_append(&r.log, "quillmore_parser_new failed\n");
        return r.log;
    }
    for (k = 0; k <= ncuts; ++k) {
        const size_t to = k < ncuts ? cuts[k] : c->size;
        while (from < to) {
            size_t consumed = 0;
            const int before = r.deliveries;
            const int status = quillmore_parse(parser, c->input + from, to - from, &consumed);
            const int expected =
                (stop && r.deliveries > before) || r.stopping != NULL ? QUILLMORE_CALLBACK_STOPPED : QUILLMORE_OK;
            if (status != expected || consumed == 0 || consumed > to - from ||
                (status == QUILLMORE_OK && consumed != to - from)) {
                char line[120];
                snprintf(line, sizeof line, "parse returned %s after %lu of %lu bytes\n", quillmore_status_name(status),
                         (unsigned long)consumed, (unsigned long)(to - from));
                text_append(&r.log, line);
                break;
            }
            from += consumed;
            if (r.stopping != NULL) {
                /* The failure or pause stopped the call; the runner goes on
                 * after it. */
                text_append(&r.log, r.stopping);
                r.stopping = NULL;
            }
        }
        from = to;
    }
    quillmore_parser_free(parser);
    return r.log;
}

static int check(const char* path, const case_doc* c, const char* way, text log) {
    const int ok = strcmp(text_str(&log), text_str(&c->expected)) == 0;
    if (!ok) {
        fprintf(stderr, "FAIL %s:%d %s (%s)\nexpected:\n%sactual:\n%s\n", path, c->line, c->title, way,
                text_str(&c->expected), text_str(&log));
    }
    free(log.data);
    return ok;
}

static int run_case(const char* path, const case_doc* c) {
    size_t* cuts = (size_t*)malloc((c->size + 1) * sizeof *cuts);
    size_t k;
    int ok = 1;
    if (cuts == NULL) {
        fputs("out of memory\n", stderr);
        exit(2);
    }
    ok &= check(path, c, "whole", run(c, NULL, 0, 0));
    for (k = 0; k <= c->size && ok; ++k) {
        cuts[0] = k;
        ok &= check(path, c, "split in two", run(c, cuts, 1, 0));
    }
    for (k = 1; k < c->size; ++k) cuts[k - 1] = k;
    ok &= check(path, c, "one byte per call", run(c, cuts, c->size > 0 ? c->size - 1 : 0, 0));
    ok &= check(path, c, "every callback stops", run(c, NULL, 0, 1));
    free(cuts);
    return ok;
}

int main(int argc, char** argv) {
    int i, total = 0, failed = 0, broken = 0, skipped = 0;
    if (argc < 2) {
        fputs("usage: quillmore_c_cases FILE...\n", stderr);
        return 2;
    }
    for (i = 1; i < argc; ++i) {
        case_doc* cases = NULL;
        const int n = read_document(argv[i], &cases, &broken);
        int k;
        for (k = 0; k < n; ++k) {
            if (cases[k].host_setup) {
                ++skipped;
                continue;
            }
            ++total;
            if (!run_case(argv[i], &cases[k])) ++failed;
        }
        for (k = 0; k < n; ++k) {
            free(cases[k].input);
            free(cases[k].expected.data);
        }
        free(cases);
    }
    printf("%d cases, %d failed, %d skipped (host set-up)%s\n", total, failed, skipped,
           broken ? ", documents malformed" : "");
    /* Fewer cases than the documents hold would mean the reader lost some. */
    return failed || broken || total == 0 ? 1 : 0;
}
