// Exported administrative commands and reports.
#include "core/context.h"
#include "driver/support.h"
#include "engine/exchange.h"
#include "tarqdriver.h"

#include <algorithm>
#include <array>

namespace tarq {
namespace {

constexpr std::array kAcceptedCodes{1,  2,  4,  5,  6,  8,  14, 15, 23, 25, 26,
                                    27, 29, 30, 31, 35, 36, 37, 38, 40, 41};

bool accepted(int code) {
    return std::find(kAcceptedCodes.begin(), kAcceptedCodes.end(), code) != kAcceptedCodes.end();
}

void printBanner() {
    say("\nTarqdriver_win32.dll version 1.%d_RS C 13.08.2007\n", TRQ_VERSION_PRINTED);
    say("Oldest terminal software supported: 01.20\n");
    say("Recommended terminal software, counter terminal: 01.38\n");
    say("Recommended terminal software, handheld terminal: 01.41\n");
    say("Doc: Tarqdriver Interface Specification_N_1_89\n\n");
}

// One administrative command: the entry line, the connection checks, the request, the main loop
// (except for a restart) and the result line.
struct Command {
    int code;
    const char* entryLine = nullptr;    // printed first, before the connection checks
    const char* resultFormat = nullptr; // printed with the result after the loop
};

int runCommand(const Command& c) {
    if (c.entryLine) say("%s", c.entryLine);
    if (const int refusal = connectionRefusal()) return refusal;
    const int result = runAdminCommand(c.code);
    if (c.code == TRQ_ADMIN_RESTART) return result;
    if (c.resultFormat) say(c.resultFormat, ctx.gstResultData);
    if (c.code == TRQ_ADMIN_ISSUER) {
        // The issuer query answers 20 plus the issuer the terminal reported.
        if (ctx.gstResultData == 0) ctx.gstResultData = ctx.tagIssuerID + TRQ_ISSUER_BASE;
        if (ctx.tagIssuerID == 0 && ctx.gstResultData == 1) ctx.gstResultData = TRQ_ISSUER_BASE;
    }
    return ctx.gstResultData;
}

int guardedCommand(const Command& c) {
    return guarded(TRQ_NO_RESULT, [&] { return runCommand(c); });
}

} // namespace
} // namespace tarq

using namespace tarq;

extern "C" {

int trqNorAdmin(int code, int value2, int value3) {
    const TraceCall call("trqNorAdmin", {code, value2, value3});
    return guarded(TRQ_NO_RESULT, [&] {
        say("trqNorAdmin %d %d %d\n", code, value2, value3);
        if (!accepted(code)) {
            say("Not available : trqNorAdmin %d\n", code);
            return TRQ_NOT_AVAILABLE;
        }
        if (code == TRQ_ADMIN_VERSION) {
            printVersion();
            printBanner();
            return TRQ_VERSION_PRINTED;
        }
        return runCommand({code, nullptr, "\ntrqNorAdmin %u\n"});
    });
}

int trqTermReport(void) {
    const TraceCall call("trqTermReport");
    return guardedCommand({TRQ_ADMIN_TERM_REPORT, "trqTermReport\n"});
}

int trqEndOfDay(void) {
    const TraceCall call("trqEndOfDay");
    return guardedCommand({TRQ_ADMIN_END_OF_DAY, "trqEndOfDay\n", "trqEndOfDay %d\n"});
}

int trqClockSyncHost(void) {
    const TraceCall call("trqClockSyncHost");
    return guardedCommand({TRQ_ADMIN_CLOCK_SYNC_HOST});
}

int trqClockSyncKelmo(void) {
    const TraceCall call("trqClockSyncKelmo");
    return guardedCommand({TRQ_ADMIN_CLOCK_SYNC, "trqClockSyncKelmo\n"});
}

int trqRestartTerm(void) {
    const TraceCall call("trqRestartTerm");
    return guarded(TRQ_NO_RESULT, [] {
        say("trqRestartTerm %d %d\n", ctx.closedFlag, ctx.openStatus);
        return runCommand({TRQ_ADMIN_RESTART});
    });
}

int trqTestConnection(void) {
    const TraceCall call("trqTestConnection");
    return guarded(TRQ_NO_RESULT, [] {
        say("trqTestConnection %d %d\n", ctx.closedFlag, ctx.openStatus);
        return runCommand({TRQ_ADMIN_TEST_CONNECTION});
    });
}

int trqLastReceipt(void) {
    const TraceCall call("trqLastReceipt");
    return guardedCommand({TRQ_ADMIN_LAST_RECEIPT, "trqLastReceipt\n"});
}

int trqTotalReport(void) {
    const TraceCall call("trqTotalReport");
    return guardedCommand({TRQ_ADMIN_TOTAL_REPORT, "trqTotalReport\n", "trqTotalReport %u\n"});
}

int trqLastEndOfDayReport(void) {
    const TraceCall call("trqLastEndOfDayReport");
    return guardedCommand({TRQ_ADMIN_LAST_END_OF_DAY, "trqLastEndOfDayReport\n"});
}

int trqParameterReport(void) {
    const TraceCall call("trqParameterReport");
    return guardedCommand(
        {TRQ_ADMIN_PARAMETER_REPORT, "trqParameterReport\n", "trqParamReport %u\n"});
}

int trqLog(void) {
    const TraceCall call("trqLog");
    return guarded(TRQ_NOT_AVAILABLE, [] {
        say("trqLog\n");
        return TRQ_NOT_AVAILABLE;
    });
}

int trqEmployeeReport(void) {
    const TraceCall call("trqEmployeeReport");
    return guarded(TRQ_NOT_AVAILABLE, [] {
        say("trqEmployeeReport\n");
        return TRQ_NOT_AVAILABLE;
    });
}

} // extern "C"
