/* Compiled as C and as C++ in several standards (see CMakeLists.txt): the
 * header alone, and a use of the names a caller meets first, must compile
 * without a warning under -Wpedantic. */
#include "vuvidur.h"

#include <string.h>

/* The retry loop that the header and docs/net.md show beside vesk_net_send. */
int send_with_retry(vesk_net_msg *msg);
int send_with_retry(vesk_net_msg *msg) {
    int tries, result = VESK_NET_SEND_PENDING;
    if (vesk_net_get_socket(msg->slot) == VESK_INVALID_SOCKET)
        return VESK_NET_SEND_BAD_SLOT; /* out of range, or free */
    for (tries = 0; tries < 1000 && result == VESK_NET_SEND_PENDING; ++tries) {
        result = vesk_net_send(msg);
        if (result == VESK_NET_SEND_PENDING)
            vesk_usleep(1000); /* 1 ms for the I/O thread to flush */
    }
    return result; /* still -2 after about a second */
}

int header_check_main(void);
int header_check_main(void) {
    unsigned char record[VESK_NET_MAX_RECORD];
    vesk_net_msg *msg = (vesk_net_msg *)record;
    msg->length = 0;
    memcpy(msg->data, "x", 1);
    return strcmp(vesk_version(), VESK_VERSION_STRING) == 0 && sizeof(vesk_net_msg) == 18 ? 0 : 1;
}
