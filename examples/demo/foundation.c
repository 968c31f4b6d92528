#include "demo.h"
int demo_foundation(void) { return 0; }
