#include "socket_file.h"

#include "vesk/says.h"

const char *ipc_refusal()
{
    return VESK_SAYS_NO_IPC;
}

std::string socket_folder_refusal(const std::string &)
{
    return "";
}

bool socket_file_is_stale(const std::string &)
{
    return false;
}

FileIdentity file_identity(const std::string &)
{
    return {};
}

void remove_socket_file(const std::string &, const FileIdentity &)
{
}
