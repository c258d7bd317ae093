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
            synchronized (this) {
                output.add(line);
            }
            if (line.contains("listening on")) {
                Thread drain = new Thread(() -> drain(reader), "virtual-printer-output " + address);
                drain.setDaemon(true);
                drain.start();
                return true;
            }
        }
        return false;
    }

    private void drain(BufferedReader reader) {
        try {
            String line;
            while ((line = reader.readLine()) != null) {
                synchronized (this) {
                    output.add(line);
                }
            }
        } catch (IOException ignored) {
            // the process ended
        }
    }
}
