/* The single-instance lock's name, and on Linux its address in the abstract namespace: plain C,
 * shared by the server, the benchmark's C floor and the tests. */
#pragma once

#define VESK_LOCK_NAME "VeskServer{CC6D3466-0938-4A88-979C-569BA183DCD4}"

#ifdef __linux__
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

/* Room for a user's lock name: the name, '/', a decimal uid and the NUL. */
#define VESK_USER_LOCK_NAME_SIZE (sizeof VESK_LOCK_NAME + 11)

/* The name a user's copies take: the lock's name, '/', and the uid, which keeps users apart. */
static inline void vesk_user_lock_name(char name[VESK_USER_LOCK_NAME_SIZE], unsigned uid)
{
    snprintf(name, VESK_USER_LOCK_NAME_SIZE, "%s/%u", VESK_LOCK_NAME, uid);
}

/* Fills `address` with `name` in the abstract namespace: a NUL, then the name without one.
 * Returns the address's length, or 0 if the name does not fit. */
static inline socklen_t vesk_abstract_address(struct sockaddr_un *address, const char *name)
{
    const size_t length = strlen(name);
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (length + 1 > sizeof address->sun_path)
        return 0;
    memcpy(address->sun_path + 1, name, length);
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + length);
}
#endif
