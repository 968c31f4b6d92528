#include <stdio.h>

#include "demo.h"

int demo_services(void) {
    puts("(not built yet)");
    return 0;
}
