/* Loads a copy of the library by path and prints what its language probe says. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    void* library = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
    void* symbol = library ? dlsym(library, "kavrel_probe_language") : NULL;
    const char* (*probe)(void) = NULL;
    if (symbol) memcpy(&probe, &symbol, sizeof probe);
    if (!probe) {
        printf("usage: language_probe LIBRARY; %s\n", argc == 2 ? dlerror() : "no library given");
        return 1;
    }
    printf("%s\n", probe());
    return 0;
}
