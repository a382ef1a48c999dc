/* Loads a copy of the library by path and prints what its language probe says. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: language_probe LIBRARY\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        printf("dlopen failed: %s\n", dlerror());
        return 1;
    }
    void* symbol = dlsym(library, "kavrel_probe_language");
    const char* (*probe)(void) = NULL;
    if (symbol) memcpy(&probe, &symbol, sizeof probe);
    if (!probe) {
        printf("no probe: %s\n", dlerror());
        return 1;
    }
    printf("%s\n", probe());
    fflush(stdout);
    return 0;
}
