#include "endpoint.h"

#include <filesystem>
#include <system_error>

#include "socket_file.h"
#include "vesk/says.h"

std::string socket_path(const std::string &endpoint)
{
    const std::string ipc = "ipc://";
    if (endpoint.compare(0, ipc.size(), ipc) != 0 || endpoint.size() == ipc.size() || endpoint[ipc.size()] == '@')
        return "";
    return endpoint.substr(ipc.size());
}

std::string endpoint_refusal(const std::string &endpoint)
{
    const std::string tcp = "tcp://", path = socket_path(endpoint);
    if (endpoint.compare(0, 6, "ipc://") == 0 && ipc_refusal() != nullptr)
        return ipc_refusal();
    if (!path.empty()) {
        std::string why = socket_folder_refusal(path);
        if (!why.empty())
            return why;
        std::error_code error;
        auto type = std::filesystem::symlink_status(path, error).type();
        if (type == std::filesystem::file_type::none)
            return "its path cannot be looked at: " + error.message();
        if (type != std::filesystem::file_type::not_found &&
            !(type == std::filesystem::file_type::socket && socket_file_is_stale(path)))
            return VESK_SAYS_PATH_TAKEN;
    }
    if (endpoint.compare(0, tcp.size(), tcp) == 0) {
        std::string port = endpoint.substr(endpoint.rfind(':') + 1);
        bool decimal = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (port != "*" && (!decimal || std::stol(port) < 1 || std::stol(port) > 65535))
            return VESK_SAYS_BAD_PORT;
    }
    return "";
}
