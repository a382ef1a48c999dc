/* A tiny library for the loader tests: two plain exports. */
int tiny_add(int a, int b)
{
    return a + b;
}

/* Exported undecorated, asked for by its decorated name. */
int _TinyTimeout(int* a, int* b, int* c)
{
    *a = 1;
    *b = 2;
    *c = 3;
    return 0;
}
