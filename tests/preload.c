/* Preloaded into the server: does what a device library may do at load, recording into
 * VESK_TEST_RECORD, and makes end of input not stick, as at a Windows console (docs/testing.md). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int record = -1;

static void on_signal(int signal)
{
    (void)signal;
    ssize_t written = write(record, "caught\n", 7);
    (void)written;
}

__attribute__((constructor)) static void on_load(void)
{
    const char *path = getenv("VESK_TEST_RECORD");
    if (path == NULL)
        return;
    int pipe_ends[2] = {-1, -1};
    record = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (pipe(pipe_ends) != 0)
        return;
    dprintf(record, "opened %d %d %d\n", record, pipe_ends[0], pipe_ends[1]);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, NULL);
}

/* The server's reads of standard input: getchar, which an optimised build makes getc(stdin). */
int getc(FILE *stream)
{
    static int (*real_getc)(FILE *);
    if (real_getc == NULL)
        *(void **)&real_getc = dlsym(RTLD_NEXT, "getc");  /* POSIX's way past ISO C's cast rule */
    if (feof(stream) && !ferror(stream))
        clearerr(stream);
    return real_getc(stream);
}

int getchar(void)
{
    return getc(stdin);
}
