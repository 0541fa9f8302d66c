// Loads the driver library at run time and finds its 21 operations, the way a cash register
// that ships the library beside itself does. Used by the ECR command line and the end-to-end
// tests (each of which loads its own copy so its tarqRS.ini is its own).
#pragma once

#include "tarqdriver.h"
#include "tools/ecr_os.h"

#include <string>
#include <type_traits>

namespace tarq::ecr {

struct DriverApi {
    decltype(&::trqInitCallback) trqInitCallback = nullptr;
    decltype(&::trqOpen) trqOpen = nullptr;
    decltype(&::trqOpenRS232) trqOpenRS232 = nullptr;
    decltype(&::trqClose) trqClose = nullptr;
    decltype(&::trqCloseRS232) trqCloseRS232 = nullptr;
    decltype(&::trqNorTransaction) trqNorTransaction = nullptr;
    decltype(&::trqNorCardTransaction) trqNorCardTransaction = nullptr;
    decltype(&::trqCardTransaction) trqCardTransaction = nullptr;
    decltype(&::trqNorAdmin) trqNorAdmin = nullptr;
    decltype(&::trqTermReport) trqTermReport = nullptr;
    decltype(&::trqEndOfDay) trqEndOfDay = nullptr;
    decltype(&::trqClockSyncHost) trqClockSyncHost = nullptr;
    decltype(&::trqClockSyncKelmo) trqClockSyncKelmo = nullptr;
    decltype(&::trqRestartTerm) trqRestartTerm = nullptr;
    decltype(&::trqTestConnection) trqTestConnection = nullptr;
    decltype(&::trqLastReceipt) trqLastReceipt = nullptr;
    decltype(&::trqTotalReport) trqTotalReport = nullptr;
    decltype(&::trqLastEndOfDayReport) trqLastEndOfDayReport = nullptr;
    decltype(&::trqParameterReport) trqParameterReport = nullptr;
    decltype(&::trqLog) trqLog = nullptr;
    decltype(&::trqEmployeeReport) trqEmployeeReport = nullptr;

    void* handle = nullptr;
    std::string error;

    DriverApi() = default;
    DriverApi(const DriverApi&) = delete;
    DriverApi& operator=(const DriverApi&) = delete;
    // The library stays loaded for the life of the process, as in a till: its process-wide
    // state (the line, the last terminal message's event) must stay reachable until exit.
    ~DriverApi() = default;

    // Loads the library at path; false (with `error` set) when it or an operation is missing.
    bool load(const std::string& path) {
        handle = loadLibrary(path, error);
        if (!handle) return false;
        bool ok = true;
        auto find = [&](auto& slot, const char* name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                librarySymbol(handle, name));
            if (!slot) {
                error += std::string(error.empty() ? "" : ", ") + "missing " + name;
                ok = false;
            }
        };
        find(trqInitCallback, "trqInitCallback");
        find(trqOpen, "trqOpen");
        find(trqOpenRS232, "trqOpenRS232");
        find(trqClose, "trqClose");
        find(trqCloseRS232, "trqCloseRS232");
        find(trqNorTransaction, "trqNorTransaction");
        find(trqNorCardTransaction, "trqNorCardTransaction");
        find(trqCardTransaction, "trqCardTransaction");
        find(trqNorAdmin, "trqNorAdmin");
        find(trqTermReport, "trqTermReport");
        find(trqEndOfDay, "trqEndOfDay");
        find(trqClockSyncHost, "trqClockSyncHost");
        find(trqClockSyncKelmo, "trqClockSyncKelmo");
        find(trqRestartTerm, "trqRestartTerm");
        find(trqTestConnection, "trqTestConnection");
        find(trqLastReceipt, "trqLastReceipt");
        find(trqTotalReport, "trqTotalReport");
        find(trqLastEndOfDayReport, "trqLastEndOfDayReport");
        find(trqParameterReport, "trqParameterReport");
        find(trqLog, "trqLog");
        find(trqEmployeeReport, "trqEmployeeReport");
        return ok;
    }
};

} // namespace tarq::ecr
