#include "vuvidur.h"
int main(void) { return vesk_stub_zero(); }
