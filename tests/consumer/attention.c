#include <stdio.h>
#include <quillmore/quillmore.h>

static int on_eeg(void* user, const quillmore_eeg* eeg) {
    (void)user;
    printf("attention %u meditation %u\n", (unsigned)eeg->attention, (unsigned)eeg->meditation);
    return 0; /* non-zero: quillmore_parse() returns right after this frame */
}

static int on_raw(void* user, int raw) { (void)raw; ++*(long*)user; return 0; }

int main(int argc, char** argv) {
    quillmore_settings settings = {on_eeg, NULL, on_raw, NULL, NULL};
    long samples = 0;
    unsigned char chunk[512];
    size_t n;
    FILE* in = argc > 1 ? fopen(argv[1], "rb") : NULL;
    quillmore_parser* parser = quillmore_parser_new(&settings, &samples);
    if (in == NULL || parser == NULL) return 1;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) quillmore_parse(parser, chunk, n, NULL);
    printf("raw samples %ld\n", samples);
    quillmore_parser_free(parser);
    return fclose(in);
}
