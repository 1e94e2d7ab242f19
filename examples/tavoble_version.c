/* Prints the API version of libtavoble through its C interface. */
#include <stdio.h>

#include "tavoble.h"

int main(void) {
    printf("libtavoble API version %.1f\n", (double)TAVOBLE_GetApiVersion());
    return 0;
}
