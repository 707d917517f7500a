/* Preloaded into the server: opens files at load as a device library may, and records into
 * VESK_TEST_RECORD; end of input does not stick, as at a Windows console (docs/testing.md). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int record = -1, taken[65536], taken_count = -1;

static void note(const char *line) { (void)!write(record, line, strlen(line)); }

/* SIGUSR1 is caught, to interrupt a read; SIGUSR2 takes every free descriptor, the next gives them back. */
static void on_signal(int signal)
{
    if (signal == SIGUSR1) {
        note("caught\n");
    } else if (taken_count >= 0) {
        while (taken_count > 0)
            close(taken[--taken_count]);
        taken_count = -1;
        note("given back\n");
    } else {
        for (taken_count = 0; taken_count < 65536; ++taken_count)
            if ((taken[taken_count] = open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0)
                break;
        note("taken\n");
    }
}

__attribute__((constructor)) static void on_load(void)
{
    const char *path = getenv("VESK_TEST_RECORD");
    int pipe_ends[2] = {-1, -1};
    struct sigaction action = {.sa_handler = on_signal};
    if (path == NULL || (record = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644)) < 0 || pipe(pipe_ends) != 0)
        return;
    dprintf(record, "opened %d %d %d\n", record, pipe_ends[0], pipe_ends[1]);
    sigaction(SIGUSR1, &action, NULL);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, NULL);
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

int getchar(void) { return getc(stdin); }
