// The in-memory port: reads take what was fed and never wait (the link's clock decides how long
// it keeps reading a silent line); writes always succeed.
#include "link/prs232_memory.h"

#include <algorithm>
#include <cstdio>

namespace tarq {

struct PRS232_PORT {
    std::vector<std::uint8_t> input;
    std::size_t readPos = 0;
    std::vector<std::uint8_t> written;
};

PRS232_PORT* PRS232_CreateInMemory() {
    return new PRS232_PORT;
}

void PRS232_Feed(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    port->input.insert(port->input.end(), data, data + n);
}

const std::vector<std::uint8_t>& PRS232_Written(const PRS232_PORT* port) {
    return port->written;
}

PRS232_PORT* PRS232_Create(std::uint8_t, std::uint32_t, const char*) {
    std::printf("PRS232_Create:INVALID_HANDLE_VALUE:-1\n");
    return nullptr;
}

void PRS232_Delete(PRS232_PORT** port) {
    if (!port) return;
    delete *port;
    *port = nullptr;
}

int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    if (n == 0) return 1;
    if (!port || !data) return 0;
    port->written.insert(port->written.end(), data, data + n);
    return 1;
}

int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t) {
    return port && port->readPos < port->input.size() ? 1 : 0;
}

int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n) {
    if (!n) return 0;
    const std::uint32_t want = *n;
    if (want == 0) return 1;
    if (!port || !buf) {
        *n = 0;
        return 0;
    }
    const auto take =
        static_cast<std::uint32_t>(std::min<std::size_t>(want, port->input.size() - port->readPos));
    std::copy_n(port->input.begin() + static_cast<std::ptrdiff_t>(port->readPos), take, buf);
    port->readPos += take;
    *n = take;
    return take == want ? 1 : 0;
}

} // namespace tarq
