/* A C host built against an installed kavrel, through pkg-config or
 * find_package(Kavrel). It needs no drive: it checks that the library is
 * found and that it finds its own data files (the error texts). */
#include <kavrel/kavrel.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char text[256];
    int32_t count = 0;
    if (kavrel_version(text, sizeof text) != KAVREL_S_OK || kavrel_protocol_count(&count) != KAVREL_S_OK || count < 1) {
        fprintf(stderr, "host: the library does not answer\n");
        return 1;
    }
    /* A text from the error-text file: only there when the data files are found. */
    if (kavrel_error_text_for((int32_t)0x80040701u, text, sizeof text) != KAVREL_S_OK || strlen(text) == 0) {
        fprintf(stderr, "host: no error texts, so no data files found\n");
        return 1;
    }
    printf("host: %d protocols; 0x80040701: %s\n", count, text);
    return 0;
}
