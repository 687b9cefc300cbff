// Text helpers: UTF-8 validity and the quoted (debug) forms of texts and paths.
#pragma once

#include <string>
#include <string_view>

namespace spansift {

bool is_valid_utf8(std::string_view bytes);

// The text between double quotes: backslash, double and single quote get a
// backslash; tab, CR, LF and NUL are \t \r \n \0; characters that are not
// printable or that extend a grapheme are \u{hex} (lower case, no leading
// zeros); each byte of an invalid UTF-8 sequence is \xNN (upper case).
// The form of paths in messages.
std::string quoted(std::string_view bytes);

// The same form for a text value, which leaves single quotes as they are:
// how a string found in the wrong place is shown in a read error.
std::string quoted_text(std::string_view bytes);

// `text` with a backslash before every double quote and backslash, as a
// message stands between the quotes of a detailed error text
// (Os { ..., message: "..." }, Error("...", ...)).
std::string escape_quotes(std::string_view text);

}  // namespace spansift
