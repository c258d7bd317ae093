#include <quenvar.h>
#include <stdio.h>

int main(void) {
    void* port = OpenPort("", "", 10);
    printf("consumer linked: %d\n", ClosePort(port));
    return port == NULL ? 0 : 1;
}
