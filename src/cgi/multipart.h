// multipart/form-data input, as browsers send a form with file inputs: the
// boundary from CONTENT_TYPE and the parts of the body.  Pure: works on the
// bytes handed in, touches no environment or stream.
#pragma once

#include <string>
#include <string_view>

#include "cgi/form.h"

namespace cgi {

// Results of multipart_decode.
constexpr int kMultipartOk = 0;
constexpr int kMultipartNoMemory = 1;
constexpr int kMultipartMalformed = 2;

// Whether CONTENT_TYPE announces multipart/form-data (the media type in any
// letter case, parameters after ";").  When it does, `boundary` receives the
// boundary parameter (its name in any letter case, its value a token or a
// quoted string), or "" when there is none or it is unusable (empty, or
// holding CR or LF).
bool multipart_form_type(std::string_view content_type, std::string &boundary);

// Decodes a multipart/form-data body and appends one field per part, in body
// order.  Each field's value stays in `body` (FormField::body_data), which
// must outlive the fields; names, file names and content types are copied.
//   - Delimiter lines are CRLF "--" boundary, then either "--" (the end) or
//     blanks and tabs and CRLF; a line that starts like a delimiter but goes
//     on otherwise is data.  Bytes before the first delimiter and after the
//     closing one are ignored.
//   - Each part has header lines ended by CRLF and an empty line; a
//     Content-Disposition "form-data" with a name parameter is required;
//     a filename parameter (even "") makes the part a file; Content-Type is
//     optional.  Header names in any letter case; other headers ignored.
//   - Parameter values are tokens or quoted strings in which a backslash
//     escapes '"' and '\' and stays as it is before any other byte.
// Time is linear in the body's length, and no value byte is copied.
// kMultipartMalformed for an empty boundary, no delimiter, a part without
// its headers (or without the empty line, or without a name), a header line
// without ':', an unterminated quoted string, or a missing closing delimiter;
// kMultipartNoMemory when memory ran out.  On failure the fields appended so
// far stay in the list: the caller drops them.
int multipart_decode(Bytes body, std::string_view boundary, FormFieldList &fields);

}  // namespace cgi
