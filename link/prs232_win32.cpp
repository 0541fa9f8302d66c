// Serial port on Windows: kernel32 comm API, 8N1, the link's read and write time-outs given to
// the port as they are, previous line state and time-outs put back on close.
#include "link/prs232.h"
#include "link/prs232_read.h"
#include "link/prs232_tcp.h"
#include "link/prs232_tcp_win32.h"

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
    // The device is gone: from now on reads and waits sleep through their time-out, so callers
    // that loop on silence do not spin.
    bool broken = false;
    TcpLine* tcp = nullptr; // a TCP connection instead of the device (handle invalid then)
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

// The line that says why the port did not open: the device, what failed, the system's text.
void sayFailure(const char* device, const char* what, DWORD error) {
    std::array<char, 256> text{};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text.data(), text.size(), nullptr);
    while (length > 0 && std::strchr(" .\r\n", text[length - 1]) != nullptr)
        --length;
    std::printf("PRS232_Create: %s: %s%.*s (error %lu)\n", device, what, static_cast<int>(length),
                text.data(), static_cast<unsigned long>(error));
    std::fflush(stdout);
}

// A failed read: a line error (framing, parity, overrun, break) stops the port's traffic until
// ClearCommError is called, so it is cleared here and the port reads on. The device counts as
// gone when the error says so, or when even ClearCommError fails: ERROR_OPERATION_ABORTED is
// what a line error gives with fAbortOnError set, but also what a vanished USB adapter gives,
// and only the clearing tells the two apart.
ReadFault readFault(HANDLE handle, DWORD error) {
    DWORD errors = 0;
    COMSTAT status{};
    const bool cleared = ClearCommError(handle, &errors, &status) != 0;
    switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
        return ReadFault::Gone;
    default:
        return cleared ? ReadFault::Line : ReadFault::Gone;
    }
}

} // namespace

void PRS232_Delete(PRS232_PORT** port) {
    if (port == nullptr || *port == nullptr) return;
    PRS232_PORT* p = *port;
    tcpClose(p->tcp);
    if (p->handle != INVALID_HANDLE_VALUE) {
        SetCommState(p->handle, &p->savedState);
        SetCommTimeouts(p->handle, &p->savedTimeouts);
        CloseHandle(p->handle);
    }
    delete p;
    *port = nullptr;
}

PRS232_PORT* PRS232_CreateTcp(const char* device) {
    TcpLine* line = tcpConnect(device);
    if (line == nullptr) return nullptr;
    auto* p = new (std::nothrow) PRS232_PORT;
    if (p == nullptr) tcpClose(line);
    if (p != nullptr) p->tcp = line;
    return p;
}

PRS232_PORT* PRS232_Create(std::uint8_t port, std::uint32_t baud, const char* device) {
    if (PRS232_IsTcp(device)) return PRS232_CreateTcp(device);
    auto* p = new (std::nothrow) PRS232_PORT;
    if (p == nullptr) return nullptr;

    const DeviceName name = deviceName(port, device);
    p->handle = CreateFileA(name.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
    // The state read doubles as a presence test: a COM name can open while its device is gone
    // (Wine does so when the mapped device has vanished), and every later call would fail.
    p->savedState.DCBlength = sizeof(DCB);
    DWORD error = GetLastError();
    if (p->handle != INVALID_HANDLE_VALUE && !GetCommState(p->handle, &p->savedState)) {
        error = GetLastError();
        CloseHandle(p->handle);
        p->handle = INVALID_HANDLE_VALUE;
    }
    if (p->handle == INVALID_HANDLE_VALUE) {
        std::printf("PRS232_Create:INVALID_HANDLE_VALUE:%d\n", -1);
        if (name[0] == '\0')
            std::printf("PRS232_Create: device name longer than 255 characters\n");
        else
            sayFailure(name.data(), "", error);
        std::fflush(stdout);
        PRS232_Delete(&p);
        return nullptr;
    }
    GetCommTimeouts(p->handle, &p->savedTimeouts);

    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (!BuildCommDCBA(kModeString, &state)) {
        sayFailure(name.data(), "8N1 refused: ", GetLastError());
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
        char what[48];
        std::snprintf(what, sizeof what,
                      "8N1 at %lu bit/s refused: ", static_cast<unsigned long>(baud));
        sayFailure(name.data(), what, GetLastError());
        PRS232_Delete(&p);
        return nullptr;
    }
    return p;
}

int PRS232_Send(PRS232_PORT* port, const std::uint8_t* data, std::uint32_t n) {
    if (port == nullptr) return 0;
    if (n == 0) return 1;
    if (data == nullptr) return 0;
    if (port->tcp != nullptr) return tcpSend(port->tcp, data, n);
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
    if (port->tcp != nullptr) {
        *n = tcpRecv(port->tcp, buf, wanted);
        return *n == wanted ? 1 : 0;
    }
    const auto call = [port](std::uint8_t* to, std::uint32_t count) {
        DWORD got = 0;
        if (ReadFile(port->handle, to, count, &got, nullptr))
            return ReadStep{static_cast<std::uint32_t>(got)};
        return ReadStep{0, readFault(port->handle, GetLastError())};
    };
    const ReadStep read = readUntilSilent(call, buf, wanted, port->broken);
    *n = read.got;
    // A read that fails at once would otherwise make a silent line cost no time at all.
    if ((read.fault != ReadFault::None || port->broken) && read.got == 0)
        Sleep(READ_TOTAL_MS + READ_PER_BYTE_MS * wanted);
    return *n == wanted ? 1 : 0;
}

// No separate wait for input here: "input may be waiting" makes the link fall back to its plain
// one-byte reads with their 40 ms time-out, which is correct, only with more wake-ups while the
// line is silent. A broken port has nothing to wait for: the wait is slept through.
int PRS232_WaitInput(PRS232_PORT* port, std::uint32_t ms) {
    if (port != nullptr && port->tcp != nullptr) return tcpWaitInput(port->tcp, ms);
    if (port == nullptr || !port->broken) return 1;
    Sleep(ms);
    return 0;
}

// A device that is gone fails even the clearing of line errors; nothing is read.
int PRS232_Gone(PRS232_PORT* port) {
    if (port == nullptr) return 1;
    if (port->tcp != nullptr) return tcpGone(port->tcp);
    DWORD errors = 0;
    COMSTAT status{};
    if (!port->broken && !ClearCommError(port->handle, &errors, &status)) port->broken = true;
    return port->broken ? 1 : 0;
}

} // namespace tarq
