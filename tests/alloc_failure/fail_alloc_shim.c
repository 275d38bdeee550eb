/* Preloaded into a program under test: makes its N-th memory allocation fail,
   counting from the moment main is entered (what the C library and the C++
   runtime allocate for their own start-up is not the program's to handle).

   KESTRUM_FAIL_ALLOC=N   fail allocation number N (from 1); 0 fails none
   KESTRUM_ALLOC_COUNT=F  at exit, write the number of allocations made to F

   Only the one allocation fails: what the program does about it (a fallback
   or a fatal message) may allocate again. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

static int armed;
static unsigned long failAt;
static unsigned long made;

/* Whether this allocation is the one to fail. */
static int failHere(void) {
    if (!armed)
        return 0;
    if (++made != failAt)
        return 0;
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size) { return failHere() ? NULL : __libc_malloc(size); }
void *calloc(size_t count, size_t size) { return failHere() ? NULL : __libc_calloc(count, size); }
void *realloc(void *block, size_t size) { return failHere() ? NULL : __libc_realloc(block, size); }
void *memalign(size_t alignment, size_t size) { return failHere() ? NULL : __libc_memalign(alignment, size); }
void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **result, size_t alignment, size_t size) {
    void *block = memalign(alignment, size);
    if (block == NULL)
        return ENOMEM;
    *result = block;
    return 0;
}

static void reportCount(void) {
    const char *name = getenv("KESTRUM_ALLOC_COUNT");
    armed = 0;
    if (name != NULL) {
        FILE *f = fopen(name, "w");
        if (f != NULL) {
            fprintf(f, "%lu\n", made);
            fclose(f);
        }
    }
}

typedef int MainFunction(int, char **, char **);
typedef int StartMain(MainFunction *, int, char **, void (*)(void), void (*)(void), void (*)(void), void *);
static MainFunction *programMain;

static int armedMain(int argc, char **argv, char **envp) {
    const char *n = getenv("KESTRUM_FAIL_ALLOC");
    failAt = n != NULL ? strtoul(n, NULL, 10) : 0;
    atexit(reportCount);
    armed = 1;
    return programMain(argc, argv, envp);
}

int __libc_start_main(MainFunction *main, int argc, char **argv, void (*init)(void), void (*fini)(void),
                      void (*rtldFini)(void), void *stackEnd) {
    StartMain *next = (StartMain *)dlsym(RTLD_NEXT, "__libc_start_main");
    programMain = main;
    return next(armedMain, argc, argv, init, fini, rtldFini, stackEnd);
}
