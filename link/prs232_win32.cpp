// Serial port on Windows: kernel32 comm API, 8N1, the link's read and write time-outs given to
// the port as they are, previous line state and time-outs put back on close.
#include "link/prs232.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <new>

namespace tarq {

struct PRS232_PORT {
    HANDLE handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS savedTimeouts{};
    DCB savedState{};
    // A read failed (device gone): from now on reads and waits sleep through their time-out, so
    // callers that loop on silence do not spin.
    bool broken = false;
};

namespace {

constexpr char kModeString[] = "TO=ON parity=N data=8 stop=1";
constexpr std::size_t kDeviceNameSize = 272; // "\\.\" + a 255-character device path + NUL

using DeviceName = std::array<char, kDeviceNameSize>;

// "\\.\COMn" for every n: the plain name only reaches COM1..COM9, and a port on a USB adapter
// is often COM10 or higher. An explicit device wins; a bare name such as "COM12" gets the
// same prefix, a full path ("\\.\COM3", "\\?\...") is used as it is.
DeviceName deviceName(std::uint8_t port, const char* device) {
    DeviceName name{};
    int length = 0;
    if (device != nullptr && device[0] != '\0') {
        const bool bare = std::strpbrk(device, "\\/:") == nullptr;
        length = std::snprintf(name.data(), name.size(), "%s%s", bare ? "\\\\.\\" : "", device);
    } else {
        length =
            std::snprintf(name.data(), name.size(), "\\\\.\\COM%u", static_cast<unsigned>(port));
    }
    // A name that does not fit is not cut to some other device's name: it opens nothing.
    if (length < 0 || static_cast<std::size_t>(length) >= name.size()) name.fill('\0');
    return name;
}

bool sameLine(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits;
}

// SetCommState also drives the modem lines (DTR/RTS). A line without them (a pseudo-terminal,
// some USB adapters) may refuse that part with ERROR_NOT_SUPPORTED once speed and framing are
// set; the link needs no modem lines, so such a port counts as set up when reading the state
// back shows the requested line settings.
bool applyState(HANDLE handle, DCB& state) {
    if (SetCommState(handle, &state)) return true;
    if (GetLastError() != ERROR_NOT_SUPPORTED) return false;
    DCB now{};
    now.DCBlength = sizeof(DCB);
    return GetCommState(handle, &now) && sameLine(now, state);
}

} // namespace

void PRS232_Delete(PRS232_PORT** port) {
    if (port == nullptr || *port == nullptr) return;
    PRS232_PORT* p = *port;
    if (p->handle != INVALID_HANDLE_VALUE) {
        SetCommState(p->handle, &p->savedState);
        SetCommTimeouts(p->handle, &p->savedTimeouts);
        CloseHandle(p->handle);
    }
    delete p;
    *port = nullptr;
}

PRS232_PORT* PRS232_Create(std::uint8_t port, std::uint32_t baud, const char* device) {
    auto* p = new (std::nothrow) PRS232_PORT;
    if (p == nullptr) return nullptr;

    const DeviceName name = deviceName(port, device);
    p->handle = CreateFileA(name.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    // The state read doubles as a presence test: a COM name can open while its device is gone
    // (Wine does so when the mapped device has vanished), and every later call would fail.
    p->savedState.DCBlength = sizeof(DCB);
    if (p->handle != INVALID_HANDLE_VALUE && !GetCommState(p->handle, &p->savedState)) {
        CloseHandle(p->handle);
        p->handle = INVALID_HANDLE_VALUE;
    }
    if (p->handle == INVALID_HANDLE_VALUE) {
        std::printf("PRS232_Create:INVALID_HANDLE_VALUE:%d\n", -1);
        std::fflush(stdout);
        PRS232_Delete(&p);
        return nullptr;
    }
    GetCommTimeouts(p->handle, &p->savedTimeouts);

    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!BuildCommDCBA(kModeString, &state)) {
        PRS232_Delete(&p);
        return nullptr;
    }
    // The mode string parser may leave fBinary at 0; Windows only does binary transfers.
    state.fBinary = TRUE;
    state.BaudRate = baud;

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = READ_INTERVAL_MS;
    timeouts.ReadTotalTimeoutMultiplier = READ_PER_BYTE_MS;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_MS;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_PER_BYTE_MS;
    timeouts.WriteTotalTimeoutConstant = WRITE_TOTAL_MS;

    if (!SetCommTimeouts(p->handle, &timeouts) || !applyState(p->handle, state)) {
        PRS232_Delete(&p);
        return nullptr;
    }
    return p;
}

int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    if (port == nullptr) return 0;
    if (n == 0) return 1;
    if (data == nullptr) return 0;
    DWORD written = 0;
    if (!WriteFile(port->handle, data, n, &written, nullptr)) return 0;
    return written == n ? 1 : 0;
}

int PRS232_Recv(PRS232_PORT* port, std::uint8_t* buf, std::uint32_t* n) {
    if (n == nullptr) return 0;
    const std::uint32_t wanted = *n;
    *n = 0;
    if (wanted == 0) return 1;
    if (port == nullptr || buf == nullptr) return 0;
    DWORD got = 0;
    bool failed = port->broken || !ReadFile(port->handle, buf, wanted, &got, nullptr);
    // Keep reading while every partial read brings something; the first silent read ends it.
    while (!failed && got > 0) {
        *n += got;
        if (*n >= wanted) break;
        got = 0;
        failed = !ReadFile(port->handle, buf + *n, wanted - *n, &got, nullptr);
    }
    if (failed) {
        port->broken = true;
        // A read that fails at once would otherwise make a silent line cost no time at all.
        if (*n == 0) Sleep(READ_TOTAL_MS + READ_PER_BYTE_MS * wanted);
    }
    return *n == wanted ? 1 : 0;
}

// No separate wait for input here: "input may be waiting" makes the link fall back to its plain
// one-byte reads with their 40 ms time-out, which is correct, only with more wake-ups while the
// line is silent. A broken port has nothing to wait for: the wait is slept through.
int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t ms) {
    if (port == nullptr || !port->broken) return 1;
    Sleep(ms);
    return 0;
}

} // namespace tarq
