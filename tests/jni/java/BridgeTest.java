import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;

import no.kelmo.javaTarq;

/** The bridge in a real JVM, its library in WORK/lib: BridgeTest GROUP WORK LIBRARY SIMULATOR */
public class BridgeTest {
    static Path work;
    static int failed;

    static void eq(Object want, Object got, String what) {
        if (!Objects.equals(want, got) && ++failed > 0)
            System.out.println("FAILED " + what + ": expected [" + want + "] got [" + got + "]");
    }

    /** A side file's bytes, one char per byte (the terminal's Windows-1252 as it is). */
    static String side(String name) throws Exception {
        return Files.readString(work.resolve("side/" + name), StandardCharsets.ISO_8859_1);
    }

    public static void main(String[] args) throws Exception {
        work = Paths.get(args[1]).toAbsolutePath();
        Files.createDirectories(work.resolve("side"));
        Path lib = Files.createDirectories(work.resolve("lib")).resolve(Paths.get(args[2]).getFileName());
        Files.copy(Paths.get(args[2]), lib, StandardCopyOption.REPLACE_EXISTING);
        System.setProperty(javaTarq.LIBRARY_PROPERTY, lib.toString());
        javaTarq t = new javaTarq();
        eq(0, t.SetTrqPath(work.resolve("side") + File.separator), "SetTrqPath");
        Path tty = work.resolve("tty");
        Process p = args[0].equals("arguments") ? null : new ProcessBuilder(args[3], "--link",
                tty.toString(), "--status=BETAL\\xD8|\\x80", "--receipt=KJ\\xD8P\\n\\x80 5",
                "--receipt=KOPI", "--issuer=7", "--admin-receipts=1", "--card-delay="
                + (args[0].equals("abort") ? 20000 : 100)).redirectErrorStream(true)
                .redirectOutput(work.resolve("sim.log").toFile()).start();
        if (p != null) { // the checks of the arguments run without callbacks, as a till may
            eq(0, t.trqInitCallback(), "trqInitCallback");
            for (int i = 0; i < 600 && !Files.exists(tty); ++i) Thread.sleep(50);
            Files.writeString(work.resolve("lib/tarqRS.ini"), "[BAUDRATE]\n\"9600\"\n[DEVICE]\n\"" + tty
                    + "\"\n[TRACE]\n\"trace.txt\"\n");
            Files.deleteIfExists(work.resolve("lib/trace.txt"));
            eq(100, t.trqOpenRS232(), "trqOpenRS232");
            eq("\u00C5PNER RS232....     \n" + " ".repeat(20) + "\n", side("display.trq"), "open");
        }
        switch (args[0]) {
            case "arguments" -> {
                Files.writeString(work.resolve("side/print.trq"), "x"); // an earlier call's receipt
                Files.writeString(work.resolve("side/issuer.trq"), "07\n"); // emptied before the check
                eq("15\n|\n", t.trqCardTransaction(0, 49, 578, 'K', 0) + side("issuer.trq") + "|"
                        + side("print.trq"), "card");
                String shown = side("display.trq"); // the parameter report's line goes to no file
                Files.writeString(work.resolve("side/print.trq"), "x"); // but the receipt is emptied
                t.trqParameterReport();
                eq(shown + "|\n", side("display.trq") + "|" + side("print.trq"), "trqParameterReport");
                Files.writeString(work.resolve("side/print.trq"), "x");
                eq("7|\n|TEST MOT BBS\nCLOCK SYNC\n", t.trqClockSyncHost() + "|" + side("print.trq") + "|"
                        + side("display.trq"), "trqClockSyncHost");
                eq("7|RESTARTER TERMINAL\n" + " ".repeat(20) + "\n", t.trqRestartTerm() + "|"
                        + side("display.trq"), "trqRestartTerm"); // shown before the refusal
                eq("-7|STARTER...\n" + " ".repeat(20) + "\n", t.trqOpen("", (short) 0) + "|"
                        + side("display.trq"), "trqOpen"); // and after the failed open
                Files.writeString(work.resolve("side/issuer.trq"), "07\n");
                eq("15\n", t.trqNorCardTransaction(0, 49, 578, 'K', 0, 0, 0, 0) + side("issuer.trq"), "norCard");
                Files.writeString(work.resolve("side/issuer.trq"), "07\n");
                eq("15\n", t.trqNorTransaction(0, 49, 578, 'K', 0, 0, null, null, 0, 0, null, null, null)
                        + side("issuer.trq"), "nor");
                t.trqParameterReport(); // its line 1 is not left for the next call
                eq("7 true", t.trqNorCardTransaction(0, 50, 578, 'K', 0, 0, 0, 0) + " "
                        + t.displayline1.isBlank(), "norCard, lines blanked first");
                eq("7 00\n", t.trqNorTransaction(0, 50, 578, 'K', 0, 0, null, null, 0, 0, null, null,
                        null) + " " + side("issuer.trq"), "no issuer before any payment");
                eq(0, t.SetTrqPath("/" + "d".repeat(97) + "/"), "path of 99 bytes");
                eq(javaTarq.PATH_REFUSED, t.SetTrqPath("/" + "\u00D8".repeat(49) + "/"), "100 bytes");
                eq(javaTarq.PATH_REFUSED, t.SetTrqPath("/tmp/\u0000/"), "zero in the path");
                int[][] rows = { // type, amount, result (7: passed the check, the line is closed)
                    {0, 100000000, 14}, {0, 49, 15}, {0, Integer.MIN_VALUE, 15}, {6, 10, 15},
                    {0, 50, 7}, {0, 99999999, 7}, {5, 0, 7}, {5, 100000000, 7}};
                for (int[] r : rows) {
                    eq(r[2], t.trqNorTransaction(r[0], r[1], 578, 'K', 0, 0, null, "x".repeat(999),
                            0, 0, null, null, null), "type " + r[0] + " amount " + r[1]);
                }
            }
            case "purchase" -> {
                eq(0, t.trqNorTransaction(0, 12300, 578, 'K', 0, 0, "abcdef", "\u00C5", 0, 0,
                        "4" + "1".repeat(24), "12345", "9876"), "purchase");
                String trace = Files.readString(work.resolve("lib/trace.txt"));
                eq(true, trace.contains("\"411111*********1111\", \"****\", \"***\")")
                        && trace.contains("578, 'K', 0, 0, \"abcd\", "), "texts cut to 19, 4, 3 and 4");
                eq("\nKJ\u00D8P\n\u0080 5KOPI\n", side("print.trq"), "print.trq"); // one segment
                eq("KJ\u00D8P\n\u20AC 5", t.printTxtJ, "printTxtJ");
                eq("07\n", side("issuer.trq"), "issuer.trq");
                eq(new String(side("display.trq").getBytes(StandardCharsets.ISO_8859_1),
                        "windows-1252"), t.displayline1 + "\n" + t.displayline2 + "\n", "display");
                eq("9 07\n", t.trqCardTransaction(0, 100, 578, 'K', 0) + " " + side("issuer.trq"), "card, issuer");
            }
            case "abort" -> {
                Files.writeString(work.resolve("side/abort.trq"), "1"); // while the card is awaited
                eq(17, t.trqNorTransaction(0, 100, 578, 'K', 0, 0, "", "", 0, 0, "", "", ""), "abort");
                eq("00\n", side("issuer.trq"), "no issuer after an abort");
            }
            case "nofield" -> { // the class without printTxtJ: 11, and the driver was called
                eq(javaTarq.FIELD_MISSING, t.trqLastReceipt(), "trqLastReceipt");
                eq(true, side("print.trq").contains("KOMMANDO 15"), "receipt of the command");
                eq("", t.displayline2, "displayline2 after the missing field");
            }
            default -> throw new IllegalArgumentException(args[0]);
        }
        if (p != null) {
            eq(0, t.trqCloseRS232(), "trqCloseRS232");
            p.destroy();
        }
        System.out.println(args[0] + ": " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
