/*
 * tarqdriver: payment card terminal driver for cash registers (ECR).
 *
 * A cash register loads the library (libtarqdriver.so, Tarqdriver_win32dll.dll on Windows),
 * registers its callbacks, opens the line to the terminal, runs payments and administrative
 * commands, and closes the line. The terminal is on a serial line described by the file
 * "tarqRS.ini" in the same directory as the library file (on Linux, when there is none there,
 * /etc/tarqdriver/tarqRS.ini).
 *
 * Calling order
 *   1. trqInitCallback once for each callback kind the cash register serves (0 to 3, and 4 to 6
 *      when it needs them), or the typed trqInitSetCarddata, trqInitPrintReceipt, ... .
 *      Register callbacks before opening: every call of trqInitCallback also resets the
 *      driver's per-call state.
 *   2. trqOpen or trqOpenRS232. After a result of 1 or 7, close before opening again; after a
 *      negative result, open again when the cause is fixed.
 *   3. Any number of payments (trqNorTransaction, trqNorCardTransaction) and administrative
 *      commands (trqNorAdmin, trqTermReport, ...).
 *   4. trqCloseRS232 or trqClose.
 *
 * Threading contract
 *   - One call at a time: the driver keeps one process-wide state and takes no locks. Call the
 *     operations from one thread, never two at once.
 *   - Every operation is synchronous. Payments and administrative commands return when the
 *     terminal has finished the exchange (or a time-out ended it); open, close and restart
 *     return once the link has had their one message acknowledged or has given up.
 *   - Callbacks run on the caller's thread, from inside the running operation. A callback must
 *     not call any operation of the driver, and must not keep the text pointers it is given:
 *     they are valid only during the callback.
 *   - The driver creates no threads.
 *
 * Texts
 *   Display lines and receipts are in the terminal's character set, Windows-1252 (Norwegian
 *   letters such as 0xD8 and 0xC5 occur). Display lines are always 20 characters, blank padded
 *   (empty after a reset).
 *
 * Result codes
 *   The driver's own codes and the terminal's result bytes share one range of numbers; the
 *   constants below name the ones the driver produces or explains. Any other value of a payment
 *   or command is the terminal's own result.
 *
 * Standard output
 *   The driver writes progress lines to standard output (for example the refusal lines quoted
 *   per function below); a cash register that needs a clean stdout redirects it.
 */
#ifndef TARQDRIVER_H
#define TARQDRIVER_H

/* Version of this header and of the library built with it. The build takes the project's
 * version from these three lines, so they are the only place it is written. */
#define TARQDRIVER_VERSION_MAJOR 1
#define TARQDRIVER_VERSION_MINOR 89
#define TARQDRIVER_VERSION_PATCH 0
#define TARQDRIVER_VERSION_STRING "1.89.0"
/* One number for comparisons in #if: 10000 * major + 100 * minor + patch. */
#define TARQDRIVER_VERSION                                                                         \
    (TARQDRIVER_VERSION_MAJOR * 10000L + TARQDRIVER_VERSION_MINOR * 100L + TARQDRIVER_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(TARQDRIVER_BUILD)
#define TRQ_API __declspec(dllexport)
#else
#define TRQ_API __declspec(dllimport)
#endif
#else
#if defined(TARQDRIVER_BUILD)
#define TRQ_API __attribute__((visibility("default")))
#else
#define TRQ_API
#endif
#endif

/* ---- Callback kinds for trqInitCallback ------------------------------------------------- */

/* 0: card data of a card the terminal read: trqSetCarddataFn. Return 1 to accept the card;
 *    any other value refuses it (the terminal is told to abort). */
#define TRQ_CB_SET_CARDDATA 0
/* 1: a receipt text to print: trqPrintReceiptFn. segment is 1 while more segments follow and 0
 *    for the last one. Return non-zero when printed (the count goes back to the terminal). */
#define TRQ_CB_PRINT_RECEIPT 1
/* 2: the two display status lines changed: trqDisplayStatusFn. */
#define TRQ_CB_DISPLAY_STATUS 2
/* 3: the abort question, asked repeatedly while a payment runs: trqAbortQueryFn. Return non-zero
 *    to abort the running payment. Answering yes once is enough: the driver keeps the request
 *    until the exchange is in a state where it can act on it, and stops asking once it has
 *    sent the abort. The terminal then ends the payment with its own result. */
#define TRQ_CB_ABORT_QUERY 3
/* 4: the terminal asks whether to accept an externally read card: trqExtCardConfirmFn.
 *    Return 1 to accept, 2 to reject; any other value gives no verdict (nothing is sent). */
#define TRQ_CB_EXT_CARD_CONFIRM 4
/* 5: the terminal asks whether the customer's signature is good: trqVerSigConfirmFn.
 *    Return 1 when it is; any other value rejects it. Without this callback every signature
 *    counts as rejected. */
#define TRQ_CB_VERSIG_CONFIRM 5
/* 6: the terminal sent its advice flag: trqAdviceFlagFn (information only). */
#define TRQ_CB_ADVICE_FLAG 6

typedef int (*trqSetCarddataFn)(const char* cardText);
typedef int (*trqPrintReceiptFn)(int segment, const char* receiptText);
typedef void (*trqDisplayStatusFn)(const char* line1, const char* line2);
typedef int (*trqAbortQueryFn)(void);
typedef int (*trqExtCardConfirmFn)(void);
typedef int (*trqVerSigConfirmFn)(void);
typedef void (*trqAdviceFlagFn)(void);

/* ---- Result codes --------------------------------------------------------------------- */

/* trqOpen, trqOpenRS232 */
#define TRQ_OPEN_OK 100          /* link up, terminal acknowledged the open message */
#define TRQ_OPEN_ALREADY 99      /* already open; nothing done, still open */
#define TRQ_OPEN_INCOMPLETE 7    /* a previous open did not complete; close first */
#define TRQ_OPEN_NOT_DELIVERED 1 /* link up, open message not delivered; close first */
#define TRQ_OPEN_NO_MESSAGE 0    /* link up, no open message (callbacks never registered) */
#define TRQ_OPEN_NO_LINK (-6)    /* serial port missing or busy */
#define TRQ_OPEN_NO_CONFIG (-7)  /* tarqRS.ini missing or unreadable beside the library */
#define TRQ_OPEN_NO_MODULE (-8)  /* the library could not find its own file */

/* trqClose, trqCloseRS232 */
#define TRQ_CLOSE_OK 0            /* closed; close message delivered (or none was built) */
#define TRQ_CLOSE_NOT_DELIVERED 2 /* closed, but the close message was not delivered */
#define TRQ_CLOSE_ALREADY 99      /* trqCloseRS232: already closed */
#define TRQ_CLOSE_NOT_OPEN 7      /* trqCloseRS232: the last open failed; nothing to close */

/* Payments and administrative commands: the driver's refusals */
#define TRQ_NOT_OPEN 7               /* the connection is not open (never opened, or failed) */
#define TRQ_CLOSED 8                 /* the connection was closed */
#define TRQ_NOT_AVAILABLE 9          /* operation or command code not available */
#define TRQ_ILLEGAL_TYPE 13          /* transaction type above 6 */
#define TRQ_AMOUNT_TOO_HIGH 14       /* amount above TRQ_MAX_AMOUNT */
#define TRQ_AMOUNT_TOO_LOW 15        /* amount below TRQ_MIN_AMOUNT */
#define TRQ_AMOUNT_BELOW_PURCHASE 16 /* amount below the purchase amount */
#define TRQ_VERSION_PRINTED 89       /* trqNorAdmin(35): version lines printed */
#define TRQ_RESTART_SENT 0           /* restart acknowledged by the terminal's link */
#define TRQ_ISSUER_BASE 20           /* trqNorAdmin(40): 20 + the issuer number */

/* Payments and administrative commands: results of the exchange */
#define TRQ_APPROVED 0       /* the terminal reported success */
#define TRQ_NO_RESULT 1      /* no result arrived (or an earlier transaction's result) */
#define TRQ_TIMEOUT 2        /* the terminal fell silent; check the last receipt */
#define TRQ_NO_RECEIPT 3     /* terminal: no receipt, take a copy */
#define TRQ_NO_LOG 4         /* terminal: nothing to reconcile */
#define TRQ_TERM_NOT_READY 5 /* terminal not ready, even after resending */
#define TRQ_NO_CONNECTION 6  /* the terminal did not answer a request */

/* Amount limits of trqNorTransaction, inclusive, in minor currency units */
#define TRQ_MIN_AMOUNT 50
#define TRQ_MAX_AMOUNT 99999999

/* Administrative command codes with an operation of their own (trqNorAdmin takes these and
 * 6, 27, 29, 30, 31, 36, 37, 38, 40, 41, whose meaning lies with the terminal) */
#define TRQ_ADMIN_TERM_REPORT 1
#define TRQ_ADMIN_END_OF_DAY 2
#define TRQ_ADMIN_CLOCK_SYNC_HOST 4
#define TRQ_ADMIN_CLOCK_SYNC 5
#define TRQ_ADMIN_RESTART 8
#define TRQ_ADMIN_TEST_CONNECTION 14
#define TRQ_ADMIN_LAST_RECEIPT 15
#define TRQ_ADMIN_TOTAL_REPORT 23
#define TRQ_ADMIN_LAST_END_OF_DAY 25
#define TRQ_ADMIN_PARAMETER_REPORT 26
#define TRQ_ADMIN_VERSION 35
#define TRQ_ADMIN_ISSUER 40

/* ---- Initialisation, open and close --------------------------------------------------- */

/* Registers routine for callback kind (TRQ_CB_*); routine is a pointer to a function of the
 * kind's type, cast to void*. Every call also resets the driver's per-call state and rebuilds
 * the transaction automaton; call it for each kind before trqOpen. Called while the connection
 * is open it keeps the connection usable. A kind outside 0..6 stores nothing (the reset still
 * happens). */
TRQ_API void trqInitCallback(int kind, void* routine);

/* Typed registration, one per kind: trqInitCallback without the cast to void*, which ISO C
 * does not define for function pointers (-Wpedantic warns about it). Each is one call of
 * trqInitCallback, with the same reset. */
typedef void (*trqAnyFn_)(void);
static inline void trqInitCallbackFn_(int kind, trqAnyFn_ routine) {
    /* A function pointer reaches void* through a union: no cast, no warning. */
    union {
        trqAnyFn_ fn;
        void* ptr;
    } pun;
    pun.ptr = 0;
    pun.fn = routine;
    trqInitCallback(kind, pun.ptr);
}
static inline void trqInitSetCarddata(trqSetCarddataFn fn) {
    trqInitCallbackFn_(TRQ_CB_SET_CARDDATA, (trqAnyFn_)fn);
}
static inline void trqInitPrintReceipt(trqPrintReceiptFn fn) {
    trqInitCallbackFn_(TRQ_CB_PRINT_RECEIPT, (trqAnyFn_)fn);
}
static inline void trqInitDisplayStatus(trqDisplayStatusFn fn) {
    trqInitCallbackFn_(TRQ_CB_DISPLAY_STATUS, (trqAnyFn_)fn);
}
static inline void trqInitAbortQuery(trqAbortQueryFn fn) {
    trqInitCallbackFn_(TRQ_CB_ABORT_QUERY, (trqAnyFn_)fn);
}
static inline void trqInitExtCardConfirm(trqExtCardConfirmFn fn) {
    trqInitCallbackFn_(TRQ_CB_EXT_CARD_CONFIRM, (trqAnyFn_)fn);
}
static inline void trqInitVerSigConfirm(trqVerSigConfirmFn fn) {
    trqInitCallbackFn_(TRQ_CB_VERSIG_CONFIRM, (trqAnyFn_)fn);
}
static inline void trqInitAdviceFlag(trqAdviceFlagFn fn) {
    trqInitCallbackFn_(TRQ_CB_ADVICE_FLAG, (trqAnyFn_)fn);
}

/* Opens the line configured in tarqRS.ini beside the library and sends the terminal the open
 * message. address and port are accepted and not used. Results: TRQ_OPEN_*. Prints
 * "TARQ already open %d %d\n" (99) or "TARQ not opened successfully %d %d\n" (7) with the closed
 * flag and the open status, and "Failed to connect -6\n" when the port cannot be opened. */
TRQ_API int trqOpen(const char* address, unsigned short port);

/* trqOpen with fixed (ignored) arguments; prints "trqOpenRS232\n" first. */
TRQ_API int trqOpenRS232(void);

/* Sends the terminal the close message and closes the line, whatever the connection state.
 * reason is accepted and not used. Results: TRQ_CLOSE_OK or TRQ_CLOSE_NOT_DELIVERED (also when
 * the line was never opened). */
TRQ_API int trqClose(int reason);

/* trqClose with state checks: prints "trqCloseRS232 %d %d\n" (closed flag, open status), then
 * refuses with 99 ("TARQ already closed %d %d\n") after a close, or with 7
 * ("TARQ is not open! ComPort may be busy. %d %d\n") after a failed open. */
TRQ_API int trqCloseRS232(void);

/* ---- Payments ------------------------------------------------------------------------- */

/* Runs a card payment and returns when the terminal has finished it.
 *   transactionType  0..6 (meaning lies with the terminal); above 6 gives 13. A negative type
 *                    sends the manually entered card data (cardNo, expDate, cvc).
 *   amount           minor currency units, 50..99999999 (14 above, 15 below), not below
 *                    purchaseAmount (16). Type 5 skips the three amount checks.
 *   currencyCode     numeric currency code (e.g. 578).
 *   merchIn          merchant indicator byte.
 *   confirmExtCard   non-zero first asks the terminal for an external-card confirmation; the
 *                    terminal's question then goes to the TRQ_CB_EXT_CARD_CONFIRM callback (kind
 *                    4), which must be registered: without it no verdict is ever given.
 *   purchaseAmount   minor units.
 *   posData, dataToHost, cardNo, expDate, cvc  texts; at most 4, 40, 19, 4 and 3 characters are
 *                    taken; NULL counts as empty.
 *   multiID, secondNumber  recorded, not sent.
 * Argument checks come first (13..16, with their lines "illegal transactionType %d\n",
 * "  MAX_AMOUNT %d\n", "  MIN_AMOUNT %d\n", "amount < purchaseamount  %d %d\n"), then the
 * connection (8 "Please open dll / comport!\n", 7 "DLL/comport not opened successfully\n").
 * Otherwise the result is the terminal's (TRQ_APPROVED, a decline code, ...) or the driver's
 * TRQ_NO_RESULT, TRQ_TIMEOUT, TRQ_TERM_NOT_READY or TRQ_NO_CONNECTION. While it runs the
 * callbacks show the display, hand over the card data and receipts, and ask about aborting. */
TRQ_API int trqNorTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                              int confirmExtCard, int purchaseAmount, const char* posData,
                              const char* dataToHost, int multiID, int secondNumber,
                              const char* cardNo, const char* expDate, const char* cvc);

/* trqNorTransaction with multiID and secondNumber 0 and no card data. */
TRQ_API int trqNorCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                                  int confirmExtCard, int purchaseAmount, const char* posData,
                                  const char* dataToHost);

/* Not available: prints "trqCardTransaction - DK\n" and returns 9. */
TRQ_API int trqCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                               int confirmExtCard);

/* ---- Administrative commands and reports ---------------------------------------------- */

/* Each command runs until the terminal has finished it (printing through the receipt callback,
 * showing through the display callback) and returns the terminal's result, or TRQ_NO_RESULT,
 * TRQ_TIMEOUT or TRQ_NO_CONNECTION. Each refuses with 8 ("Please open dll / comport!\n") after a
 * close and 7 ("DLL/comport not opened successfully\n") when not open. */

/* Sends any accepted command code: 1, 2, 4, 5, 6, 8, 14, 15, 23, 25, 26, 27, 29, 30, 31, 35,
 * 36, 37, 38, 40, 41; others print "Not available : trqNorAdmin %d\n" and give 9 (checked
 * before the connection). Prints "trqNorAdmin %d %d %d\n" on entry and "\ntrqNorAdmin %u\n"
 * with the result. Code 35 needs no connection: it prints the version lines and returns 89.
 * Code 8 (restart) returns 0 once acknowledged, else 1. Code 40 returns 20 + the issuer number
 * the terminal reported when the result is 0, 20 when the result is 1 without an issuer
 * number, any other result unchanged. value2 and value3 are only printed. */
TRQ_API int trqNorAdmin(int code, int value2, int value3);
TRQ_API int trqTermReport(void);     /* code 1; prints "trqTermReport\n" */
TRQ_API int trqEndOfDay(void);       /* code 2; "trqEndOfDay\n", "trqEndOfDay %d\n" */
TRQ_API int trqClockSyncHost(void);  /* code 4 */
TRQ_API int trqClockSyncKelmo(void); /* code 5; "trqClockSyncKelmo\n" */
/* code 8: returns 0 once the terminal's link acknowledged the command, 1 when it did not (no
 * link, failed send), without waiting for any answer; prints "trqRestartTerm %d %d\n" (closed
 * flag, open status) on entry */
TRQ_API int trqRestartTerm(void);
TRQ_API int trqTestConnection(void);     /* code 14; "trqTestConnection %d %d\n" on entry */
TRQ_API int trqLastReceipt(void);        /* code 15; "trqLastReceipt\n" */
TRQ_API int trqTotalReport(void);        /* code 23; "trqTotalReport\n", "trqTotalReport %u\n" */
TRQ_API int trqLastEndOfDayReport(void); /* code 25; "trqLastEndOfDayReport\n" */
TRQ_API int trqParameterReport(void); /* code 26; "trqParameterReport\n", "trqParamReport %u\n" */
TRQ_API int trqLog(void);             /* not available: "trqLog\n", 9 */
TRQ_API int trqEmployeeReport(void);  /* not available: "trqEmployeeReport\n", 9 */

#ifdef __cplusplus
}
#endif

#endif /* TARQDRIVER_H */
