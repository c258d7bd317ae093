import com.velmarworks.halvorn.Printer;
import com.velmarworks.halvorn.PrinterException;
import com.velmarworks.halvorn.PrinterStatus;
import java.nio.charset.StandardCharsets;

/** A Java program compiled against quenvar.jar alone: prints a confirmed job. */
public class PrintReceipt {
    public static void main(String[] args) throws PrinterException {
        try (Printer printer = Printer.open(args[0], "", 3000)) {
            PrinterStatus done = printer.printJob("printed by the Java consumer\n".getBytes(StandardCharsets.US_ASCII));
            System.out.println("Java consumer: job confirmed, ETB counter " + done.etbCounter);
        }
    }
}
