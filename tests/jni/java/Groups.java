import java.io.File;
import java.nio.file.Files;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;

import no.kelmo.javaTarq;

/** The test groups; each runs in its own JVM with its own work directory (see BridgeTest). */
final class Groups extends BridgeTest {
    private Groups() {}

    /** A text with the terminal's bytes (one char per byte) as a simulator setting. */
    static String simText(String latin1) {
        return latin1.replace("\n", "\\n");
    }

    static String line(String content, int index) {
        String[] lines = content.split("\n", -1);
        return index < lines.length ? lines[index] : null;
    }

    // ---- without a terminal: argument checks, lengths, null texts, side-file directory ----

    static void arguments() throws Exception {
        javaTarq t = newTill();
        Path cwd = work;
        checkEq(0, t.trqInitCallback(), "trqInitCallback");

        // Without SetTrqPath the side files lie in the current directory.
        checkEq(-7, t.trqOpenRS232(), "trqOpenRS232 without tarqRS.ini");
        checkEq(display("\u00C5PNER RS232....     ", BLANK), bytes(cwd.resolve("display.trq")),
                "display.trq in the current directory after trqOpenRS232");
        checkEq(-7, t.trqOpen(null, (short) 2000), "trqOpen with a null address");
        checkEq(display("STARTER...", BLANK), bytes(cwd.resolve("display.trq")),
                "display.trq after trqOpen");
        checkEq(-7, t.trqOpen("10.0.0.1".repeat(1000), (short) -1), "trqOpen with a long address");
        checkEq(7, t.trqCloseRS232(), "trqCloseRS232 after a failed open");
        checkEq(display("TERMINAL STENGT", BLANK), bytes(cwd.resolve("display.trq")),
                "display.trq after trqCloseRS232");
        Call log = call(t::trqLog);
        checkEq(9, log.result(), "trqLog");
        check(log.out().startsWith("C:trqLog\n"), "trqLog prints C:trqLog first: " + show(log.out()));
        checkEq(display("DETALJ-RAPPORT", BLANK), bytes(cwd.resolve("display.trq")),
                "display.trq after trqLog");
        checkEq("\n", bytes(cwd.resolve("print.trq")), "print.trq after trqLog");
        checkEq(SENTINEL, t.displayline2, "trqLog sets no field");

        // Paths that would not fit are refused and change nothing.
        String[][] refused = {
            {"50 letters of two bytes", "/" + "\u00D8".repeat(49) + "/"},
            {"far too long", "/tmp/".repeat(1000)},
            {"zero character", "/tmp/\u0000/"},
        };
        for (String[] r : refused) {
            checkEq(javaTarq.PATH_REFUSED, t.SetTrqPath(r[1]), "SetTrqPath " + r[0]);
        }
        Files.delete(cwd.resolve("display.trq"));
        t.trqLog();
        check(Files.exists(cwd.resolve("display.trq")),
                "after refused paths the files still lie in the current directory");
        checkEq(0, t.SetTrqPath(null), "SetTrqPath(null) means the current directory");
        checkEq(0, t.SetTrqPath(side + File.separator), "SetTrqPath");
        t.trqLog();
        checkEq(display("DETALJ-RAPPORT", BLANK), sideFile("display.trq"),
                "display.trq in the directory given to SetTrqPath");

        amountChecks();

        // Null and overlong texts reach the driver cut to their fields, never crash.
        String huge = "\u00C5".repeat(10000);
        Call nulls = call(() -> t.trqNorTransaction(0, 100, 578, 'K', 0, 0, null, null, 0, 0,
                null, null, null));
        checkEq(7, nulls.result(), "trqNorTransaction with null texts (line not open)");
        Call longs = call(() -> t.trqNorTransaction(0, 100, 578, '\u00D8', 0, 0, huge, huge, 0, 0,
                huge, huge, huge));
        checkEq(7, longs.result(), "trqNorTransaction with long texts (line not open)");
    }

    interface Payment {
        int run(javaTarq t, int type, int amount);
    }

    /** writesDisplay: the method shows its own display text; driverResult: when not refused. */
    record Method(String name, Payment pay, boolean writesDisplay, int driverResult) {}

    static void amountChecks() throws Exception {
        Method[] methods = {
            new Method("trqNorTransaction", (t, type, amount) -> t.trqNorTransaction(type, amount,
                    578, 'K', 0, 0, "", "", 0, 0, "", "", ""), false, 7),
            new Method("trqNorCardTransaction", (t, type, amount) -> t.trqNorCardTransaction(type,
                    amount, 578, 'K', 0, 0, 0, 0), false, 7),
            new Method("trqCardTransaction", (t, type, amount) -> t.trqCardTransaction(type,
                    amount, 578, 'K', 0), true, 9),
        };
        String max = "    MAX_Amount : 99999999\n";
        String min = "    MIN_Amount : 50\n";
        Object[][] cases = { // type, amount, printed refusal line (null: passes the check)
            {0, 100000000, max}, {0, Integer.MAX_VALUE, max}, {0, 49, min}, {0, -1, min},
            {0, Integer.MIN_VALUE, min}, {6, 10, min}, {0, 50, null}, {0, 99999999, null},
            {5, 0, null}, {5, -100, null}, {5, 100000000, null},
        };
        for (Method m : methods) {
            for (Object[] c : cases) {
                int type = (Integer) c[0];
                int amount = (Integer) c[1];
                String refusal = (String) c[2];
                String what = m.name() + " type " + type + " amount " + amount;
                write(side.resolve("display.trq"), "before\n\n");
                write(side.resolve("print.trq"), "old receipt\n");
                javaTarq t = newTill();
                Call r = call(() -> m.pay().run(t, type, amount));
                String printed = "Cj:" + m.name() + " " + amount + "\n";
                checkEq(m.writesDisplay() ? display("Purchase DK " + type, BLANK) : "before\n\n",
                        sideFile("display.trq"), what + ": display.trq");
                checkEq("\n", sideFile("print.trq"), what + ": print.trq reset");
                if (refusal != null) {
                    checkEq(refusal.equals(max) ? 14 : 15, r.result(), what + ": result");
                    checkEq(printed + refusal, r.out(), what + ": printed lines");
                    checkEq("\n", sideFile("issuer.trq"), what + ": issuer.trq keeps its empty line");
                    checkEq(SENTINEL + SENTINEL + SENTINEL,
                            t.displayline1 + t.displayline2 + t.printTxtJ, what + ": no field set");
                } else {
                    checkEq(m.driverResult(), r.result(), what + ": the driver's result");
                    check(r.out().startsWith(printed) && !r.out().contains("_Amount"),
                            what + ": passes the amount check: " + show(r.out()));
                    checkEq("00\n", sideFile("issuer.trq"), what + ": issuer.trq at the end");
                    checkEq(BLANK, t.displayline2, what + ": displayline2");
                    checkEq("", t.printTxtJ, what + ": printTxtJ");
                    checkEq(m.writesDisplay() ? SENTINEL : BLANK, t.displayline1,
                            what + ": displayline1");
                }
            }
        }
    }

    // ---- a purchase with two receipts, then more payments on the same line ----

    static void purchase() throws Exception {
        javaTarq t = newTill();
        checkEq(0, t.SetTrqPath(side + File.separator), "SetTrqPath");
        checkEq(0, t.trqInitCallback(), "trqInitCallback");
        String r1 = "KVITTERING 1\nKJ\u00D8P 123,00\n\u00C6\u00D8\u00C5 \u0080 OK\n";
        String r2 = "KVITTERING 2\nKUNDENS KOPI\n";
        String status1 = String.format("%-20s", "BETAL MED KORT");
        String status2 = String.format("%-20s", "\u00C5PEN KASSE");
        try (Sim sim = new Sim("result", "0", "issuer", "7", "status",
                simText("BETAL MED KORT|\u00C5PEN KASSE"), "receipt", simText(r1), "receipt",
                simText(r2), "card-delay", "300", "step-delay", "150")) {
            checkEq(100, t.trqOpenRS232(), "trqOpenRS232");
            checkEq(display("\u00C5PNER RS232....     ", BLANK), sideFile("display.trq"),
                    "display.trq after trqOpenRS232");

            Call pay;
            String lastSeen;
            try (DisplayRecorder w = new DisplayRecorder(side.resolve("display.trq"))) {
                pay = call(() -> t.trqNorTransaction(0, 12300, 578, 'K', 0, 0, "ab",
                        "fra kassen", 0, 0, null, null, null));
                List<String> seen = w.finish();
                check(seen.contains(display(status1, status2)),
                        "display.trq showed the terminal's lines during the call: " + seen);
                lastSeen = w.last();
            }
            checkEq(0, pay.result(), "purchase result");
            check(pay.out().startsWith("Cj:trqNorTransaction 12300\n"), "printed " + show(pay.out()));
            check(pay.out().contains("\nSTATUS 1: " + status1 + "\nSTATUS 2:" + status2 + "\n"),
                    "status lines printed: " + show(pay.out()));
            checkEq("\n" + r1 + r2 + "\n", sideFile("print.trq"),
                    "print.trq holds both receipts (the first one is not the last segment)");
            checkEq(asJava(r1), t.printTxtJ, "printTxtJ holds the first receipt");
            check(t.printTxtJ.contains("\u00C6\u00D8\u00C5 \u20AC"), "letters arrive as such");
            checkEq("07\n", sideFile("issuer.trq"), "issuer.trq");
            checkEq(asJava(lastSeen), t.displayline1 + "\n" + t.displayline2 + "\n",
                    "displayline fields hold the last lines written to display.trq");

            javaTarq u = newTill();
            Call card = call(() -> u.trqNorCardTransaction(0, 5000, 578, 'K', 0, 0, 0, 0));
            checkEq(0, card.result(), "second purchase (trqNorCardTransaction)");
            check(card.out().startsWith("Cj:trqNorCardTransaction 5000\n"), show(card.out()));
            checkEq(asJava(r1), u.printTxtJ, "printTxtJ after the second purchase");
            checkEq("\n" + r1 + r2 + "\n", sideFile("print.trq"), "print.trq starts afresh");
            checkEq("07\n", sideFile("issuer.trq"), "issuer.trq after the second purchase");
            checkEq(asJava(sideFile("display.trq")), u.displayline1 + "\n" + u.displayline2 + "\n",
                    "display.trq after the call shows the lines of the fields");

            checkEq(0, t.trqCloseRS232(), "trqCloseRS232");
            checkEq(display("TERMINAL STENGT", BLANK), sideFile("display.trq"),
                    "display.trq after close");
        }
        for (String f : new String[] {"display.trq", "print.trq", "issuer.trq"}) {
            check(!Files.exists(work.resolve(f)), f + " not in the current directory");
        }
    }

    // ---- the till aborts through abort.trq while the terminal waits for the card ----

    static void abort() throws Exception {
        javaTarq t = newTill();
        t.SetTrqPath(side + File.separator);
        t.trqInitCallback();
        Path abortFile = side.resolve("abort.trq");
        write(abortFile, "0");
        try (Sim sim = new Sim("card-delay", "20000", "step-delay", "300",
                "abort-result", "17")) {
            checkEq(100, t.trqOpenRS232(), "trqOpenRS232");
            Call pay;
            try (DisplayRecorder w = new DisplayRecorder(side.resolve("display.trq"))) {
                Thread aborter = new Thread(() -> {
                    try {
                        long deadline = System.nanoTime() + 20_000_000_000L;
                        while (w.seen().stream().noneMatch(s -> s.startsWith("SETT INN KORT"))
                                && System.nanoTime() < deadline) {
                            Thread.sleep(5);
                        }
                        write(abortFile, "1");
                    } catch (Exception e) {
                        throw new IllegalStateException(e);
                    }
                });
                aborter.start();
                pay = call(() -> t.trqNorTransaction(0, 10000, 578, 'K', 0, 0, "", "", 0, 0, "",
                        "", ""));
                aborter.join();
                List<String> seen = w.finish();
                check(seen.contains(display("ECR AVBRYTER", "")),
                        "display.trq showed ECR AVBRYTER: " + seen);
            }
            checkEq(17, pay.result(), "the terminal's result after the abort");
            checkEq("1", bytes(abortFile), "abort.trq is left as the till wrote it");
            checkEq("00\n", sideFile("issuer.trq"), "no issuer after an abort");

            // Outside payments the abort file is not asked.
            Call report = call(t::trqTermReport);
            checkEq(0, report.result(), "a report with abort.trq still holding 1");
            write(abortFile, "0");
            checkEq(0, t.trqCloseRS232(), "trqCloseRS232");
        }
    }

    // ---- every report method with its display text, fields and printed line ----

    /** receipt: the report sets printTxtJ and displayline2; else the display line fields. */
    record Report(String name, Function<javaTarq, Integer> op, String printed, String display,
            boolean receipt, int code) {}

    static void reports() throws Exception {
        javaTarq t = newTill();
        t.SetTrqPath(side + File.separator);
        t.trqInitCallback();
        Report[] reports = {
            new Report("trqNorAdmin", x -> x.trqNorAdmin(1, 0, 0), "",
                    display("ADMIN", BLANK), true, 1),
            new Report("trqLastReceipt", javaTarq::trqLastReceipt, "C:trqLastReceipt\n",
                    display("HENTER KOPI", BLANK), true, 15),
            new Report("trqEndOfDay", javaTarq::trqEndOfDay, "C:trqEndOfDay\n",
                    display("AVSTEMMING", BLANK), true, 2),
            new Report("trqTotalReport", javaTarq::trqTotalReport, "C:trqTotalReport\n",
                    display("TOTALRAPPORT", BLANK), true, 23),
            new Report("trqLastEndOfDayReport", javaTarq::trqLastEndOfDayReport,
                    "C:trqLastEndOfDayReport \n", display("KOPI AVSTEMMING", BLANK), true, 25),
            new Report("trqParameterReport", javaTarq::trqParameterReport,
                    "C:trqParameterReport\n", null, true, 26),
            new Report("trqTermReport", javaTarq::trqTermReport, "C:trqTermReport\n",
                    display("SYSTEMRAPPORT", BLANK), true, 1),
            new Report("trqClockSyncHost", javaTarq::trqClockSyncHost, "",
                    display("TEST MOT BBS", "CLOCK SYNC"), false, 4),
            new Report("trqTestConnection", javaTarq::trqTestConnection, "C:trqTestConnection\n",
                    null, false, 14),
        };
        try (Sim sim = new Sim("admin-receipts", "1", "admin-result", "0")) {
            checkEq(100, t.trqOpenRS232(), "trqOpenRS232");
            for (Report r : reports) {
                javaTarq x = newTill();
                Call c;
                String shown;
                try (DisplayRecorder w = new DisplayRecorder(side.resolve("display.trq"))) {
                    c = call(() -> r.op().apply(x));
                    List<String> seen = w.finish();
                    if (r.display() != null) {
                        check(!seen.isEmpty() && seen.get(0).equals(r.display()),
                                r.name() + " first showed " + show(r.display()) + ": " + seen);
                    } else {
                        check(seen.stream().noneMatch(s -> s.startsWith("PARAMETER-RAPPORT")),
                                r.name() + " does not write the display file: " + seen);
                    }
                    shown = w.last();
                }
                checkEq(0, c.result(), r.name() + " result");
                check(c.out().startsWith(r.printed()), r.name() + " printed " + show(c.out()));
                String print = sideFile("print.trq");
                if (r.receipt()) {
                    checkEq("\n" + x.printTxtJ + "\n", asJava(print),
                            r.name() + ": print.trq holds the receipt of printTxtJ");
                    check(x.printTxtJ.contains("KOMMANDO " + r.code()),
                            r.name() + ": printTxtJ " + show(x.printTxtJ));
                } else {
                    checkEq(SENTINEL, x.printTxtJ, r.name() + ": printTxtJ not set");
                }
                if (r.code() == 14) {
                    checkEq("\n", print, "trqTestConnection leaves print.trq with a line feed");
                }
                checkEq(r.receipt() ? SENTINEL : asJava(line(shown, 0)), x.displayline1,
                        r.name() + ": displayline1");
                checkEq(asJava(line(shown, 1)), x.displayline2,
                        r.name() + ": displayline2");
            }

            Call restart = call(t::trqRestartTerm);
            checkEq(0, restart.result(), "trqRestartTerm");
            check(restart.out().startsWith("C:RestartTerm\n"), "restart printed " + show(restart.out()));
            checkEq(display("RESTARTER TERMINAL", BLANK), sideFile("display.trq"),
                    "display.trq after trqRestartTerm");
            checkEq(0, t.trqClose(0), "trqClose");
            checkEq(display("TERMINAL STENGT", BLANK), sideFile("display.trq"),
                    "display.trq after trqClose");
        }
    }

    // ---- the example till takes a purchase ----

    static void example() throws Exception {
        String r1 = "KVITTERING\nKJ\u00D8P 12,50\n";
        try (Sim sim = new Sim("receipt", simText(r1), "receipt", "KOPI\\n")) {
            List<String> cmd = List.of(
                    Paths.get(System.getProperty("java.home"), "bin", "java").toString(),
                    "-Dtarqdriver.library=" + System.getProperty("tarqdriver.library"),
                    "-Dfile.encoding=UTF-8", "-cp", System.getProperty("tarqtest.example"),
                    "ExampleTill", "12.50", work.resolve("till").toString());
            Path out = work.resolve("till.log");
            Process till = new ProcessBuilder(cmd).redirectErrorStream(true)
                    .redirectOutput(out.toFile()).redirectInput(ProcessBuilder.Redirect.PIPE)
                    .start();
            till.getOutputStream().close(); // no operator at the keyboard: no abort
            boolean done = till.waitFor(120, TimeUnit.SECONDS);
            if (!done) till.destroyForcibly().waitFor();
            String log = new String(Files.readAllBytes(out), StandardCharsets.UTF_8);
            System.out.println(log);
            check(done && till.exitValue() == 0, "example till finished with 0");
            check(log.contains("result: 0\n"), "example till printed its result");
            check(log.contains("receipt:\nKVITTERING\nKJ\u00D8P 12,50\n"),
                    "example till printed the receipt");
            check(log.contains("display: ["), "example till printed the display lines");
            checkEq("\n" + r1 + "KOPI\n\n", bytes(work.resolve("till").resolve("print.trq")),
                    "print.trq of the example till");
        }
    }

    // ---- finding the library ----

    static void loadByName() {
        checkEq(9, new javaTarq().trqLog(), "library loaded from java.library.path by its name");
    }

    static void loadFailure() {
        try {
            new javaTarq();
            check(false, "loading without a library must fail");
        } catch (UnsatisfiedLinkError e) {
            String m = String.valueOf(e.getMessage());
            check(m.contains("libtarqdriver.so") && m.contains(side.toString())
                    && m.contains("-Dtarqdriver.library"),
                    "the error names the library, the searched path and the way out: " + m);
        }
    }

    // ---- a class without printTxtJ: 11 after the driver call, later steps skipped ----

    static void noField() throws Exception {
        javaTarq t = new javaTarq(); // the variant without printTxtJ is on the class path
        t.displayline1 = SENTINEL;
        t.displayline2 = SENTINEL;
        t.SetTrqPath(side + File.separator);
        t.trqInitCallback();
        try (Sim sim = new Sim("admin-receipts", "1", "receipts", "2")) {
            checkEq(100, t.trqOpenRS232(), "trqOpenRS232");
            Call last = call(t::trqLastReceipt);
            checkEq(javaTarq.FIELD_MISSING, last.result(), "trqLastReceipt without printTxtJ");
            check(bytes(side.resolve("print.trq")).contains("KOMMANDO 15"),
                    "the driver was called: " + show(sideFile("print.trq")));
            checkEq(SENTINEL, t.displayline2, "displayline2 is not set after the missing field");

            Call pay = call(() -> t.trqNorTransaction(0, 10000, 578, 'K', 0, 0, "", "", 0, 0, "",
                    "", ""));
            checkEq(javaTarq.FIELD_MISSING, pay.result(), "trqNorTransaction without printTxtJ");
            check(!t.displayline1.equals(SENTINEL), "fields before the missing one are set");
            checkEq("\n", sideFile("issuer.trq"), "the closing issuer step is skipped");

            checkEq(0, t.trqTestConnection(), "trqTestConnection needs no printTxtJ");
            checkEq(0, t.trqCloseRS232(), "trqCloseRS232");
        }
    }
}
