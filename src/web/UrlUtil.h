#pragma once
// URL text helpers of the HTTP client: splitting a URL into its parts,
// decoding form data, and the file name a request path suggests.  Plain
// functions over bytes; nothing here touches the network.

#include <string>
#include <string_view>

namespace qordex::web {

// The parts of a URL, as ParseUrl fills them.
struct TUrlParts {
    std::string proto, user, pass, host, port, path;
};

// Splits `url`.  Every output starts empty except `path`, whose incoming
// value is the base that the relative forms "./x" and "../x" are resolved
// against (a directory ends in "/"; the last segment of anything else is a
// file name).  The scheme is lower-cased; a URL without "://" that starts
// with "/" is a bare path, one that starts with "http:" or "mailto:" keeps
// that scheme.  Host, port and user information come from the text before
// the first "/" or "?".
void ParseUrl(std::string_view url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path);
TUrlParts ParseUrl(std::string_view url, std::string_view base = {});

// Decodes form data up to the end or the first "&": "+" is a space, "%" and
// two hexadecimal digits are that byte (blanks right after "%" are skipped);
// a "%" without a digit after it stays as it is.
std::string UrlDecode(std::string_view s);

// The file name a request path suggests: the text after the last "/" with
// the query dropped, at most 255 bytes; "document.htm" for an empty path or
// one that ends in "/".
std::string DocNameFromPath(std::string_view path);

// True when the text holds a CR, LF or NUL: such a text would end or split
// a request line, so it is never sent.
bool HasLineBreak(std::string_view text);

} // namespace qordex::web
