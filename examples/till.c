/*
 * The smallest complete cash register (till) on tarqdriver: it registers its callbacks, opens
 * the line to the terminal, takes one purchase, and closes the line, handling every result.
 *
 * Build and run (Debian: apt-get install libtarqdriver-dev):
 *     cc -std=c99 -Wall -Wextra -Wpedantic -o till till.c $(pkg-config --cflags --libs tarqdriver)
 *     ./till 1250          # a purchase of 12.50 (amount in minor units; default 1250)
 *
 * The line to the terminal is configured in tarqRS.ini beside the library, or else in
 * /etc/tarqdriver/tarqRS.ini. To try it without a terminal, run the simulator (package
 * tarqdriver-tools) with `tarqsim --link /tmp/tarqterm` and configure [DEVICE] "/tmp/tarqterm".
 * Ctrl-C while the payment runs aborts it.
 *
 * Exit status: 0 approved, 1 not approved, 2 bad amount, 3 line not opened.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <tarqdriver.h>

static volatile sig_atomic_t abortWanted = 0;

static void onInterrupt(int sig) {
    (void)sig;
    abortWanted = 1;
}

/* The card data is the terminal's to know: a till keeps none of it. Accept the card. */
static int onCardData(const char* cardText) {
    (void)cardText;
    printf("till: card read\n");
    return 1;
}

/* A real till prints the receipt; this one shows it. Texts are in the terminal's character
 * set, Windows-1252 (display lines too). */
static int onReceipt(int segment, const char* receiptText) {
    printf("till: receipt%s\n%s\n", segment ? " (more follows)" : "", receiptText);
    return 1;
}

static void onDisplay(const char* line1, const char* line2) {
    printf("till: | %s | %s |\n", line1, line2);
}

/* Asked again and again while the payment runs; yes once is enough. */
static int onAbortQuery(void) {
    return abortWanted;
}

static const char* openMeaning(int r) {
    switch (r) {
    case TRQ_OPEN_OK:
        return "open";
    case TRQ_OPEN_ALREADY:
        return "already open";
    case TRQ_OPEN_INCOMPLETE:
        return "an earlier open did not complete";
    case TRQ_OPEN_NOT_DELIVERED:
        return "the terminal did not take the open message";
    case TRQ_OPEN_NO_MESSAGE:
        return "no open message (callbacks not registered)";
    case TRQ_OPEN_NO_LINK:
        return "serial port missing or busy";
    case TRQ_OPEN_NO_CONFIG:
        return "tarqRS.ini missing or unreadable";
    case TRQ_OPEN_NO_MODULE:
        return "the library could not find its own file";
    default:
        return "unknown result";
    }
}

static const char* paymentMeaning(int r) {
    switch (r) {
    case TRQ_APPROVED:
        return "approved";
    case TRQ_NO_RESULT:
        return "no result from the terminal";
    case TRQ_TIMEOUT:
        return "the terminal fell silent: check the last receipt";
    case TRQ_NO_RECEIPT:
        return "no receipt: take a copy";
    case TRQ_TERM_NOT_READY:
        return "terminal not ready";
    case TRQ_NO_CONNECTION:
        return "the terminal did not answer";
    case TRQ_NOT_OPEN:
        return "the line is not open";
    case TRQ_CLOSED:
        return "the line was closed";
    case TRQ_ILLEGAL_TYPE:
        return "illegal transaction type";
    case TRQ_AMOUNT_TOO_HIGH:
        return "amount too high";
    case TRQ_AMOUNT_TOO_LOW:
        return "amount too low";
    case TRQ_AMOUNT_BELOW_PURCHASE:
        return "amount below the purchase amount";
    default:
        return "declined by the terminal";
    }
}

int main(int argc, char** argv) {
    char* end = NULL;
    long amount = argc > 1 ? strtol(argv[1], &end, 10) : 1250;
    int opened, result, closed;
    if ((end && (*end || end == argv[1])) || amount < TRQ_MIN_AMOUNT || amount > TRQ_MAX_AMOUNT) {
        fprintf(stderr, "usage: till [amount in minor units, %d to %d]\n", TRQ_MIN_AMOUNT,
                TRQ_MAX_AMOUNT);
        return 2;
    }
    signal(SIGINT, onInterrupt);

    /* Typed registration: no function pointer cast to void*. */
    trqInitSetCarddata(onCardData);
    trqInitPrintReceipt(onReceipt);
    trqInitDisplayStatus(onDisplay);
    trqInitAbortQuery(onAbortQuery);

    opened = trqOpen("", 0);
    printf("till: open %d: %s\n", opened, openMeaning(opened));
    if (opened != TRQ_OPEN_OK && opened != TRQ_OPEN_ALREADY) {
        trqClose(0); /* results 0, 1 and 7 leave a half-open line behind */
        return 3;
    }

    /* Type 0 (purchase), currency 578, merchant indicator '1', no external card check. */
    result = trqNorCardTransaction(0, (int)amount, 578, '1', 0, (int)amount, "", "");
    printf("till: purchase %d: %s\n", result, paymentMeaning(result));

    closed = trqClose(0);
    printf("till: close %d: %s\n", closed,
           closed == TRQ_CLOSE_OK ? "closed" : "closed, the terminal was not told");
    return result == TRQ_APPROVED ? 0 : 1;
}
