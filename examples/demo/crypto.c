/* Cryptography and tickets: a ticket exchange between an issuer, a client and
 * a service, each message shown in hex; a sealed envelope round trip; a
 * CRC-32. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "vuvidur.h"

#define CLIENT_ID 1001u
#define SERVICE_ID 42u

/* Keys the issuer knows: in a real issuer they come from its key store, and
 * session keys from a strong random source. */
static const uint8_t service_key[16] = "service-key-0042";
static const uint8_t client_key[16] = "client-key--1001";
static const uint8_t session_key[16] = "session-key-0001";

static int32_t issuer_keys(uint32_t client_id, uint32_t service_id, uint8_t svc[16],
                           uint8_t cli[16], uint8_t session[16]) {
    if (client_id != CLIENT_ID || service_id != SERVICE_ID) return -7; /* unknown party */
    memcpy(svc, service_key, 16);
    memcpy(cli, client_key, 16);
    memcpy(session, session_key, 16);
    return 0;
}

static void show(const char *what, const uint8_t *bytes, int length) {
    char text[2 * 64 + 1];
    vesk_hex_encode(bytes, (uint16_t)length, text);
    printf("  %-34s %2d bytes  %s\n", what, length, text);
}

static int check(const char *step, int rc) {
    if (rc != 0) printf("  %s failed: %d\n", step, rc);
    return rc != 0;
}

static int show_tickets(void) {
    vesk_auth_client_ctx client;
    vesk_auth_server_ctx service;
    uint8_t request[8], answer[56], message[40], reply[8], sealed[16];
    int len, failures = 0;

    puts("ticket exchange (client 1001, service 42):");
    failures += check("client init", vesk_auth_client_init(&client, 0, CLIENT_ID, SERVICE_ID));
    failures += check("service init", vesk_auth_server_init(&service, SERVICE_ID, 0));

    len = sizeof request;
    failures += check("request", vesk_auth_client_request(&client, request, &len));
    show("client -> issuer: request", request, len);

    len = sizeof answer;
    failures += check("issue", vesk_auth_issue(request, 8, issuer_keys, answer, &len));
    show("issuer -> client: answer", answer, len);
    failures += check("accept", vesk_auth_client_accept(&client, client_key, answer, 56));
    printf("  client accepted: ticket usable for %u s\n", client.usable_lifetime);

    len = sizeof message;
    failures += check("authenticator", vesk_auth_client_authenticator(&client, message, &len));
    show("client -> service: authenticator", message, len);

    len = sizeof reply;
    failures += check("service accept",
                      vesk_auth_server_accept(&service, service_key, message, 40, reply, &len));
    printf("  service accepted client %u\n", service.client_id);
    show("service -> client: reply", reply, len);
    failures += check("verify", vesk_auth_client_verify(&client, reply, 8));
    puts("  client verified the service");

    len = sizeof sealed;
    failures += check("seal", vesk_auth_client_seal(&client, sealed, &len));
    show("client -> service: sealed message", sealed, len);
    failures += check("open", vesk_auth_server_open(&service, sealed, 16));
    int replay = vesk_auth_server_open(&service, sealed, 16);
    printf("  service opened it; the same message again is refused: %d\n", replay);
    failures += replay != -3;
    printf("  sequence numbers: client next %u / peer %u, service peer %u / next %u\n",
           client.next_seq, client.peer_seq, service.peer_seq, service.next_seq);
    return failures;
}

static int show_envelope(void) {
    static const uint8_t key[16] = "envelope-key-16b";
    const char *text = "Sealed in a padded envelope.";
    const int n = (int)strlen(text);
    uint8_t cipher[VESK_ENVELOPE_SIZE(64)], plain[64];
    char hex[2 * sizeof cipher + 1];
    vesk_envelope_key holder;
    int cipher_length = 0, plain_length = sizeof plain;

    vesk_envelope_init(&holder, key, 0, 0); /* also seeds the filler bytes */
    vesk_envelope_encrypt(holder.key, (const uint8_t *)text, n, cipher, &cipher_length);
    vesk_hex_encode(cipher, (uint16_t)cipher_length, hex);
    printf("envelope: %d data bytes sealed into %d: %s\n", n, cipher_length, hex);
    int rc = vesk_envelope_decrypt(holder.key, cipher, cipher_length, plain, &plain_length);
    printf("  opened (%d): \"%.*s\"\n", rc, plain_length, (const char *)plain);
    int opened = rc == 0 && plain_length == n && memcmp(plain, text, (size_t)n) == 0;
    cipher[cipher_length - 1] ^= 1;
    plain_length = sizeof plain;
    int damaged = vesk_envelope_decrypt(holder.key, cipher, cipher_length, plain, &plain_length);
    printf("  with one bit flipped in the last block: %d (trailing bytes not zero)\n", damaged);
    return opened && damaged == VESK_ENVELOPE_NOT_ZERO ? 0 : 1;
}

static int show_crc(void) {
    const char *digits = "123456789";
    uint32_t whole = vesk_crc32(0, digits, 9);
    uint32_t pieces = vesk_crc32(vesk_crc32(0, digits, 4), digits + 4, 5);
    printf("CRC-32 of \"123456789\": %08X (in two pieces: %08X)\n", whole, pieces);
    return whole == 0xCBF43926u && pieces == whole ? 0 : 1;
}

int demo_crypto(void) {
    int failures = show_tickets();
    failures += show_envelope();
    failures += show_crc();
    return failures;
}
