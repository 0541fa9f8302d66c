// The DEVICE value of a TCP line, the same on every platform.
#include "link/prs232_tcp.h"

#include <cstring>
#include <string>

namespace tarq {

bool PRS232_IsTcp(const char* device) {
    return device != nullptr && std::strncmp(device, TCP_DEVICE_PREFIX, 6) == 0;
}

std::optional<TcpAddress> PRS232_ParseTcp(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    // An IPv6 address has colons of its own: only in brackets is its end clear.
    if (host.starts_with('[') && host.ends_with(']'))
        host = host.substr(1, host.size() - 2);
    else if (host.find_first_of("[]:") != std::string_view::npos)
        return std::nullopt;
    unsigned number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9' || number > 6553) return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (host.empty() || host.find_first_of(" \t/") != std::string_view::npos || number == 0 ||
        number > 65535)
        return std::nullopt;
    return TcpAddress{std::string(host), std::to_string(number)};
}

} // namespace tarq
