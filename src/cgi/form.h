// Form decoding for CGI requests: the pure core behind cgiInit and
// cgiGetValue.  Everything here works on byte spans handed in by the caller;
// no environment, stream or file is touched.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cgi {

// One decoded name/value pair.  Either text may hold a NUL byte (from an
// escape such as "%00"); name lookups and cgiGetValue treat the first NUL as
// the end, as for the C strings the interface hands out.
struct FormField {
    std::string name;
    std::string value;  // URL-encoded input: the decoded value
    // A part of a multipart body: its value is not copied but stays where it
    // is in the request body, which must outlive the field.
    const char *body_data = nullptr;
    size_t body_size = 0;
    bool is_file = false;      // the part named a file (a filename parameter, even "")
    std::string filename;      // as sent
    std::string content_type;  // the part's Content-Type, "" when absent

    // The value exactly as sent: every byte, NUL, CR and LF included.
    std::string_view bytes() const {
        return body_data != nullptr ? std::string_view(body_data, body_size)
                                    : std::string_view(value);
    }
};

using FormFieldList = std::vector<FormField>;
using Bytes = std::span<const unsigned char>;

// The value of a hexadecimal digit, and 0 for every other byte: inside an
// escape a non-digit counts as 0 rather than ending the escape.
int form_hex_value(unsigned char byte);

// Decodes URL-encoded text: "+" becomes a blank, "%XY" the byte 16*X + Y, any
// other byte stays.  An escape cut off by the end of the input yields
// nothing.  The result is never longer than the input.  Throws only
// std::bad_alloc.
std::string form_decode_text(Bytes input);

// Splits "name=value&name=value..." and appends the decoded pairs to `fields`
// in input order.  The scan for "=" does not stop at "&" (so "x&y=1" gives the
// name "x&y"); bytes after the last pair that hold no "=" give no field; an
// "&" as the last byte ends the input.  0 on success, 1 when memory ran out
// (the fields appended before stay in the list).
int form_split_pairs(Bytes input, FormFieldList &fields);

// Copies a field value into a caller's buffer the way cgiGetValue reports it:
// CR and LF bytes are dropped, the copy stops at the value's first NUL (or
// its end), and the buffer is tested for fullness (size - 1 bytes written)
// before each byte is looked at.  Returns 1 when the buffer filled, 3 when
// nothing was copied, 0 otherwise; the buffer is always terminated.  `size`
// must be at least 1.
int form_copy_value(std::string_view value, char *buffer, int size);

// 1 when `text` equals `literal`, comparing letters of `text` (by the current
// locale's classification) without regard to case and every other byte
// exactly; 0 otherwise.
int form_equal_no_case(const char *text, const char *literal);

// Whether a CONTENT_TYPE announces URL-encoded form input: the media type
// "application/x-www-form-urlencoded" in any letter case (ASCII letters only,
// as media types are), alone or followed by parameters after a ";", with
// blanks or tabs allowed before the ";" ("...; charset=UTF-8" is what
// browsers' scripts send).  The parameters are not looked at: the decoder
// works on bytes, whatever their character set.
bool form_is_urlencoded_type(std::string_view content_type);

// Whether the media type of a CONTENT_TYPE (the text before any ";", blanks
// and tabs around it ignored) is `type`, comparing ASCII letters without
// regard to case.  `type` is given in lower case.
bool form_media_type_is(std::string_view content_type, std::string_view type);

// The CONTENT_LENGTH conversion: leading white space, an optional sign, then
// decimal digits, as atoi reads them; 0 when no number starts the text.
// Values beyond the 32-bit range saturate instead of wrapping, so a huge
// announced length can never turn into a small or negative one.
int form_parse_length(const char *text);

}  // namespace cgi
