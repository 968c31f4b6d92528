#include <stdio.h>

#include "demo.h"

int demo_net(void) {
    puts("(not built yet)");
    return 0;
}
