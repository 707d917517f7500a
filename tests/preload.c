/* Preloaded into the server: does what a device library may do at load, and at SIGUSR2 uses up
 * every free descriptor (up to 65536) until the next, recording into VESK_TEST_RECORD; makes end
 * of input not stick, as at a Windows console (docs/testing.md). */
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

static int taken[65536], taken_count = -1;

static void take_or_give_back(int signal)
{
    (void)signal;
    if (taken_count >= 0) {
        while (taken_count > 0)
            close(taken[--taken_count]);
        taken_count = -1;
        ssize_t written = write(record, "given back\n", 11);
        (void)written;
        return;
    }
    int fd;
    taken_count = 0;
    while (taken_count < 65536 && (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
        taken[taken_count++] = fd;
    ssize_t written = write(record, "taken\n", 6);
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
    action.sa_handler = take_or_give_back;
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

int getchar(void)
{
    return getc(stdin);
}
