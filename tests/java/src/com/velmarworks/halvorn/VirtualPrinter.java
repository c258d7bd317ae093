package com.velmarworks.halvorn;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;

/**
 * Test helper: a virtual printer run as a separate "quenvar emulate" process on
 * a loopback address of its own, so that tests running at the same time never
 * share the printer's fixed ports. An address another run holds makes the
 * process exit before it reports itself listening; another address is tried.
 */
final class VirtualPrinter implements AutoCloseable {
    private static final int ATTEMPTS = 40;

    private final String address;
    private final Process process;
    private final List<String> output = new ArrayList<>();

    private VirtualPrinter(String address, Process process) {
        this.address = address;
        this.process = process;
    }

    /** Starts a virtual printer; the test is skipped when the quenvar tool was not built. */
    static VirtualPrinter start(String... options) throws IOException, InterruptedException {
        String tool = System.getProperty("quenvar.tool");
        Assumptions.assumeTrue(tool != null && !tool.isEmpty(), "the quenvar tool is not built");
        IOException lastFailure = null;
        for (int attempt = 0; attempt < ATTEMPTS; attempt++) {
            String address = "127.0.0." + ThreadLocalRandom.current().nextInt(2, 255);
            List<String> command = new ArrayList<>(Arrays.asList(tool, "emulate", "--address", address));
            command.addAll(Arrays.asList(options));
            Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
            VirtualPrinter printer = new VirtualPrinter(address, process);
            if (printer.awaitListening()) return printer;
            process.waitFor(5, TimeUnit.SECONDS);
            lastFailure = new IOException("virtual printer on " + address + " did not start: " + printer.output());
        }
        throw lastFailure;
    }

    /** The port name that opens this printer through the network transport. */
    String portName() {
        return "TCP:" + address;
    }

    String address() {
        return address;
    }

    /** Everything the process printed so far. */
    synchronized List<String> output() {
        return new ArrayList<>(output);
    }

    /**
     * Waits until a line of the printer's output after the first {@code from}
     * lines contains {@code text}; returns the number of lines then seen. The
     * bound only keeps a broken run from hanging.
     */
    synchronized int awaitOutput(int from, String text) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        for (;;) {
            for (int i = from; i < output.size(); i++) {
                if (output.get(i).contains(text)) return i + 1;
            }
            long left = deadline - System.nanoTime();
            if (left <= 0) throw new AssertionError("virtual printer never said \"" + text + "\": " + output);
            TimeUnit.NANOSECONDS.timedWait(this, left);
        }
    }

    /** Whether the receipt shows a line printed exactly as {@code text}. */
    void awaitPrintedLine(String text) throws InterruptedException {
        awaitOutput(0, "printed: " + text);
    }

    /** A condition that a test waits for. */
    interface Check {
        boolean holds() throws Exception;
    }

    /**
     * Waits until {@code check} holds, looking again every few milliseconds:
     * the printer's status frames arrive a moment after its console answers.
     * The bound only keeps a broken run from hanging.
     */
    static void eventually(String what, Check check) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (!check.holds()) {
            if (System.nanoTime() > deadline) throw new AssertionError(what + " never came to pass");
            Thread.sleep(10);
        }
    }

    /** Types a command on the printer's console and waits for its answer. */
    void command(String line, String answer) throws IOException, InterruptedException {
        int seen;
        synchronized (this) {
            seen = output.size();
        }
        process.getOutputStream().write((line + "\n").getBytes(StandardCharsets.US_ASCII));
        process.getOutputStream().flush();
        awaitOutput(seen, answer);
    }

    @Override
    public void close() {
        process.destroy();
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                process.waitFor(5, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
    }

    // Reads the process's output up to its "listening on" line, then keeps
    // draining it on a daemon thread so a chatty printer never blocks on a
    // full pipe. False when the process ended first.
    private boolean awaitListening() throws IOException {
        BufferedReader reader = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8));
        String line;
        while ((line = reader.readLine()) != null) {
            record(line);
            if (line.contains("listening on")) {
                Thread drain = new Thread(() -> drain(reader), "virtual-printer-output " + address);
                drain.setDaemon(true);
                drain.start();
                return true;
            }
        }
        return false;
    }

    private synchronized void record(String line) {
        output.add(line);
        notifyAll();
    }

    private void drain(BufferedReader reader) {
        try {
            String line;
            while ((line = reader.readLine()) != null) record(line);
        } catch (IOException ignored) {
            // the process ended
        }
    }
}
