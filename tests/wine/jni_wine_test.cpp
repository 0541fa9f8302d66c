// The Java bridge in the Windows build, under Wine. No Windows JVM is available, so the native
// methods are not called (each needs a JNIEnv); instead:
//  - jni_exports: the DLL, loaded by path as a JVM loads it, yields each of its exports by
//    name: the 21 plain operations and the 20 native methods, undecorated, nothing else (the
//    CI step compares the names themselves with the .def files);
//  - side_file_bytes / side_file_unicode_dir: the bridge's side-file routines, built for
//    Windows, write the same bytes as on Linux (a bare line feed, the terminal's bytes kept)
//    and find a directory whose name is not in the ANSI code page.
//
//   jni_wine_test <case> <path of the built DLL>
#include "core/context.h"
#include "jni/bridge.h"
#include "wine_check.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

namespace jb = tarq::javabridge;

std::string dllPath;

// Every name in the loaded module's export directory.
std::set<std::string> exportedNames(HMODULE module) {
    std::set<std::string> names;
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
    return names;
}

// Reads a file by its wide name, byte for byte.
std::string readFile(const std::wstring& path) {
    std::string bytes;
    std::FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) return "(missing)";
    int c;
    while ((c = std::fgetc(f)) != EOF)
        bytes.push_back(static_cast<char>(c));
    std::fclose(f);
    return bytes;
}

void writeFile(const std::wstring& path, const std::string& bytes) {
    std::FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// A fresh directory; the bridge gets its UTF-8 name with a trailing separator.
std::wstring freshDir(const std::wstring& name, const std::string& utf8Name) {
    for (const wchar_t* file : {L"display.trq", L"print.trq", L"issuer.trq", L"abort.trq"})
        DeleteFileW((name + L"\\" + file).c_str());
    CreateDirectoryW(name.c_str(), nullptr);
    jb::resetBridge();
    tarq::ctx.gstPosReceiptInfo.receipts = 0;
    CHECK_EQ(jb::setTrqPath(utf8Name + "\\"), jb::SET_PATH_OK);
    return name + L"\\";
}

// The side files' bytes after each step, as the Java till reads them.
void sideFileSequence(const std::wstring& dir) {
    // "ÅPNER" as the terminal's Windows-1252 bytes: kept as they are, no CR before the LF.
    jb::setLines("\xC5PNER RS232....     ", "                    ");
    CHECK_EQ(jb::writeDisplayFile(), 0);
    CHECK_PRINTED(readFile(dir + L"display.trq"),
                  std::string("\xC5PNER RS232....     \n                    \n"));

    jb::receiptReset();
    CHECK_PRINTED(readFile(dir + L"print.trq"), std::string("\n"));
    wcheck::captured([] {
        CHECK_EQ(jb::printReceipt(0, "KVITTERING\nBEL\xD8P 12,50\n"), 1);
        tarq::ctx.gstPosReceiptInfo.receipts = 1;
        CHECK_EQ(jb::printReceipt(1, "DEL 1 "), 1);
        CHECK_EQ(jb::printReceipt(0, "DEL 2"), 1);
    });
    CHECK_PRINTED(readFile(dir + L"print.trq"),
                  std::string("\nKVITTERING\nBEL\xD8P 12,50\n\nDEL 1 DEL 2\n"));

    tarq::ctx.issuerID = 7;
    CHECK_EQ(jb::writeIssuerFile(1), 0);
    CHECK_PRINTED(readFile(dir + L"issuer.trq"), std::string("07\n"));
    CHECK_EQ(jb::writeIssuerFile(0), 0);
    CHECK_PRINTED(readFile(dir + L"issuer.trq"), std::string("\n"));

    // A till on Windows may well write "1" with CR LF after it: only the first byte counts.
    writeFile(dir + L"abort.trq", "1\r\n");
    CHECK_EQ(jb::abortTransaction(), 1);
    CHECK_PRINTED(readFile(dir + L"display.trq"), std::string("ECR AVBRYTER\n\n"));
    writeFile(dir + L"abort.trq", "0\r\n");
    CHECK_EQ(jb::abortTransaction(), 0);
}

} // namespace

WCASE(jni_exports) {
    HMODULE module = LoadLibraryA(dllPath.c_str());
    if (!CHECK(module != nullptr)) return;
    const std::string javaPrefix = "Java_no_kelmo_javaTarq_";
    int plain = 0, java = 0;
    for (const std::string& name : exportedNames(module)) {
        if (name.rfind(javaPrefix, 0) == 0) {
            ++java;
        } else if (name.rfind("trq", 0) == 0 && name.find('@') == std::string::npos) {
            ++plain;
        } else {
            wcheck::report(false, __FILE__, __LINE__, "exported besides: " + name);
        }
        if (!CHECK(GetProcAddress(module, name.c_str()) != nullptr))
            std::printf("  not found: %s\n", name.c_str());
    }
    CHECK_EQ(plain, 21);
    CHECK_EQ(java, 20);
    CHECK(GetProcAddress(module, (javaPrefix + "SetTrqPath").c_str()) != nullptr);
    FreeLibrary(module);
}

WCASE(side_file_bytes) {
    sideFileSequence(freshDir(L"jni side files", "jni side files"));
}

// "Kasse Bjørn" is given to SetTrqPath as UTF-8; the files must land in that directory.
WCASE(side_file_unicode_dir) {
    const std::wstring dir = freshDir(L"Kasse Bj\u00F8rn \u0141", "Kasse Bj\xC3\xB8rn \xC5\x81");
    sideFileSequence(dir);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: jni_wine_test <case> <Tarqdriver_win32dll.dll>\n");
        return 2;
    }
    dllPath = argv[2];
    return wcheck::run(2, argv);
}
