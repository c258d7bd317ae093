/* A C program built through pkg-config: takes a printer's status. */
#include <quenvar.h>
#include <stdio.h>

int main(int argc, char** argv) {
    VelmarPrinterStatus_2 status = {0};
    void* port = argc > 1 ? OpenPort(argv[1], "", 3000) : NULL;
    if (port == NULL) return 1;
    const int taken = GetParsedStatusEx(port, &status, 2);
    ClosePort(port);
    if (!taken) return 1;
    printf("C consumer: status taken, offline %u, paper empty %u\n", status.offline, status.receiptPaperEmpty);
    return status.offline ? 1 : 0;
}
