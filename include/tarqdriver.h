/*
 * tarqdriver: payment terminal driver for cash registers.
 * Plain C interface. (Initial declarations; each function gets its full documentation.)
 */
#ifndef TARQDRIVER_H
#define TARQDRIVER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(TARQDRIVER_BUILD)
#    define TRQ_API __declspec(dllexport)
#  else
#    define TRQ_API __declspec(dllimport)
#  endif
#else
#  if defined(TARQDRIVER_BUILD)
#    define TRQ_API __attribute__((visibility("default")))
#  else
#    define TRQ_API
#  endif
#endif

/* Callback kinds for trqInitCallback. */
#define TRQ_CB_SET_CARDDATA 0
#define TRQ_CB_PRINT_RECEIPT 1
#define TRQ_CB_DISPLAY_STATUS 2
#define TRQ_CB_ABORT_QUERY 3
#define TRQ_CB_EXT_CARD_CONFIRM 4
#define TRQ_CB_VERSIG_CONFIRM 5
#define TRQ_CB_ADVICE_FLAG 6

typedef int (*trqSetCarddataFn)(const char* cardText);
typedef int (*trqPrintReceiptFn)(int segment, const char* receiptText);
typedef void (*trqDisplayStatusFn)(const char* line1, const char* line2);
typedef int (*trqAbortQueryFn)(void);
typedef int (*trqExtCardConfirmFn)(void);
typedef int (*trqVerSigConfirmFn)(void);
typedef void (*trqAdviceFlagFn)(void);

TRQ_API void trqInitCallback(int kind, void* routine);
TRQ_API int trqOpen(const char* address, unsigned short port);
TRQ_API int trqOpenRS232(void);
TRQ_API int trqClose(int reason);
TRQ_API int trqCloseRS232(void);

TRQ_API int trqNorTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                              int confirmExtCard, int purchaseAmount, const char* posData,
                              const char* dataToHost, int multiID, int secondNumber,
                              const char* cardNo, const char* expDate, const char* cvc);
TRQ_API int trqNorCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                                  int confirmExtCard, int purchaseAmount, const char* posData,
                                  const char* dataToHost);
TRQ_API int trqCardTransaction(int transactionType, int amount, int currencyCode, char merchIn,
                               int confirmExtCard);

TRQ_API int trqNorAdmin(int code, int value2, int value3);
TRQ_API int trqTermReport(void);
TRQ_API int trqEndOfDay(void);
TRQ_API int trqClockSyncHost(void);
TRQ_API int trqClockSyncKelmo(void);
TRQ_API int trqRestartTerm(void);
TRQ_API int trqTestConnection(void);
TRQ_API int trqLastReceipt(void);
TRQ_API int trqTotalReport(void);
TRQ_API int trqLastEndOfDayReport(void);
TRQ_API int trqParameterReport(void);
TRQ_API int trqLog(void);
TRQ_API int trqEmployeeReport(void);

#ifdef __cplusplus
}
#endif

#endif /* TARQDRIVER_H */
