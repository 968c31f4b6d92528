/* The demonstration's parts, one file each; main.c runs them in order.
 * Each returns 0 when everything it showed worked. */
#ifndef VESK_DEMO_H
#define VESK_DEMO_H

int demo_foundation(void); /* memory, mutex, threads, ring buffer, a child process */
int demo_services(void);   /* message queue, timer, settings file */
int demo_crypto(void);     /* ticket exchange, envelope, CRC-32 */
int demo_net(void);        /* the socket engine exchange */
int demo_cgi(void);        /* GET and POST through the example CGI program */

#endif
