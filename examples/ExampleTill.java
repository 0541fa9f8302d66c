import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.atomic.AtomicBoolean;

import no.kelmo.javaTarq;

/**
 * A minimal till: opens the terminal line, takes one purchase, shows the terminal's display
 * while the payment runs, aborts when the operator presses Enter, and prints the receipt.
 *
 * <p>Build and run against the installed packages (libtarqdriver-java):
 * <pre>
 * javac -cp /usr/share/java/javaTarq.jar -d . ExampleTill.java
 * java -Dtarqdriver.library=/usr/lib/x86_64-linux-gnu/libtarqdriver.so.1 \
 *      -cp /usr/share/java/javaTarq.jar:. ExampleTill 123.50 [side-file directory]
 * </pre>
 *
 * (x86_64-linux-gnu is the multiarch directory of a 64-bit PC; {@code gcc -print-multiarch}
 * names it on other machines.) The driver finds the terminal's line in tarqRS.ini beside the
 * library, or else in /etc/tarqdriver/tarqRS.ini.
 */
public final class ExampleTill {
    private static final int NOK = 578;
    private static final Charset TERMINAL_CHARSET = Charset.forName("windows-1252");

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: ExampleTill <amount, e.g. 123.50> [side-file directory]");
            System.exit(2);
        }
        int amount = toMinorUnits(args[0]);
        Path dir = Paths.get(args.length > 1 ? args[1] : ".").toAbsolutePath();
        Files.createDirectories(dir);
        Path display = dir.resolve("display.trq");
        Path abort = dir.resolve("abort.trq");

        javaTarq till = new javaTarq();
        if (till.SetTrqPath(dir.toString() + java.io.File.separator) != 0) {
            System.err.println("side-file directory path too long: " + dir);
            System.exit(2);
        }
        Files.write(abort, new byte[] {'0'}); // no abort left over from an earlier run
        till.trqInitCallback();
        int open = till.trqOpenRS232();
        System.out.println("open: " + open);
        if (open < 99) {
            till.trqCloseRS232();
            System.exit(1);
        }

        AtomicBoolean running = new AtomicBoolean(true);
        Thread watcher = new Thread(() -> watchDisplay(display, running), "display");
        watcher.setDaemon(true);
        watcher.start();
        Thread aborter = new Thread(() -> abortOnEnter(abort, running), "abort");
        aborter.setDaemon(true);
        aborter.start();
        System.out.println("Press Enter to abort the payment.");

        int result = till.trqNorTransaction(0, amount, NOK, 'K', 0, 0, "", "", 0, 0, "", "", "");
        running.set(false);
        watcher.join(1000);
        Files.write(abort, new byte[] {'0'});

        System.out.println("result: " + result);
        System.out.println("display: [" + till.displayline1 + "] [" + till.displayline2 + "]");
        System.out.println("receipt:");
        System.out.println(till.printTxtJ);
        System.out.println("close: " + till.trqCloseRS232());
        System.exit(result == 0 ? 0 : 1);
    }

    /** "123.50", "123,5" or "123" as minor units. */
    static int toMinorUnits(String text) {
        String[] parts = text.replace(',', '.').split("\\.", -1);
        if (parts.length > 2 || parts[0].isEmpty()) {
            throw new IllegalArgumentException("not an amount: " + text);
        }
        String minor = parts.length == 2 ? parts[1] : "";
        if (minor.length() > 2) throw new IllegalArgumentException("too many decimals: " + text);
        minor = (minor + "00").substring(0, 2);
        return Math.addExact(Math.multiplyExact(Integer.parseInt(parts[0]), 100),
                Integer.parseInt(minor));
    }

    private static void watchDisplay(Path display, AtomicBoolean running) {
        String shown = "";
        while (running.get()) {
            try {
                String now = new String(Files.readAllBytes(display), TERMINAL_CHARSET);
                if (!now.equals(shown) && now.endsWith("\n") && now.indexOf('\n') < now.length() - 1) {
                    shown = now;
                    String[] lines = now.split("\n", -1);
                    System.out.println("| " + lines[0] + " | " + lines[1] + " |");
                }
                Thread.sleep(50);
            } catch (IOException e) {
                // The driver replaces the file while we read it; try again.
            } catch (InterruptedException e) {
                return;
            }
        }
    }

    private static void abortOnEnter(Path abort, AtomicBoolean running) {
        try {
            BufferedReader in = new BufferedReader(new InputStreamReader(System.in));
            if (in.readLine() != null && running.get()) {
                Files.write(abort, new byte[] {'1'});
                System.out.println("abort requested");
            }
        } catch (IOException e) {
            System.err.println("abort: " + e.getMessage());
        }
    }
}
