#include <stdio.h>

#include "demo.h"

int demo_crypto(void) {
    puts("(not built yet)");
    return 0;
}
