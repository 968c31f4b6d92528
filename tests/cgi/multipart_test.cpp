// The multipart/form-data decoder on its own: the boundary from the content
// type, then bodies as browsers send them, odd but valid ones, and each
// malformed shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/multipart.h"

namespace {

using namespace std::string_literals;

// Each field as "name=value" for a text field, "name:filename:type=value" for
// a file, one per line.
std::string describe(const cgi::FormFieldList &fields) {
    std::string out;
    for (const auto &f : fields) {
        out += f.name;
        if (f.is_file) out += ":" + f.filename + ":" + f.content_type;
        out += "=" + std::string(f.bytes()) + "\n";
    }
    return out;
}

struct Decoded {
    int code;
    std::string fields;
};

Decoded decode(const std::string &body, const std::string &boundary = "AaB03x") {
    cgi::FormFieldList fields;
    int code = cgi::multipart_decode(
        cgi::Bytes(reinterpret_cast<const unsigned char *>(body.data()), body.size()), boundary,
        fields);
    for (const auto &f : fields) {
        // Values are views into the body, never copies.
        EXPECT_TRUE(f.body_data >= body.data() &&
                    f.body_data + f.body_size <= body.data() + body.size());
    }
    return {code, describe(fields)};
}

const std::string kText = "Content-Disposition: form-data; name=";

TEST(MultipartType, BoundaryIsATokenOrAQuotedStringInAnyLetterCase) {
    struct Case {
        const char *type;
        bool multipart;
        const char *boundary;
    } cases[] = {
        {"multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxk", true,
         "----WebKitFormBoundary7MA4YWxk"},
        {"Multipart/Form-Data;BOUNDARY=\"a b;c=d\"", true, "a b;c=d"},
        {"multipart/form-data; charset=utf-8; boundary=x ; y=z", true, "x"},
        {"  multipart/form-data  ; Boundary = \"q\\\"r\"", true, "q\"r"},
        {"multipart/form-data", true, ""},
        {"multipart/form-data; boundary=\"\"", true, ""},
        {"multipart/form-data; boundary=\"open", true, ""},
        {"multipart/form-data; boundary=a\rb", true, ""},
        {"multipart/mixed; boundary=x", false, ""},
        {"multipart/form-datax; boundary=x", false, ""},
        {"text/plain; multipart/form-data; boundary=x", false, ""},
    };
    for (const auto &c : cases) {
        std::string boundary = "stale";
        EXPECT_EQ(cgi::multipart_form_type(c.type, boundary), c.multipart) << c.type;
        EXPECT_EQ(boundary, c.boundary) << c.type;
    }
}

TEST(MultipartDecode, BrowserFormWithTextFieldsAndFiles) {
    // What a browser sends for a text input, a textarea, a file input with
    // two files, and a file input left empty.
    const std::string body =
        "--AaB03x\r\n" + kText +
        "\"name\"\r\n\r\nGr\xC3\xBC\xC3\x9F"
        "e\r\n" +
        "--AaB03x\r\n" + kText + "\"note\"\r\n\r\nline 1\r\nline 2\r\n" + "--AaB03x\r\n" + kText +
        "\"up\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\n" + "text\r\n" +
        "--AaB03x\r\n" + kText + "\"up\"; filename=\"b.bin\"\r\n" +
        "Content-Type: application/octet-stream\r\n\r\n\x01\x02\r\n" + "--AaB03x\r\n" + kText +
        "\"none\"; filename=\"\"\r\nContent-Type: application/octet-stream\r\n\r\n\r\n" +
        "--AaB03x--\r\n";
    Decoded d = decode(body);
    EXPECT_EQ(d.code, cgi::kMultipartOk);
    EXPECT_EQ(d.fields,
              "name=Gr\xC3\xBC\xC3\x9F"
              "e\nnote=line 1\r\nline 2\n"
              "up:a.txt:text/plain=text\nup:b.bin:application/octet-stream=\x01\x02\n"
              "none::application/octet-stream=\n");
}

TEST(MultipartDecode, ValidButUnusualShapes) {
    struct Case {
        const char *what;
        std::string body;
        std::string fields;
    } cases[] = {
        {"names and file names quoted with ';', '=', escaped quotes and backslashes",
         "--AaB03x\r\n" + kText +
             "\"a;b=c\\\"d\"; filename=\"C:\\dir\\x\\\\y.txt\"\r\n\r\nv\r\n"
             "--AaB03x--",
         "a;b=c\"d:C:\\dir\\x\\y.txt:=v\n"},
        {"header and parameter names in any letter case, token values, no part type",
         "--AaB03x\r\nCONTENT-disposition:Form-Data;NAME=plain ;FileName=f.txt\r\n"
         "X-Other: ignored\r\n\r\nv\r\n--AaB03x--\r\n",
         "plain:f.txt:=v\n"},
        {"preamble, transport padding and epilogue",
         "preamble\r\n--AaB03x \t\r\n" + kText +
             "a\r\n\r\n1\r\n--AaB03x--  epilogue\r\n--AaB03x\r\n",
         "a=1\n"},
        {"binary bytes and lines that only look like delimiters",
         "--AaB03x\r\n" + kText +
             "b\r\n\r\n\0\r\n--AaB03xy\r\n--AaB03\r\n--AaB03x z\r\n"
             "--AaB03x-\r\n\r\r\n--AaB03x\r\n"s +
             kText + "c\r\n\r\n\r\n--AaB03x--"s,
         "b=\0\r\n--AaB03xy\r\n--AaB03\r\n--AaB03x z\r\n--AaB03x-\r\n\r\nc=\n"s},
        {"no fields at all", "--AaB03x--\r\n", ""},
        {"an empty name", "--AaB03x\r\n" + kText + "\"\"\r\n\r\nv\r\n--AaB03x--", "=v\n"},
    };
    for (const auto &c : cases) {
        Decoded d = decode(c.body);
        EXPECT_EQ(d.code, cgi::kMultipartOk) << c.what;
        EXPECT_EQ(d.fields, c.fields) << c.what;
    }
}

TEST(MultipartDecode, DispositionParametersFirstOneWinsOddOnesAreSkipped) {
    struct Case {
        const char *what;
        std::string disposition;
        std::string fields;
    } cases[] = {
        {"a second name or file name does not replace the first",
         "form-data; name=a; name=b; filename=x; filename=y", "a:x:=v\n"},
        {"the file name may come first", "form-data; filename=\"f\"; name=\"n\"", "n:f:=v\n"},
        {"parameters without a value, empty ones and trailing ';'", "form-data; flag; name=a;; ;  ",
         "a=v\n"},
        {"bytes after a closing quote are ignored", "form-data; name=\"a\"junk; filename=f",
         "a:f:=v\n"},
        {"an empty value at the very end", "form-data; filename=x; name=", ":x:=v\n"},
        {"a blank-only parameter name", "form-data; \t=1; name=a", "a=v\n"},
        {"a parameter without a value at the very end", "form-data; name=a; flag", "a=v\n"},
    };
    for (const auto &c : cases) {
        Decoded d =
            decode("--AaB03x\r\nContent-Disposition: " + c.disposition + "\r\n\r\nv\r\n--AaB03x--");
        EXPECT_EQ(d.code, cgi::kMultipartOk) << c.what;
        EXPECT_EQ(d.fields, c.fields) << c.what;
    }
}

TEST(MultipartDecode, LookAlikeHeadersAndBareCarriageReturns) {
    // A header of the same length as Content-Type is not taken for it, and a
    // bare CR inside a header line does not end it.
    Decoded d = decode(
        "--AaB03x\r\n" + kText +
        "\"a\rb\"; filename=f\r\nContent-Tipe: text/x\r\nX-Blank: \t \r\n\r\nv\r\n--AaB03x--");
    EXPECT_EQ(d.code, cgi::kMultipartOk);
    EXPECT_EQ(d.fields, "a\rb:f:=v\n");
    // Delimiter look-alikes cut short by the end of the body, by a bare CR
    // after the transport padding, or a lone "-" after the boundary.
    d = decode("--AaB03x\r\n" + kText + "a\r\n\r\n--AaB03x \r-\r\n--AaB03x-x\r\n--AaB03x--");
    EXPECT_EQ(d.code, cgi::kMultipartOk);
    EXPECT_EQ(d.fields, "a=--AaB03x \r-\r\n--AaB03x-x\n");
}

TEST(MultipartDecode, MalformedBodiesAreRefused) {
    const std::string part = "--AaB03x\r\n" + kText + "a\r\n\r\nv\r\n";
    struct Case {
        const char *what;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"no delimiter", kText + "a\r\n\r\nv\r\n"},
        {"a part without headers", "--AaB03x\r\n\r\nv\r\n--AaB03x--"},
        {"an empty part", part + "--AaB03x\r\n\r\n--AaB03x--"},
        {"headers without the empty line", "--AaB03x\r\n" + kText + "a\r\n--AaB03x--"},
        {"a header line without ':'", "--AaB03x\r\nvalue\r\n\r\nv\r\n--AaB03x--"},
        {"no name",
         "--AaB03x\r\nContent-Disposition: form-data; filename=x\r\n\r\nv\r\n--AaB03x--"},
        {"not form-data",
         "--AaB03x\r\nContent-Disposition: attachment; name=a\r\n\r\nv\r\n--AaB03x--"},
        {"unterminated quoted name", "--AaB03x\r\n" + kText + "\"a\r\n\r\nv\r\n--AaB03x--"},
        {"closing delimiter missing", part},
        {"body cut inside a part", part + "--AaB03x\r\n" + kText + "b\r\n\r\nvalue"},
        {"the closing delimiter of another boundary", part + "--AaB03y--\r\n"},
        {"a quoted name cut after a backslash",
         "--AaB03x\r\n" + kText + "\"a\\\r\n\r\nv\r\n--AaB03x--"},
        {"a disposition without parameters",
         "--AaB03x\r\nContent-Disposition: form-data\r\n\r\nv\r\n--AaB03x--"},
        {"a look-alike of the disposition header",
         "--AaB03x\r\nContent-Dispositiom: form-data; name=a\r\n\r\nv\r\n--AaB03x--"},
        {"headers ended by a bare CR", "--AaB03x\r\n" + kText + "a\r\r\n--AaB03x--"},
        {"only the boundary", "--AaB03x"},
        {"the boundary, blanks and the end", "--AaB03x  "},
        {"a body ending in a bare CR", part + "--AaB03x\r\n" + kText + "b\r\n\r\nv\r"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(decode(c.body).code, cgi::kMultipartMalformed) << c.what;
    }
    EXPECT_EQ(decode(part + "--AaB03x--", "").code, cgi::kMultipartMalformed) << "empty boundary";
    EXPECT_EQ(decode("--a\rb\r\n" + kText + "a\r\n\r\nv\r\n--a\rb--", "a\rb").code,
              cgi::kMultipartMalformed)
        << "a boundary with a CR";
    // A last part whose body ends in a bare CR has no closing delimiter,
    // wherever that CR falls among the scan's windows.
    for (size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(
            decode(part + "--AaB03x\r\n" + kText + "b\r\n\r\n" + std::string(k, 'x') + "\r").code,
            cgi::kMultipartMalformed)
            << k << " bytes before the CR";
    }
}

}  // namespace
