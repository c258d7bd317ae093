import com.velmarworks.halvorn.Printer;
import com.velmarworks.halvorn.PrinterException;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * The Java side of the bench row for the Java API: prints checked jobs through
 * {@link Printer} when run-bench asks, and times each job itself, so that
 * neither the JVM's start nor the exchange with run-bench is in the figure.
 *
 * <p>One command a line on standard input, one answer a line on standard output:
 * <pre>
 *   open PORTNAME SETTINGS TIMEOUTMS   ok
 *   job BYTES                          the job's seconds (begin, BYTES bytes, end)
 *   close                              ok
 * </pre>
 * A failure is answered "error" and a description. End of input ends the driver.
 */
public final class JavaJobDriver {
    private Printer printer;
    private byte[] job = new byte[0];

    public static void main(String[] args) throws IOException {
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));
        PrintStream out = new PrintStream(System.out, true, StandardCharsets.US_ASCII);
        JavaJobDriver driver = new JavaJobDriver();
        String line;
        while ((line = in.readLine()) != null) {
            try {
                out.println(driver.run(line.split(" ")));
            } catch (PrinterException | RuntimeException e) {
                out.println("error " + e);
            }
        }
        driver.close();
    }

    private String run(String[] words) throws PrinterException {
        switch (words[0]) {
            case "open":
                close();
                printer = Printer.open(words[1], words[2], Integer.parseInt(words[3]));
                return "ok";
            case "job":
                return String.valueOf(timedJob(Integer.parseInt(words[1])));
            case "close":
                close();
                return "ok";
            default:
                return "error unknown command " + words[0];
        }
    }

    private double timedJob(int bytes) throws PrinterException {
        byte[] data = data(bytes);
        long start = System.nanoTime();
        printer.printJob(data);  // an offline printer or an error answer throws
        return (System.nanoTime() - start) / 1e9;
    }

    private byte[] data(int bytes) {
        if (printer == null) throw new IllegalStateException("no port is open");
        if (job.length != bytes) {
            job = new byte[bytes];
            Arrays.fill(job, (byte) 'A');
        }
        return job;
    }

    private void close() {
        if (printer != null) printer.close();
        printer = null;
    }
}
