/* Vuvidur's end-to-end demonstration: `make demo`. */
#include <stdio.h>

#include "demo.h"

int main(void) {
    struct {
        const char *title;
        int (*run)(void);
    } parts[] = {
        {"Foundations", demo_foundation},
        {"Services", demo_services},
        {"Cryptography and tickets", demo_crypto},
        {"Socket engine", demo_net},
        {"CGI", demo_cgi},
    };
    int failures = 0;
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        printf("\n=== %s ===\n", parts[i].title);
        fflush(stdout);
        int rc = parts[i].run();
        printf("--- %s: %s\n", parts[i].title, rc == 0 ? "ok" : "FAILED");
        failures += rc != 0;
    }
    printf("\n%s\n",
           failures == 0 ? "demo finished: everything worked" : "demo finished with failures");
    return failures == 0 ? 0 : 1;
}
