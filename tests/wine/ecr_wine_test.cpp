// A cash register under Wine: loads Tarqdriver_win32dll.dll (a copy in a directory of its own,
// under its own name or another) by its path, resolves the plain exports by name, and runs the
// operations against the terminal simulator on COM5. Also shows that tarqRS.ini is found
// beside the DLL, wherever it lies and whatever it is called.
//
//   ecr_wine_test <case> <path of the built DLL>
#include "tarqdriver.h"
#include "wine_check.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using wcheck::captured;

std::string dllSource; // the DLL the build produced

// ---------------------------------------------------------------------------------------------
// The driver as a cash register sees it: a DLL loaded by path, the operations it uses found
// by name (the whole export table is checked by jni_exports and the CI step).

#define TARQ_OPERATIONS(X)                                                                         \
    X(trqInitCallback)                                                                             \
    X(trqOpen) X(trqOpenRS232) X(trqClose) X(trqCloseRS232) X(trqNorTransaction) X(trqNorAdmin)    \
        X(trqEndOfDay) X(trqTestConnection)

struct Driver {
    HMODULE module = nullptr;
#define TARQ_MEMBER(name) decltype(&::name) name = nullptr;
    TARQ_OPERATIONS(TARQ_MEMBER)

    bool load(const std::string& path) {
        module = LoadLibraryA(path.c_str());
        if (!CHECK(module != nullptr)) return false;
        bool ok = true;
#define TARQ_RESOLVE(name)                                                                         \
    name =                                                                                         \
        reinterpret_cast<decltype(name)>(reinterpret_cast<void*>(GetProcAddress(module, #name)));  \
    ok = CHECK(name != nullptr) && ok;
        TARQ_OPERATIONS(TARQ_RESOLVE)
        return ok;
    }
};

// ---------------------------------------------------------------------------------------------
// The cash register's callbacks record what the driver hands them.

struct Seen {
    std::vector<std::pair<std::string, std::string>> display;
    std::vector<std::pair<int, std::string>> receipts;
    std::vector<std::string> cards;
    bool abortOnCardPrompt = false;
    bool abortAnswered = false;
    int abortQueriesAfterYes = 0;

    bool displayed(const std::string& prefix) const {
        for (const auto& line : display)
            if (line.first.rfind(prefix, 0) == 0) return true;
        return false;
    }
};
Seen seen;

int onCard(const char* text) {
    seen.cards.emplace_back(text);
    return 1;
}
int onReceipt(int segment, const char* text) {
    seen.receipts.emplace_back(segment, text);
    return 1;
}
void onDisplay(const char* l1, const char* l2) {
    seen.display.emplace_back(l1, l2);
}
int onAbortQuery() {
    if (seen.abortAnswered) {
        ++seen.abortQueriesAfterYes;
        return 0;
    }
    if (seen.abortOnCardPrompt && seen.displayed("SETT INN KORT")) seen.abortAnswered = true;
    return seen.abortAnswered ? 1 : 0;
}

void registerCallbacks(Driver& d) {
    d.trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&onCard));
    d.trqInitCallback(TRQ_CB_PRINT_RECEIPT, reinterpret_cast<void*>(&onReceipt));
    d.trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(&onDisplay));
    d.trqInitCallback(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(&onAbortQuery));
}

// ---------------------------------------------------------------------------------------------
// Files and standard output.

std::string absolute(const std::string& path) {
    char full[MAX_PATH] = {};
    GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

// A fresh directory holding a copy of the DLL under `dllName`; returns the DLL's full path.
std::string install(const std::string& dir, const std::string& dllName) {
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string target = absolute(dir + "\\" + dllName);
    DeleteFileA((dir + "\\tarqRS.ini").c_str());
    CHECK(CopyFileA(dllSource.c_str(), target.c_str(), FALSE));
    return target;
}

void writeIni(const std::string& dir, const std::string& comPort) {
    std::ofstream(dir + "\\tarqRS.ini", std::ios::binary)
        << "[COMPORT]\r\n\"" << comPort << "\"\r\n[BAUDRATE]\r\n\"115200\"\r\n";
}

int purchase(Driver& d, int amount = 1250) {
    return d.trqNorTransaction(0, amount, 578, '1', 0, amount, "", "", 0, 0, "", "", "");
}

// Loaded under another name from another directory, with a blank in its path.
Driver openRenamed() {
    Driver d;
    const std::string dir = "ecr dir";
    const std::string dll = install(dir, "Kasse Terminal.dll");
    writeIni(dir, "5");
    if (d.load(dll)) registerCallbacks(d);
    return d;
}

} // namespace

// tarqRS.ini is looked for beside the DLL only, not in the current directory (the other cases
// load a renamed DLL from another directory). COM6 leads nowhere, so -6 proves the file read.
WCASE(ini_beside_dll) {
    writeIni(".", "5"); // a decoy in the current directory
    const std::string dll = install("plain", "Tarqdriver_win32dll.dll");
    Driver d;
    if (!d.load(dll)) return;
    int r = 0;
    std::string out = captured([&] { r = d.trqOpen("", 0); });
    CHECK_EQ(r, TRQ_OPEN_NO_CONFIG);
    CHECK_PRINTED(out, "ReadParameters - error\nReadParameters - error\n");

    writeIni("plain", "6");
    out = captured([&] { r = d.trqOpen("", 0); });
    CHECK_EQ(r, TRQ_OPEN_NO_LINK);
    CHECK_PRINTED(out, "ReadParameters 6\nPRS232_Create:INVALID_HANDLE_VALUE:-1\n"
                       "Failed to connect -6\n");
    out = captured([&] { r = d.trqCloseRS232(); });
    CHECK_EQ(r, TRQ_CLOSE_NOT_OPEN);
    CHECK_PRINTED(out, "trqCloseRS232 0 -6\nTARQ is not open! ComPort may be busy. 0 -6\n");

    DeleteFileA("tarqRS.ini");
}

// The configuration path has 260 bytes. A DLL whose directory leaves room for "tarqRS.ini"
// and the terminator reads it; one directory level deeper by a single character, the driver
// refuses with -8 rather than cutting the path short.
WCASE(ini_path_limits) {
    // Directory (with its trailing separator) of `dirLength` characters below the current one.
    const auto deepDir = [](std::size_t dirLength) {
        std::string dir = absolute(".");
        while (dir.size() + 1 < dirLength) {
            const std::size_t remaining = dirLength - 1 - dir.size();
            std::size_t name = std::min<std::size_t>(remaining - 1, 40);
            if (remaining - 1 - name == 1) --name; // never leave room for a separator alone
            dir += "\\" + std::string(name, 'd');
            CreateDirectoryA(dir.c_str(), nullptr);
        }
        return dir;
    };
    struct Row {
        std::size_t dirLength;
        int expected;
    };
    for (const Row row : {Row{249, TRQ_OPEN_NO_LINK}, Row{250, TRQ_OPEN_NO_MODULE}}) {
        const std::string dir = deepDir(row.dirLength);
        if (!CHECK_EQ(dir.size() + 1, row.dirLength)) continue;
        const std::string dll = dir + "\\t.dll";
        DeleteFileA(dll.c_str());
        CHECK(CopyFileA(dllSource.c_str(), dll.c_str(), FALSE));
        if (row.expected == TRQ_OPEN_NO_LINK) writeIni(dir, "6");
        Driver d;
        if (!d.load(dll)) continue;
        int r = 0;
        captured([&] { r = d.trqOpen("", 0); });
        CHECK_EQ(r, row.expected);
        FreeLibrary(d.module);
    }
}

WCASE(ecr_open_close) {
    Driver d = openRenamed();
    if (!d.module) return;
    int r = 0;
    std::string out = captured([&] { r = d.trqOpen("", 0); });
    CHECK_EQ(r, TRQ_OPEN_OK);
    CHECK_PRINTED(out, "ReadParameters 5\n");
    out = captured([&] { r = d.trqOpen("", 0); });
    CHECK_EQ(r, TRQ_OPEN_ALREADY);
    CHECK_PRINTED(out, "TARQ already open 0 100\n");
    CHECK_EQ(d.trqTestConnection(), TRQ_APPROVED);
    out = captured([&] { r = d.trqCloseRS232(); });
    CHECK_EQ(r, TRQ_CLOSE_OK);
    CHECK_PRINTED(out, "trqCloseRS232 0 99\n");
    out = captured([&] { r = d.trqCloseRS232(); });
    CHECK_EQ(r, TRQ_CLOSE_ALREADY);
    CHECK_PRINTED(out, "trqCloseRS232 1 0\nTARQ already closed 1 0\n");
    CHECK_EQ(purchase(d), TRQ_CLOSED);

    // The port was handed back: it opens again.
    out = captured([&] { r = d.trqOpenRS232(); });
    CHECK_EQ(r, TRQ_OPEN_OK);
    CHECK_PRINTED(out, "trqOpenRS232\nReadParameters 5\n");
    CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
}

// DEVICE names the port instead of COMPORT: a bare name and a full device path both reach COM5.
WCASE(ecr_device_entry) {
    const std::string dll = install("device dir", "Tarqdriver_win32dll.dll");
    Driver d;
    if (!d.load(dll)) return;
    registerCallbacks(d);
    for (const char* device : {"COM5", "\\\\.\\COM5"}) {
        std::ofstream(std::string("device dir\\tarqRS.ini"), std::ios::binary)
            << "[BAUDRATE]\r\n\"115200\"\r\n[DEVICE]\r\n\"" << device << "\"\r\n";
        int r = 0;
        const std::string out = captured([&] { r = d.trqOpen("", 0); });
        CHECK_EQ(r, TRQ_OPEN_OK);
        CHECK_PRINTED(out, "");
        CHECK_EQ(d.trqTestConnection(), TRQ_APPROVED);
        CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
    }
}

WCASE(ecr_purchase_approved) {
    Driver d = openRenamed();
    if (!d.module || !CHECK_EQ(d.trqOpen("", 0), TRQ_OPEN_OK)) return;
    int r = -1;
    const std::string out = captured([&] { r = purchase(d); });
    CHECK_EQ(r, TRQ_APPROVED);
    CHECK_PRINTED(out, "PTAG_TRANS_COMPLETED = 0, issuerID=3\n");
    CHECK(seen.cards == std::vector<std::string>{"4571999900001234=2812101"});
    if (CHECK_EQ(seen.receipts.size(), 2u)) {
        CHECK_EQ(seen.receipts[0].first, 1);
        CHECK_EQ(seen.receipts[1].first, 0);
        CHECK(seen.receipts[0].second.find("KJ\xD8P      NOK 12,50\n") != std::string::npos);
        CHECK(seen.receipts[1].second.find("KUNDENS KOPI") != std::string::npos);
    }
    CHECK(seen.displayed("BEL\xD8P NOK 12,50"));
    CHECK(seen.displayed("GODKJENT"));
    CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
}

WCASE(ecr_purchase_declined) {
    Driver d = openRenamed();
    if (!d.module || !CHECK_EQ(d.trqOpen("", 0), TRQ_OPEN_OK)) return;
    int r = -1;
    const std::string out = captured([&] { r = purchase(d); });
    CHECK_EQ(r, 10);
    CHECK_PRINTED(out, "PTAG_TRANS_COMPLETED = 10, issuerID=0\n");
    CHECK(seen.displayed("AVVIST"));
    seen = Seen{};
    CHECK_EQ(purchase(d), TRQ_APPROVED); // the next one on the same connection
    CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
}

WCASE(ecr_abort) {
    Driver d = openRenamed();
    if (!d.module || !CHECK_EQ(d.trqOpen("", 0), TRQ_OPEN_OK)) return;
    seen.abortOnCardPrompt = true;
    CHECK_EQ(purchase(d), 17);
    CHECK(seen.abortAnswered);
    CHECK_EQ(seen.abortQueriesAfterYes, 0);
    CHECK(seen.cards.empty());
    CHECK(seen.receipts.empty());
    CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
}

WCASE(ecr_admin) {
    Driver d = openRenamed();
    if (!d.module || !CHECK_EQ(d.trqOpen("", 0), TRQ_OPEN_OK)) return;
    int r = -1;
    std::string out = captured([&] { r = d.trqEndOfDay(); });
    CHECK_EQ(r, TRQ_APPROVED);
    CHECK_PRINTED(out, "trqEndOfDay\ntrqEndOfDay 0\n");
    CHECK_EQ(seen.receipts.size(), 1u);

    out = captured([&] { r = d.trqNorAdmin(1, 5, 6); });
    CHECK_EQ(r, TRQ_APPROVED);
    CHECK_PRINTED(out, "trqNorAdmin 1 5 6\n\ntrqNorAdmin 0\n");

    CHECK_EQ(d.trqClose(0), TRQ_CLOSE_OK);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: ecr_wine_test <case> <Tarqdriver_win32dll.dll>\n");
        return 2;
    }
    dllSource = absolute(argv[2]);
    char* args[] = {argv[0], argv[1]};
    return wcheck::run(2, args);
}
