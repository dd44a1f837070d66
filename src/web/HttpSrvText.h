#pragma once
// The HTTP server's texts over bytes: reading a request head, recognising its
// header lines, mapping a request path under the document root, byte ranges,
// escaping, dates and the content type of a file.  Nothing here touches a
// socket or the file system, so every rule is tested and fuzzed alone.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::web {

// Limits on what a client may make the server hold while it reads a head.
struct THttpHeadLimits {
    std::size_t maxLine = 8 * 1024;   // one request or header line
    std::size_t maxHead = 64 * 1024;  // request line and all header lines
    std::size_t maxFields = 100;      // header lines
};

enum class THttpHeadStatus {
    NeedMore, // the head is not complete yet
    Done,     // `consumed` bytes formed the head (up to its empty line)
    TooLarge, // a limit was passed: 431
    Bad,      // the request line is malformed: 400
};

struct THttpRequestHead {
    std::string method;               // upper-cased
    std::string path;                 // before the first "?", still URL-encoded
    std::string params;               // after the first "?"
    std::string version;              // upper-cased; "HTTP/1.0" when absent
    std::vector<std::string> headers; // header lines without their line end
};

struct THttpHeadResult {
    THttpHeadStatus status = THttpHeadStatus::NeedMore;
    std::size_t consumed = 0;
};

// Reads one request head from the front of `data`.  Lines end with LF (a CR
// before it is dropped); empty lines before the request line are skipped, as
// clients may send one after a body.
THttpHeadResult ParseRequestHead(std::string_view data, THttpRequestHead& head,
                                 const THttpHeadLimits& limits = {});

// The values the server keeps from the header lines of one request.
struct THttpRequestFields {
    std::string contentType, accept, referer, acceptLanguage, acceptEncoding, userAgent,
        auth, cookie, host, hostName, hostPort, connection, range;
    long long contentLength = 0;
    bool hasContentLength = false;
    bool badContentLength = false; // not a number, negative, or two that differ
    bool hasTransferEncoding = false;
    bool keepAlive = false;
};

// Recognises one header line (names matched case-insensitively with their
// colon) into `fields`; `version` decides what "Connection:" means and
// `serverPort` is the host port when "Host:" names none.
void ApplyHeaderLine(THttpRequestFields& fields, std::string_view line,
                     std::string_view version, std::string_view serverPort);

// ---- paths ---------------------------------------------------------------------

// "%" and two hexadecimal digits become that byte; a "%" in the last two
// characters and all after it stay; "+" stays.
std::string UrlDecodePath(std::string_view s);
// Letters, digits and "." stay; every other byte becomes "%XX".
std::string UrlEncodeName(std::string_view s);
// The HTML escaping of answers and listings.
std::string HtmlEscape(std::string_view s);

enum class TPathCheck { Ok, Bad };

// Turns a request path into a path relative to the document root: decoded,
// with "." and ".." resolved so that it never climbs above the root.  Bad
// when the decoded path holds a NUL, the encoded one an escaped "/" or "\",
// or the path does not start with "/".  `relative` never starts with "/".
TPathCheck MapRequestPath(std::string_view path, std::string& relative);

// Lexical normalisation of a "/"-separated absolute path: "." dropped,
// ".." removes the segment before it and never climbs above "/".
std::string NormalisePosixPath(std::string_view path);

// ---- byte ranges (RFC 7233) ------------------------------------------------------

struct THttpRange {
    long long RangeFrom = -1; // -1: not given
    long long RangeTo = -1;
};
using THttpRangeList = std::vector<THttpRange>;

// Fills `list` from a "Range:" value; pieces that do not parse are skipped and
// a unit other than "bytes" leaves the list empty.
void ParseRangeHeader(std::string_view value, THttpRangeList& list);

// A range resolved against a document of `size` bytes: [start, end).
struct TResolvedRange {
    long long start = 0, end = 0;
};

enum class TRangePlan {
    Whole,         // answer the whole document with 200
    Partial,       // 206 with `parts`
    Unsatisfiable, // 416
};

// Most ranges one request may ask for before it gets the whole document.
inline constexpr std::size_t kMaxRanges = 16;

// Decides how a range list is answered for a document of `size` bytes: an end
// past the size is clamped, a suffix longer than the document covers it all,
// more than kMaxRanges ranges or ranges that add up past the size give the
// whole document.
TRangePlan PlanRanges(const THttpRangeList& list, long long size,
                      std::vector<TResolvedRange>& parts);

// "START-END/SIZE" of a resolved range.
std::string ContentRangeText(const TResolvedRange& range, long long size);

// The multipart boundary of answers with several ranges.
inline constexpr const char* kRangeBoundary = "[lka9uw3et5vxybtp87ghq23dpu7djv84nhls9p]";

// ---- answers -------------------------------------------------------------------

// The content type of a file from its extension.
std::string DocumentContentType(std::string_view fileName);
// "Sun, 06 Nov 1994 08:49:37 GMT" for a UTC time (RFC 7231 §7.1.1.1).
std::string HttpDate(std::time_t t);

// Answer bodies of the fixed answers; `path` is escaped here.
std::string Answer404Body(std::string_view path);
std::string Answer403Body(std::string_view path);
std::string Answer401Body(std::string_view path);

// ---- directory listings --------------------------------------------------------

struct THttpDirEntry {
    bool Visible = true;
    std::string Name;
    std::uint32_t SizeLow = 0;  // the size's low 32 bits
    std::uint32_t SizeHigh = 0; // the size's high 32 bits
    int Year = 0, Month = 0, Day = 0, Hour = 0, Min = 0, Sec = 0; // local time
    bool VolumeID = false, Directory = false, ReadOnly = false, SysFile = false,
         Hidden = false;

    long long Size() const { return (static_cast<long long>(SizeHigh) << 32) | SizeLow; }
};

// The cells of one listing row; `path` is the request path (URL-encoded).
std::string FormatDirEntry(std::string_view path, const THttpDirEntry& entry);
// The whole listing page for the directories and files (each already sorted
// and filtered) of the request path `path`.
std::string BuildDirListText(std::string_view path, const std::vector<THttpDirEntry>& dirs,
                             const std::vector<THttpDirEntry>& files);

// ---- Digest authentication (RFC 2617) -----------------------------------------

// The fields of an "Authorization: Digest ..." value; `ok` when it parsed.
struct TDigestFields {
    bool ok = false;
    std::string username, realm, qop, algorithm, nonce, nc, uri, cnonce, opaque, response;
};
TDigestFields ParseDigestAuthorization(std::string_view value);

// The expected "response" value for `f` (MD5 or MD5-sess), lower-case hex.
std::string DigestResponse(const TDigestFields& f, std::string_view password,
                           std::string_view method, std::string_view entityBody);

} // namespace qordex::web
