/* cgi_form: a CGI program built on Vuvidur that echoes the form fields it
 * was sent, as plain text.
 *
 * Which fields it echoes: the names listed, separated by commas, in the field
 * "fields"; without that field, "name" and "message".  Each echoed line shows
 * the lookup's result code next to the decoded value:
 *
 *   method: POST
 *   init: 0
 *   name [0]: Ada Lovelace
 *   missing [4]:
 *
 * A field "go" answers with a redirect to its value instead.
 * Install it where a web server runs CGI programs (for example as form.cgi);
 * it writes its trace to cgidebug.txt in its working directory, or where the
 * environment variable VESK_CGI_LOG says ("off": nowhere). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vuvidur.h"

enum { VALUE_SIZE = 1024 };

static void echo_field(const char *name) {
    char value[VALUE_SIZE];
    int code = cgiGetValue(name, value, (int)sizeof value);
    fprintf(cgiOutStream, "%s [%d]: %s\n", name, code, value);
}

int main(void) {
    int init = cgiInit();

    char target[VALUE_SIZE];
    if (cgiGetValue("go", target, (int)sizeof target) == 0) {
        cgiPrintLocation(target);
        cgiUninit();
        return 0;
    }

    cgiPrintContentType("text/plain");
    const char *method = getenv("REQUEST_METHOD");
    fprintf(cgiOutStream, "method: %s\n", method != NULL ? method : "");
    fprintf(cgiOutStream, "init: %d\n", init);

    char names[VALUE_SIZE];
    if (cgiGetValue("fields", names, (int)sizeof names) == 0) {
        for (char *name = strtok(names, ","); name != NULL; name = strtok(NULL, ",")) {
            echo_field(name);
        }
    } else {
        echo_field("name");
        echo_field("message");
    }

    cgiUninit(); /* flushes the response */
    return 0;
}
