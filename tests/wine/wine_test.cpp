// Only what the Windows build has, under Wine: the COM port, tarqRS.ini beside the DLL, the side
// files, one purchase through the DLL by path. COM5: the simulator's pty; COM6: a vanished device.
#include "jni/bridge.h"
#include "link/prs232.h"
#include "tarqdriver.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

namespace {

int failures = 0;
#define CHECK(c) ((c) || (++failures, std::printf("%s:%d: %s\n", __FILE__, __LINE__, #c), false))

DWORD com5Baud(DWORD set = 0) {
    HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    if (set) dcb.BaudRate = set, SetCommState(h, &dcb);
    CloseHandle(h);
    return dcb.BaudRate;
}

void port() {
    const std::string tooLong = "COM5" + std::string(300, 'x');
    const std::pair<const char*, bool> names[] = {
        {"COM0", false}, {"COM6", false},       {"COM200", false}, {tooLong.c_str(), false},
        {"COM5", true},  {"\\\\.\\COM5", true}, {"COM12", true}}; // COM12 opens only as \\.\COM12
    for (const auto& [name, opens] : names) {
        tarq::PRS232_PORT* p = tarq::PRS232_Create(0, 115200, name);
        CHECK((p != nullptr) == opens);
        tarq::PRS232_Delete(&p);
    }
    CHECK(com5Baud(9600) == 9600);
    tarq::PRS232_PORT* p = tarq::PRS232_Create(5, 115200);
    std::uint8_t byte = 0;
    std::uint32_t n = 1;
    const auto t0 = std::chrono::steady_clock::now();
    CHECK(tarq::PRS232_Recv(p, &byte, &n) == 0 && n == 0); // the simulator waits for the ECR
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    CHECK(took.count() > 25 && took.count() < 1000); // about 41 ms
    tarq::PRS232_Delete(&p);
    CHECK(com5Baud() == 9600); // the line settings are handed back
}

std::string dllSource;

std::string copyDll(const std::string& dir, const std::string& name, const char* comPort,
                    const char* device = nullptr) {
    CreateDirectoryA(dir.c_str(), nullptr);
    DeleteFileA((dir + "\\tarqRS.ini").c_str());
    if (comPort)
        std::ofstream(dir + "\\tarqRS.ini", std::ios::binary)
            << "[COMPORT]\r\n\"" << comPort << "\"\r\n[BAUDRATE]\r\n\"115200\"\r\n"
            << (device ? "[DEVICE]\r\n\"" + std::string(device) + "\"\r\n" : "");
    CHECK(CopyFileA(dllSource.c_str(), (dir + "\\" + name).c_str(), FALSE));
    return dir + "\\" + name;
}

template <class F> F get(HMODULE m, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

int openOnce(const std::string& dll) {
    HMODULE m = LoadLibraryA(dll.c_str());
    const int r = get<decltype(&trqOpen)>(m, "trqOpen")("", 0);
    get<decltype(&trqCloseRS232)>(m, "trqCloseRS232")();
    FreeLibrary(m);
    return r;
}

// tarqRS.ini is read beside the DLL only (COM6 leads nowhere: -6 proves it read), from a directory
// that leaves it room in 260 bytes; one character deeper is refused, not cut short.
void ini() {
    copyDll(".", "decoy.dll", "5");
    CHECK(openOnce(copyDll("plain", "Tarqdriver_win32dll.dll", nullptr)) == TRQ_OPEN_NO_CONFIG);
    CHECK(openOnce(copyDll("plain", "Tarqdriver_win32dll.dll", "6")) == TRQ_OPEN_NO_LINK);
    char cwd[MAX_PATH];
    std::string dir(cwd, GetCurrentDirectoryA(MAX_PATH, cwd));
    while (dir.size() < 248) { // 40-character names, the last one ending at 248 bytes
        const std::size_t left = 247 - dir.size();
        CreateDirectoryA((dir += "\\" + std::string(left > 41 ? 40 : left, 'd')).c_str(), nullptr);
    }
    CHECK(dir.size() == 248 && openOnce(copyDll(dir, "t.dll", "6")) == TRQ_OPEN_NO_LINK);
    CHECK(openOnce(copyDll(dir + "d", "t.dll", "6")) == TRQ_OPEN_NO_MODULE);
}

// Bare line feeds, in a directory named outside the ANSI code page; CR LF after a till's 1.
void sideFiles() {
    const std::filesystem::path dir = L"Kasse Bj\u00F8rn \u0141";
    std::filesystem::create_directory(dir);
    CHECK(tarq::javabridge::setTrqPath("Kasse Bj\xC3\xB8rn \xC5\x81\\") == 0);
    tarq::javabridge::displayStatus("\xC5PNER", "");
    std::ifstream display(dir / "display.trq", std::ios::binary);
    CHECK(std::string(std::istreambuf_iterator<char>(display), {}) == "\xC5PNER\n\n");
    std::ofstream(dir / "abort.trq", std::ios::binary) << "1\r\n";
    CHECK(tarq::javabridge::abortTransaction() == 1);
}

std::string receipts;

// Over COM5, or over TCP to the simulator that run_case.sh started on TARQ_TCP_DEVICE.
void purchase() {
    const char* tcp = std::getenv("TARQ_TCP_DEVICE");
    HMODULE m = LoadLibraryA(copyDll("ecr dir", "Kasse Terminal.dll", "5", tcp).c_str());
    const auto init = get<decltype(&trqInitCallback)>(m, "trqInitCallback");
    init(TRQ_CB_PRINT_RECEIPT,
         reinterpret_cast<void*>(+[](int, const char* text) { return receipts += text, 1; }));
    init(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(+[](const char*) { return 1; }));
    init(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(+[] { return 0; }));
    CHECK(get<decltype(&trqOpen)>(m, "trqOpen")("", 0) == TRQ_OPEN_OK);
    CHECK(get<decltype(&trqNorTransaction)>(m, "trqNorTransaction")(
              0, 1250, 578, '1', 0, 1250, "", "", 0, 0, "", "", "") == TRQ_APPROVED);
    CHECK(receipts.find("KJ\xD8P      NOK 12,50\n") != std::string::npos);
    CHECK(get<decltype(&trqClose)>(m, "trqClose")(0) == TRQ_CLOSE_OK);
}

} // namespace

int main(int argc, char** argv) {
    const std::pair<std::string, void (*)()> cases[] = {{"port", port},
                                                        {"ini", ini},
                                                        {"side_files", sideFiles},
                                                        {"purchase", purchase},
                                                        {"tcp_purchase", purchase}};
    for (const auto& [name, run] : cases)
        if (argc == 3 && name == argv[1])
            return dllSource = argv[2], run(), std::printf("%d failed\n", failures), failures != 0;
    return std::printf("usage: wine_test CASE DLL\n"), 2;
}
