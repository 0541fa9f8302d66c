package no.kelmo;

/** A till's own copy of the class that lacks the printTxtJ field (see BridgeTest nofield). */
public class javaTarq {
    public static final int FIELD_MISSING = 11;
    public String displayline1 = "";
    public String displayline2 = "";

    static {
        System.load(System.getProperty("tarqdriver.library"));
    }

    public native int SetTrqPath(String path);
    public native int trqInitCallback();
    public native int trqOpenRS232();
    public native int trqTestConnection();
    public native int trqLastReceipt();
    public native int trqNorTransaction(int transactionType, int amount, int currencyCode,
            char merchIn, int confirmExtCard, int purchaseAmount, String posData,
            String dataToHost, int multiID, int secondNumber, String cardNo, String expDate,
            String cvc);
    public native int trqCloseRS232();
}
