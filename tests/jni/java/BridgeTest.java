import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.stream.Stream;

import no.kelmo.javaTarq;

/**
 * The Java bridge in a real JVM, against the real driver library talking over a pseudo-terminal
 * to the terminal simulator.
 *
 * <pre>
 * java -Dtarqtest.lib=libtarqdriver.so -Dtarqtest.sim=tarqsim -cp ... BridgeTest GROUP WORKDIR
 * </pre>
 *
 * The test re-runs itself in a child JVM whose standard output goes to a file, so that each
 * native call's printed lines (the driver's stdio and the bridge's) can be read back exactly.
 * Each group gets a fresh WORKDIR holding its own copy of the library and its tarqRS.ini.
 */
public class BridgeTest {
    static final Charset CP1252 = Charset.forName("windows-1252");
    static final String BLANK = " ".repeat(20);
    static final String SENTINEL = "<not set>";

    static Path work;
    static Path side;
    static Path libDir;
    static Path stdoutFile;
    static int checks;
    static final List<String> failures = new ArrayList<>();

    public static void main(String[] args) throws Exception {
        if (args.length != 2) {
            System.err.println("usage: BridgeTest GROUP WORKDIR");
            System.exit(2);
        }
        if (System.getProperty("tarqtest.stdout") == null) {
            System.exit(runChild(args[0], Paths.get(args[1]).toAbsolutePath()));
        }
        work = Paths.get(args[1]).toAbsolutePath();
        libDir = work.resolve("lib");
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

    // ---- parent: fresh work directory, child JVM, transcript ----

    static int runChild(String group, Path dir) throws Exception {
        deleteTree(dir);
        Files.createDirectories(dir.resolve("lib"));
        Files.createDirectories(dir.resolve("side"));
        Path lib = dir.resolve("lib").resolve("libtarqdriver.so");
        Files.copy(Paths.get(require("tarqtest.lib")), lib, StandardCopyOption.REPLACE_EXISTING);
        Path out = dir.resolve("stdout.txt");
        List<String> cmd = new ArrayList<>();
        cmd.add(Paths.get(System.getProperty("java.home"), "bin", "java").toString());
        if (group.equals("loadname")) {
            cmd.add("-Djava.library.path=" + lib.getParent()); // found by its platform name
        } else if (group.equals("loadfail")) {
            cmd.add("-Djava.library.path=" + dir.resolve("side")); // nothing to find there
        } else {
            cmd.add("-Dtarqdriver.library=" + lib);
        }
        cmd.add("-Dtarqtest.stdout=" + out);
        cmd.add("-Dtarqtest.sim=" + System.getProperty("tarqtest.sim", ""));
        cmd.add("-Dtarqtest.example=" + System.getProperty("tarqtest.example", ""));
        cmd.add("-cp");
        cmd.add(System.getProperty("java.class.path"));
        cmd.add("BridgeTest");
        cmd.add(group);
        cmd.add(dir.toString());
        Process child = new ProcessBuilder(cmd).directory(dir.toFile())
                .redirectOutput(out.toFile()).redirectError(ProcessBuilder.Redirect.INHERIT)
                .start();
        boolean done = child.waitFor(240, TimeUnit.SECONDS);
        if (!done) {
            child.destroyForcibly().waitFor();
            System.out.println("child JVM did not finish within 240 s");
        }
        System.out.write(Files.readAllBytes(out));
        int code = done ? child.exitValue() : 1;
        if (code != 0) {
            try (Stream<Path> logs = Files.list(dir)) {
                for (Path log : (Iterable<Path>) logs.filter(p -> p.toString().endsWith(".log"))::iterator) {
                    System.out.println("---- " + log.getFileName());
                    System.out.write(Files.readAllBytes(log));
                }
            }
        }
        System.out.flush();
        return code;
    }

    static String require(String property) {
        String v = System.getProperty(property);
        if (v == null || v.isEmpty()) throw new IllegalStateException("-D" + property + " missing");
        return v;
    }

    static void deleteTree(Path dir) throws IOException {
        if (!Files.exists(dir)) return;
        try (Stream<Path> all = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) all.sorted(Comparator.reverseOrder())::iterator) {
                Files.delete(p);
            }
        }
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
    static final class Call {
        final int result;
        final String out;

        Call(int result, String out) {
            this.result = result;
            this.out = out;
        }
    }

    static Call call(IntSupplier op) {
        System.out.flush();
        long before = new File(stdoutFile.toString()).length();
        int result = op.getAsInt();
        System.out.flush();
        try (RandomAccessFile f = new RandomAccessFile(stdoutFile.toFile(), "r")) {
            byte[] b = new byte[(int) (f.length() - before)];
            f.seek(before);
            f.readFully(b);
            return new Call(result, new String(b, StandardCharsets.ISO_8859_1));
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
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
            StringBuilder pending = new StringBuilder();
            byte[] chunk = new byte[4096];
            // Opened for reading and writing, the pipe never reaches end-of-file between two
            // writers: reopening after each one could lose a write that starts in that gap.
            try (RandomAccessFile in = new RandomAccessFile(file.toFile(), "rw")) {
                for (int n; (n = in.read(chunk)) > 0; ) {
                    pending.append(new String(chunk, 0, n, StandardCharsets.ISO_8859_1));
                    for (int end; (end = secondLineEnd(pending)) > 0; ) {
                        String record = pending.substring(0, end);
                        pending.delete(0, end);
                        if (record.equals(STOP)) return;
                        synchronized (seen) {
                            seen.add(record);
                        }
                    }
                }
            } catch (IOException e) {
                return;
            }
        }

        private static int secondLineEnd(CharSequence s) {
            int first = s.toString().indexOf('\n');
            if (first < 0) return -1;
            int second = s.toString().indexOf('\n', first + 1);
            return second < 0 ? -1 : second + 1;
        }

        boolean saw(String content) {
            synchronized (seen) {
                return seen.contains(content);
            }
        }

        boolean sawStartingWith(String prefix) {
            synchronized (seen) {
                return seen.stream().anyMatch(s -> s.startsWith(prefix));
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

        /** Call only when no native call runs: a writer without reader would block. */
        @Override
        public void close() throws Exception {
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
        private static int count;
        private final Process process;
        final Path log;

        /** Starts the simulator with these settings and points tarqRS.ini at its line. */
        Sim(List<String[]> settings) throws Exception {
            ++count;
            Path scenario = work.resolve("sim" + count + ".scenario");
            StringBuilder text = new StringBuilder();
            for (String[] kv : settings) text.append(kv[0]).append(" = ").append(kv[1]).append('\n');
            Files.write(scenario, text.toString().getBytes(StandardCharsets.US_ASCII));
            log = work.resolve("sim" + count + ".log");
            List<String> cmd = new ArrayList<>();
            cmd.add(require("tarqtest.sim"));
            cmd.add("--scenario");
            cmd.add(scenario.toString());
            process = new ProcessBuilder(cmd).redirectErrorStream(true)
                    .redirectOutput(log.toFile()).start();
            String pty = null;
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            while (pty == null && System.nanoTime() < deadline && process.isAlive()) {
                Thread.sleep(20);
                pty = findPty(bytes(log));
            }
            if (pty == null) {
                close();
                throw new IllegalStateException("simulator printed no pty path: " + bytes(log));
            }
            write(libDir.resolve("tarqRS.ini"),
                    "[BAUDRATE]\n\"9600\"\n[DEVICE]\n\"" + pty + "\"\n");
        }

        private static String findPty(String log) {
            if (log == null) return null;
            int at = log.indexOf("/dev/pts/");
            if (at < 0) return null;
            int end = at + "/dev/pts/".length();
            while (end < log.length() && Character.isDigit(log.charAt(end))) ++end;
            return end > at + "/dev/pts/".length() ? log.substring(at, end) : null;
        }

        @Override
        public void close() throws InterruptedException {
            process.destroy();
            if (!process.waitFor(5, TimeUnit.SECONDS)) process.destroyForcibly().waitFor();
        }
    }

    /** Simulator settings as key, value, key, value...; keys may repeat. */
    static List<String[]> settings(String... keyValues) {
        List<String[]> list = new ArrayList<>();
        for (int i = 0; i + 1 < keyValues.length; i += 2) {
            list.add(new String[] {keyValues[i], keyValues[i + 1]});
        }
        return list;
    }
}
