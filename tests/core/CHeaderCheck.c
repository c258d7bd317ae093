/* Compiled as C99: the public header must be plain C, and the exported
 * functions must link and behave for the cases that need no printer. */
#include <stdio.h>

#include "quenvar.h"

int main(void) {
    VelmarPrinterStatus_0 status0;
    QuenvarPort port;
    if (ClosePort(NULL) != 1) return 1;
    port = OpenPort("Tcp:127.0.0.1", "", 100);
    if (port != NULL) return 2;
    port = OpenPort(NULL, "", 100);
    if (port != NULL) return 3;
    if (GetParsedStatus(NULL, &status0) != 0) return 4;
    (void)status0;
    printf("C header and exported functions usable from C\n");
    return 0;
}
