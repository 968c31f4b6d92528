/* cgi_form: a CGI program built on Vuvidur that echoes the form fields and
 * files it was sent, as plain UTF-8 text.
 *
 * Which fields it echoes: the names listed, separated by commas, in the field
 * "fields"; without that field, "name" and "message".  Each value of a name
 * gets a line with the lookup's result code next to the decoded value (CR and
 * LF dropped, as cgiGetValue gives it), the first as "name", further ones as
 * "name#1", "name#2", ...; a value whose bytes as sent hold CR or LF (a
 * textarea's lines) gets a second line with those bytes quoted, CR, LF,
 * quote, backslash and other control bytes escaped as in C; a name that holds
 * files gets one line per file with its name, type, size and CRC-32 instead:
 *
 *   method: POST
 *   init: 0
 *   name [0]: Ada Lovelace
 *   cb [0]: a
 *   cb#1 [0]: c
 *   message [0]: line 1line 2
 *   message bytes: "line 1\r\nline 2"
 *   photo: file "beach.jpg" image/jpeg 48213 bytes crc32 5f2b8e71
 *   missing [4]:
 *
 * A field "go" answers with a redirect to its value instead, and a field
 * "form" with an HTML upload form that posts back to this program.
 * Install it where a web server runs CGI programs (for example as form.cgi);
 * it writes its trace to cgidebug.txt in its working directory, or where the
 * environment variable VESK_CGI_LOG says ("off": nowhere). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vuvidur.h"

enum { VALUE_SIZE = 1024 };

static void echo_files(const char *name) {
    vesk_cgi_file file;
    for (int i = 0; cgiGetFile(name, i, &file) == VESK_CGI_FOUND; ++i) {
        unsigned long crc = (unsigned long)vesk_crc32(0, file.data, (int)file.size);
        fprintf(cgiOutStream, "%s: file \"%s\" %s %ld bytes crc32 %08lx\n", name, file.filename,
                file.content_type, (long)file.size, crc);
    }
}

/* The value as sent, when it holds line ends that cgiGetValueAt dropped. */
static void echo_line_ends(const char *name, int index) {
    const char *data;
    int size;
    if (cgiGetBytes(name, index, &data, &size) != VESK_CGI_FOUND) return;
    if (memchr(data, '\r', (size_t)size) == NULL && memchr(data, '\n', (size_t)size) == NULL)
        return;
    if (index == 0) {
        fprintf(cgiOutStream, "%s bytes: \"", name);
    } else {
        fprintf(cgiOutStream, "%s#%d bytes: \"", name, index);
    }
    for (int i = 0; i < size; ++i) {
        unsigned char c = (unsigned char)data[i];
        if (c == '\r') {
            fputs("\\r", cgiOutStream);
        } else if (c == '\n') {
            fputs("\\n", cgiOutStream);
        } else if (c == '"' || c == '\\') {
            fprintf(cgiOutStream, "\\%c", c);
        } else if (c < 0x20 || c == 0x7f) {
            fprintf(cgiOutStream, "\\x%02x", c);
        } else {
            fputc(c, cgiOutStream);
        }
    }
    fputs("\"\n", cgiOutStream);
}

static void echo_field(const char *name) {
    vesk_cgi_file file;
    if (cgiGetFile(name, 0, &file) == VESK_CGI_FOUND) {
        echo_files(name);
        return;
    }
    char value[VALUE_SIZE];
    int count = cgiCountValues(name);
    for (int i = 0; i < count || i == 0; ++i) {
        int code = cgiGetValueAt(name, i, value, (int)sizeof value);
        if (i == 0) {
            fprintf(cgiOutStream, "%s [%d]: %s\n", name, code, value);
        } else {
            fprintf(cgiOutStream, "%s#%d [%d]: %s\n", name, i, code, value);
        }
        echo_line_ends(name, i);
    }
}

static void upload_form(void) {
    cgiPrintContentType("text/html; charset=utf-8");
    fputs(
        "<!DOCTYPE html>\n<meta charset=\"utf-8\"><title>Upload</title>\n"
        "<form method=\"post\" enctype=\"multipart/form-data\">\n"
        "<input type=\"hidden\" name=\"fields\" value=\"name,message,cb,files\">\n"
        "<p>Name <input name=\"name\"></p>\n"
        "<p>Message <textarea name=\"message\"></textarea></p>\n"
        "<p><label><input type=\"checkbox\" name=\"cb\" value=\"a\"> a</label>\n"
        "<label><input type=\"checkbox\" name=\"cb\" value=\"b\"> b</label></p>\n"
        "<p>Files <input type=\"file\" name=\"files\" multiple></p>\n"
        "<p><button>Send</button></p>\n</form>\n",
        cgiOutStream);
}

int main(void) {
    int init = cgiInit();

    char target[VALUE_SIZE];
    if (cgiGetValue("go", target, (int)sizeof target) == 0) {
        cgiPrintLocation(target);
        cgiUninit();
        return 0;
    }
    if (cgiCountValues("form") > 0) {
        upload_form();
        cgiUninit();
        return 0;
    }

    /* The charset lets a browser show UTF-8 input as it was typed. */
    cgiPrintContentType("text/plain; charset=utf-8");
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

    cgiUninit(); /* reads what is left of the request body, flushes the response */
    return 0;
}
