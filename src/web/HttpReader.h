#pragma once
// The HTTP client's answer reader as codecs over bytes: the line buffer that
// splits the status and header lines, the status-line and header-line
// parsers, and the chunked-body decoder.  No socket here: the engine feeds
// them what it received, in any pieces, and they say what they used.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qordex::web {

// ---- limits -------------------------------------------------------------------

// Bytes the line buffer holds; a longer line is cut (see THttpLineBuffer).
inline constexpr std::size_t kHttpLineBufferSize = 8190;
// What is read at a time while an over-long line is skipped.
inline constexpr std::size_t kHttpLongLineScratch = 25;
// The whole answer header, status line included: past this the answer is refused.
inline constexpr std::size_t kHttpMaxHeaderBytes = 256 * 1024;
// Hexadecimal digits of a chunk size; more would overflow a 64-bit count.
inline constexpr std::size_t kHttpMaxChunkSizeDigits = 15;

// ---- the line buffer ----------------------------------------------------------

// Holds received bytes until they form lines.  A line ends at LF; a CR right
// before the LF is dropped.  While the buffer is full without a line feed the
// reader takes kHttpLongLineScratch bytes at a time and gives them to
// CutOverlong: bytes without a line feed are dropped; with one, the bytes
// from the line feed on replace the tail of the buffer (which grows by one
// byte), so the over-long line ends cut and reading goes on after it.
class THttpLineBuffer {
public:
    // Room left before the buffer counts as full.
    std::size_t Room() const;
    bool Full() const { return Room() == 0; }
    // Appends at most Room() bytes; returns how many it took.
    std::size_t Append(const char* data, std::size_t n);
    // The scratch read of a full buffer (see above).
    void CutOverlong(const char* scratch, std::size_t n);

    // Takes the next whole line out, without its line ending; `raw` receives
    // the line with its ending as it came.  False when no whole line is held.
    bool NextLine(std::string& line, std::string* raw = nullptr);

    std::string_view Held() const { return held_; }
    std::size_t Size() const { return held_.size(); }
    // Drops the first n held bytes.
    void Consume(std::size_t n);
    void Clear() { held_.clear(); }

private:
    std::string held_;
};

// ---- status and header lines -------------------------------------------------

struct THttpStatusLine {
    std::string version; // "1.0" or "1.1"
    int code = 0;        // 0 when the line carries no digits
    std::string reason;
};

// A line starting with "HTTP/1.0" or "HTTP/1.1"; the code is the (up to)
// three digits starting at the first digit from the tenth character on, and
// the reason is what follows the code and one space.
std::optional<THttpStatusLine> ParseStatusLine(std::string_view line);

struct THttpHeaderField {
    std::string name;  // lower-cased
    std::string value; // blanks after the colon skipped
};

// A header line "Name: value"; nothing for a line without a colon.
std::optional<THttpHeaderField> ParseHeaderLine(std::string_view line);

// "Content-Length" value: the trimmed decimal number, or -1 when it is not
// one or is negative (both count as unknown).
long long ParseContentLength(std::string_view value);

// True when the last coding listed in a Transfer-Encoding value is
// "chunked" (RFC 7230 section 3.3.3: only then is the body chunked).
bool IsChunkedCoding(std::string_view transferEncoding);

// ---- chunked bodies ------------------------------------------------------------

// Decodes a chunked body (RFC 7230 section 4.1) fed in any pieces: sizes,
// extensions, data, the CR LF after each chunk, and after the last chunk the
// trailer lines up to the empty line.
class THttpChunkDecoder {
public:
    enum class Step {
        Size,      // reading hexadecimal digits
        Extension, // skipping to the end of the size line
        Data,      // passing chunk bytes on
        DataEnd,   // skipping the line end after the data
        Trailer,   // skipping trailer lines up to the empty one
        Done,      // the body ended
        Failed,    // the size line was not a size
    };
    using DataFn = std::function<void(const char* data, std::size_t n)>;
    // Told each chunk size once its line has been read.
    using SizeFn = std::function<void(unsigned long long size)>;

    void Reset();
    // Uses bytes until the body ends, fails, or they run out, or until it has
    // called one of the callbacks (its last act: the callback may free the
    // decoder); returns how many it used.  Call again with the rest.  Chunk
    // data goes to `onData` in pieces as large as the input allows.
    std::size_t Feed(const char* p, std::size_t n, const DataFn& onData, const SizeFn& onSize = {});

    Step State() const { return step_; }
    unsigned long long ChunkLength() const { return length_; }
    unsigned long long ChunkReceived() const { return received_; }

private:
    Step step_ = Step::Size;
    unsigned long long length_ = 0;
    unsigned long long received_ = 0;
    std::size_t digits_ = 0;
    bool lineEmpty_ = true; // Trailer: the current line holds nothing but CR so far
};

} // namespace qordex::web
