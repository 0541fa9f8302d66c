package no.kelmo;

/**
 * A payment terminal on a serial line, driven through the native driver library.
 *
 * <p>Every method runs on the calling thread and blocks until the terminal has finished the
 * exchange; call one method at a time. While a call blocks, the driver keeps four side files
 * up to date, in the directory given to {@link #SetTrqPath} (or the current directory):
 * <ul>
 *   <li>{@code display.trq}: the two display lines, each followed by a line feed;</li>
 *   <li>{@code print.trq}: the receipts of the current call, one after another;</li>
 *   <li>{@code issuer.trq}: after a payment, the card issuer as two digits and a line feed;</li>
 *   <li>{@code abort.trq}: written by the till, never by the driver: a first character
 *       {@code 1} asks the running payment to be aborted (write something else afterwards).</li>
 * </ul>
 * The side files hold the terminal's bytes (Windows-1252). After a call, the fields
 * {@link #displayline1}, {@link #displayline2} and {@link #printTxtJ} hold the last display
 * lines and the first receipt of the call, converted to Java text (Ø and Å arrive as such).
 *
 * <p>Usual order: {@code SetTrqPath} (optional), {@code trqInitCallback}, {@code trqOpenRS232},
 * any payments and reports, {@code trqCloseRS232}.
 *
 * <p>Argument types: the one-byte characters ({@code merchIn}, the fourth argument of
 * {@code trqCardTransaction}) are Java {@code char}s of which only the low 8 bits are used; the
 * last two arguments of {@code trqNorCardTransaction} are ignored {@code int}s. String
 * arguments may be null (an empty text) and are cut to the width of their field.
 *
 * <p>Results are those of the driver's operations (7 not open, 8 closed, 9 not available, 13 to
 * 16 refused, otherwise the terminal's result), plus {@link #FIELD_MISSING},
 * {@link #AMOUNT_TOO_HIGH}, {@link #AMOUNT_TOO_LOW} and {@link #PATH_REFUSED}.
 *
 * <p>The library is loaded from the path in the system property {@code tarqdriver.library} when
 * it is set, else by its platform name ({@code libtarqdriver.so} on Linux,
 * {@code Tarqdriver_win32dll.dll} on Windows) from {@code java.library.path}. The driver reads
 * its {@code tarqRS.ini} from the library's own directory.
 */
public class javaTarq {
    /** A String field of this class could not be found; the fields after it are not set. */
    public static final int FIELD_MISSING = 11;
    /** {@code SetTrqPath}: the path is longer than 99 bytes (UTF-8) and was not taken. */
    public static final int PATH_REFUSED = 12;
    /** Amount above 99999999 (not checked for transaction type 5). */
    public static final int AMOUNT_TOO_HIGH = 14;
    /** Amount below 50 (not checked for transaction type 5). */
    public static final int AMOUNT_TOO_LOW = 15;

    /** System property naming the full path of the driver library. */
    public static final String LIBRARY_PROPERTY = "tarqdriver.library";

    /** Display line 1 after the last call. */
    public String displayline1 = "";
    /** Display line 2 after the last call. */
    public String displayline2 = "";
    /** The first receipt the terminal printed in the last call, or an empty text. */
    public String printTxtJ = "";

    static {
        loadDriver();
    }

    private static void loadDriver() {
        String path = System.getProperty(LIBRARY_PROPERTY);
        if (path != null && !path.isEmpty()) {
            try {
                System.load(path);
            } catch (UnsatisfiedLinkError e) {
                throw new UnsatisfiedLinkError("tarqdriver: cannot load " + path + " (from -D"
                        + LIBRARY_PROPERTY + "): " + e.getMessage());
            }
            return;
        }
        boolean windows = System.getProperty("os.name", "").startsWith("Windows");
        String name = windows ? "Tarqdriver_win32dll" : "tarqdriver";
        try {
            System.loadLibrary(name);
        } catch (UnsatisfiedLinkError e) {
            throw new UnsatisfiedLinkError("tarqdriver: " + System.mapLibraryName(name)
                    + " not found in java.library.path ("
                    + System.getProperty("java.library.path") + "); set -D" + LIBRARY_PROPERTY
                    + "=<full path of the library> or -Djava.library.path=<its directory>");
        }
    }

    /** Directory of the side files, ending in a separator; returns 0 or {@link #PATH_REFUSED}. */
    public native int SetTrqPath(String path);

    /** Registers the bridge's callbacks with the driver and clears the abort flag; returns 0. */
    public native int trqInitCallback();

    /** Opens the serial line configured in tarqRS.ini; 100 when the terminal answered. */
    public native int trqOpenRS232();

    /** As {@link #trqOpenRS232}; the address and port are not used. */
    public native int trqOpen(String address, short port);

    /** Tests the connection; print.trq then holds a single line feed. */
    public native int trqTestConnection();

    /** Not available on this terminal: always 9 once the amount has passed its check. */
    public native int trqCardTransaction(int transactionType, int amount, int currencyCode,
            char merchIn, int confirmExtCard);

    /** A payment without card data or host texts; the last two arguments are ignored. */
    public native int trqNorCardTransaction(int transactionType, int amount, int currencyCode,
            char merchIn, int confirmExtCard, int purchaseAmount, int unused1, int unused2);

    /**
     * A payment. posData, dataToHost, cardNo, expDate and cvc are cut to 4, 40, 19, 4 and 3
     * characters and sent in the terminal's character set ('?' for what it cannot show).
     */
    public native int trqNorTransaction(int transactionType, int amount, int currencyCode,
            char merchIn, int confirmExtCard, int purchaseAmount, String posData,
            String dataToHost, int multiID, int secondNumber, String cardNo, String expDate,
            String cvc);

    /** Sends an administrative command code to the terminal. */
    public native int trqNorAdmin(int code, int value2, int value3);

    public native int trqLastReceipt();

    public native int trqEndOfDay();

    public native int trqTotalReport();

    /** Not available: 9. */
    public native int trqLog();

    public native int trqLastEndOfDayReport();

    public native int trqParameterReport();

    public native int trqTermReport();

    public native int trqClockSyncHost();

    /** Sends the restart command and returns without waiting for the terminal. */
    public native int trqRestartTerm();

    public native int trqCloseRS232();

    public native int trqClose(int reason);
}
