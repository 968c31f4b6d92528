/* A program that uses Vuvidur the way any other project would: it includes
 * <vuvidur.h> and links the library, nothing from the source tree. */
#include <stdio.h>
#include <string.h>
#include <vuvidur.h>

int main(void) {
    vesk_ring ring;
    char out[8] = {0};
    const char *version = vesk_version();

    /* The library it runs with must be the one whose header it was built with. */
    if (strcmp(version, VESK_VERSION_STRING) != 0) {
        printf("header %s, library %s\n", VESK_VERSION_STRING, version);
        return 1;
    }
    vesk_ring_init(&ring, 16);
    if (vesk_ring_write(&ring, "hello", 5) != VESK_RING_OK || vesk_ring_read(&ring, out, 7) != 5) {
        printf("ring failed\n");
        return 1;
    }
    vesk_ring_free(&ring);
    printf("vuvidur %s from C: %s, crc32 %08x\n", version, out,
           (unsigned)vesk_crc32(0, "123456789", 9));
    return vesk_crc32(0, "123456789", 9) == 0xCBF43926u ? 0 : 1;
}
