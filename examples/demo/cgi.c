#include <stdio.h>

#include "demo.h"

int demo_cgi(void) {
    puts("(not built yet)");
    return 0;
}
