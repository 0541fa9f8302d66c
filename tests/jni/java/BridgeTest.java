import java.io.FileOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import no.kelmo.javaTarq;

/**
 * The Java bridge in a real JVM, against the real driver library talking over a pseudo-terminal
 * to the terminal simulator. Started by run_group.sh, which gives each group a fresh WORKDIR
 * with its own copy of the library and sends standard output to the file named by
 * tarqtest.stdout, so that each native call's printed lines can be read back exactly.
 */
public class BridgeTest {
    static final Charset CP1252 = Charset.forName("windows-1252");
    static final String BLANK = " ".repeat(20);
    static final String SENTINEL = "<not set>";

    static Path work;
    static Path side;
    static Path stdoutFile;
    static int checks;
    static final List<String> failures = new ArrayList<>();

    public static void main(String[] args) throws Exception {
        work = Paths.get(args[1]).toAbsolutePath();
        side = work.resolve("side");
        stdoutFile = Paths.get(System.getProperty("tarqtest.stdout"));
        switch (args[0]) {
            case "arguments": Groups.arguments(); break;
            case "purchase": Groups.purchase(); break;
            case "abort": Groups.abort(); break;
            case "reports": Groups.reports(); break;
            case "nofield": Groups.noField(); break;
            case "example": Groups.example(); break;
            case "loadname": Groups.loadByName(); break;
            case "loadfail": Groups.loadFailure(); break;
            default: throw new IllegalArgumentException("unknown group " + args[0]);
        }
        System.out.println();
        System.out.println(checks + " checks, " + failures.size() + " failed");
        for (String f : failures) System.out.println("FAILED: " + f);
        System.out.flush();
        System.exit(failures.isEmpty() ? 0 : 1);
    }

    // ---- checks ----

    static void check(boolean ok, String what) {
        ++checks;
        if (!ok) {
            failures.add(what);
            System.out.println("FAILED: " + what);
        }
    }

    static void checkEq(Object expected, Object actual, String what) {
        boolean ok = expected == null ? actual == null : expected.equals(actual);
        check(ok, what + ": expected [" + show(expected) + "] got [" + show(actual) + "]");
    }

    static String show(Object o) {
        return o == null ? "null" : o.toString().replace("\n", "\\n");
    }

    // ---- side files and standard output ----

    /** A file's bytes as a string with one char per byte, or null when it does not exist. */
    static String bytes(Path p) {
        try {
            return new String(Files.readAllBytes(p), StandardCharsets.ISO_8859_1);
        } catch (IOException e) {
            return null;
        }
    }

    static String sideFile(String name) {
        return bytes(side.resolve(name));
    }

    static void write(Path p, String latin1) throws IOException {
        Files.write(p, latin1.getBytes(StandardCharsets.ISO_8859_1));
    }

    /** The terminal's bytes (one char per byte) as the text Java should see. */
    static String asJava(String latin1) {
        return new String(latin1.getBytes(StandardCharsets.ISO_8859_1), CP1252);
    }

    static String display(String line1, String line2) {
        return line1 + "\n" + line2 + "\n";
    }

    /** Result and printed lines of one native call. */
    record Call(int result, String out) {}

    static Call call(IntSupplier op) {
        System.out.flush();
        int before = bytes(stdoutFile).length();
        int result = op.getAsInt();
        System.out.flush();
        return new Call(result, bytes(stdoutFile).substring(before));
    }

    static javaTarq newTill() {
        javaTarq t = new javaTarq();
        t.displayline1 = SENTINEL;
        t.displayline2 = SENTINEL;
        t.printTxtJ = SENTINEL;
        return t;
    }

    // ---- every display.trq write during a call ----

    /**
     * Records every content the bridge writes to display.trq while a call blocks: the file is
     * made a named pipe for the time, so no write can slip between two polls (the driver may
     * replace the bridge's text within microseconds). Each write is two lines; writes that
     * reach the reader back to back are split on that.
     */
    static final class DisplayRecorder implements AutoCloseable {
        private static final String STOP = "\u0000stop\n\n";
        private final Path file;
        private final List<String> seen = new ArrayList<>();
        private final Thread thread;
        private boolean closed;

        DisplayRecorder(Path file) throws Exception {
            this.file = file;
            Files.deleteIfExists(file);
            Process mkfifo = new ProcessBuilder("mkfifo", file.toString()).inheritIO().start();
            if (mkfifo.waitFor() != 0) throw new IllegalStateException("mkfifo " + file);
            thread = new Thread(this::read, "display recorder");
            thread.setDaemon(true);
            thread.start();
        }

        private void read() {
            // Opened for reading and writing, the pipe never reaches end-of-file between two
            // writers: reopening after each one could lose a write that starts in that gap.
            // readLine takes one byte per char, as the side files are read everywhere here.
            try (RandomAccessFile in = new RandomAccessFile(file.toFile(), "rw")) {
                for (String l1, l2; (l1 = in.readLine()) != null && (l2 = in.readLine()) != null; ) {
                    String record = display(l1, l2);
                    if (record.equals(STOP)) return;
                    synchronized (seen) {
                        seen.add(record);
                    }
                }
            } catch (IOException e) {
                return;
            }
        }

        List<String> seen() {
            synchronized (seen) {
                return new ArrayList<>(seen);
            }
        }

        String last() {
            synchronized (seen) {
                return seen.isEmpty() ? null : seen.get(seen.size() - 1);
            }
        }

        /** Stops the reader and returns every record written so far. Call it once the native
         *  call has returned: until the reader has drained the pipe, the last writes may still be
         *  in transit. */
        List<String> finish() throws Exception {
            close();
            return seen();
        }

        /** Call only when no native call runs: a writer without reader would block. */
        @Override
        public void close() throws Exception {
            if (closed) return;
            closed = true;
            Thread stopper = new Thread(() -> {
                try (FileOutputStream out = new FileOutputStream(file.toFile())) {
                    out.write(STOP.getBytes(StandardCharsets.ISO_8859_1));
                } catch (IOException e) {
                    // the reader is gone already
                }
            });
            stopper.setDaemon(true);
            stopper.start();
            thread.join(10_000);
            stopper.join(10_000);
            check(!thread.isAlive(), "display recorder stopped");
            Files.deleteIfExists(file);
        }
    }

    // ---- the terminal simulator on a pseudo-terminal ----

    static final class Sim implements AutoCloseable {
        private static final Pattern PTY = Pattern.compile("terminal on (\\S+)\n");
        private static int count;
        private final Process process;

        /** Starts the simulator with these settings (key, value, ...; keys may repeat) and points
         *  tarqRS.ini at its line. */
        Sim(String... keyValues) throws Exception {
            ++count;
            StringBuilder text = new StringBuilder();
            for (int i = 0; i + 1 < keyValues.length; i += 2) {
                text.append(keyValues[i]).append(" = ").append(keyValues[i + 1]).append('\n');
            }
            Path scenario = work.resolve("sim" + count + ".scenario");
            write(scenario, text.toString());
            Path log = work.resolve("sim" + count + ".log");
            process = new ProcessBuilder(System.getProperty("tarqtest.sim"), "--scenario",
                    scenario.toString()).redirectErrorStream(true).redirectOutput(log.toFile())
                    .start();
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            String pty = null;
            while (pty == null && System.nanoTime() < deadline && process.isAlive()) {
                Thread.sleep(20);
                Matcher m = PTY.matcher(String.valueOf(bytes(log)));
                if (m.find()) pty = m.group(1);
            }
            if (pty == null) {
                close();
                throw new IllegalStateException("simulator printed no pty path: " + bytes(log));
            }
            write(work.resolve("lib").resolve("tarqRS.ini"),
                    "[BAUDRATE]\n\"9600\"\n[DEVICE]\n\"" + pty + "\"\n");
        }

        @Override
        public void close() throws InterruptedException {
            process.destroy();
            if (!process.waitFor(5, TimeUnit.SECONDS)) process.destroyForcibly().waitFor();
        }
    }
}
