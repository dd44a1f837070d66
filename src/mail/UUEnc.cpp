#include "mail/UUEnc.h"

#include "base/Text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qordex::mail {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kBytesPerLine = 57;    // 19 groups of three, Base64 and UUencode
constexpr std::size_t kQuotedLineClose = 75; // a Quoted line closes at this length
// Source bytes read and target bytes collected at a time: large enough that
// the system calls and the stream layers cost nothing next to the coding.
constexpr std::size_t kReadChunk = 1024 * 1024;
constexpr std::size_t kWriteChunk = 1024 * 1024;
// The smallest buffers; they grow up to the chunk sizes with what passes.
constexpr std::size_t kMinChunk = 4096;

void CheckMode(int mode) {
    if (mode != cmUUencode && mode != cmBase64 && mode != cmQuoted)
        throw std::invalid_argument("invalid codec mode " + std::to_string(mode));
}

// Buffered reading of the source, with its position for the progress report.
class Reader {
public:
    explicit Reader(std::istream& in) : in_(in) {
        const std::istream::pos_type here = in_.tellg();
        if (here != std::istream::pos_type(-1)) {
            start_ = static_cast<std::int64_t>(here);
            in_.seekg(0, std::ios::end);
            const std::istream::pos_type end = in_.tellg();
            // A source that tells its position but cannot seek to its end
            // still reads from here; only its size stays unknown.
            in_.clear(in_.rdstate() & ~std::ios::failbit);
            in_.seekg(here);
            if (end != std::istream::pos_type(-1))
                size_ = static_cast<std::int64_t>(end);
        } else {
            in_.clear(in_.rdstate() & ~std::ios::failbit);
        }
        // A short source of known size needs no megabyte of buffer (a line
        // of the viewer, a fuzzer's input); the rest take the whole chunk.
        std::size_t want = kReadChunk;
        if (size_ >= start_)
            want = std::clamp<std::size_t>(std::size_t(size_ - start_) + 1, kMinChunk, kReadChunk);
        buf_.resize(want);
    }

    // The next byte, or -1 at the end.
    int Get() {
        if (head_ == tail_ && !Fill())
            return -1;
        ++consumed_;
        return static_cast<unsigned char>(buf_[head_++]);
    }

    // True when at least n more bytes can be read.
    bool Ensure(std::size_t n) {
        while (tail_ - head_ < n)
            if (!Fill())
                return false;
        return true;
    }

    // Up to n bytes; fewer only at the end.
    std::size_t Read(unsigned char* out, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (head_ == tail_ && !Fill())
                break;
            const std::size_t take = std::min(n - got, tail_ - head_);
            std::copy_n(buf_.data() + head_, take, out + got);
            head_ += take;
            got += take;
        }
        consumed_ += static_cast<std::int64_t>(got);
        return got;
    }

    // The bytes read ahead and not used yet, after filling the buffer when it
    // was empty; empty at the end.  Skip() uses them up.
    std::string_view Peek() {
        if (head_ == tail_)
            Fill();
        return std::string_view(buf_.data() + head_, tail_ - head_);
    }
    void Skip(std::size_t n) {
        head_ += n;
        consumed_ += static_cast<std::int64_t>(n);
    }

    std::int64_t Position() const { return start_ + consumed_; }
    std::int64_t Size() const { return size_; }

private:
    // Appends more source bytes behind the unread ones; false at the end.
    bool Fill() {
        if (eof_)
            return false;
        if (head_ > 0) {
            std::copy(buf_.begin() + std::ptrdiff_t(head_), buf_.begin() + std::ptrdiff_t(tail_),
                      buf_.begin());
            tail_ -= head_;
            head_ = 0;
        }
        in_.read(buf_.data() + tail_, std::streamsize(buf_.size() - tail_));
        const auto got = static_cast<std::size_t>(in_.gcount());
        tail_ += got;
        if (got == 0) {
            eof_ = true;
            // Reaching the end is not a failure of the source; a read error is
            // still visible in badbit.
            in_.clear(in_.rdstate() & ~std::ios::failbit);
            return false;
        }
        return true;
    }

    std::istream& in_;
    std::vector<char> buf_;
    std::size_t head_ = 0;      // next unread byte in buf_
    std::size_t tail_ = 0;      // end of the valid bytes in buf_
    bool eof_ = false;          // the source has no more bytes
    std::int64_t start_ = 0;    // source position when the codec started
    std::int64_t consumed_ = 0; // bytes handed out since
    std::int64_t size_ = -1;    // total size of the source, -1 when unknown
};

// Collects output and writes it to the target in large pieces.
class Writer {
public:
    explicit Writer(std::ostream& out) : out_(out) {}
    ~Writer() { Flush(); }
    void Put(char c) { *Space(1) = c, used_ += 1; }
    void Put(std::string_view s) {
        std::copy(s.begin(), s.end(), Space(s.size()));
        used_ += s.size();
    }
    // Room for `n` more bytes at the returned place; Advance() keeps what was
    // written there.
    char* Space(std::size_t n) {
        if (buf_.size() - used_ < n) {
            // Grows by doubling up to the chunk size, then writes out.
            if (buf_.size() >= kWriteChunk)
                Flush();
            if (buf_.size() - used_ < n)
                buf_.resize(
                    std::max({used_ + n, kMinChunk, std::min(2 * buf_.size(), kWriteChunk)}));
        }
        return buf_.data() + used_;
    }
    void Advance(std::size_t n) { used_ += n; }
    void Flush() {
        if (used_)
            out_.write(buf_.data(), std::streamsize(used_));
        used_ = 0;
    }

private:
    std::ostream& out_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

class Progress {
public:
    Progress(const TProgressProc& fn, std::int32_t context, const Reader& reader)
        : fn_(fn), context_(context), reader_(reader) {}
    void operator()() const {
        if (fn_)
            fn_(context_, reader_.Position(), reader_.Size());
    }
    // Nobody listens: the coders may take the whole buffer in one go.
    bool Silent() const { return !fn_; }

private:
    const TProgressProc& fn_;
    std::int32_t context_;
    const Reader& reader_;
};

char UUChar(unsigned v) {
    return char(32 + (v & 0x3F));
}

// One encoded line of n (1 to 57) bytes, CR LF included; returns its length.
using LineCoder = std::size_t (*)(const unsigned char* bytes, std::size_t n, char* out);

// The two characters of every 12-bit value: half a group in one look-up.
constexpr std::array<char, 2 * 4096> MakeBase64Pairs() {
    std::array<char, 2 * 4096> t{};
    for (std::size_t v = 0; v < 4096; ++v) {
        t[2 * v] = kBase64Alphabet[v >> 6];
        t[2 * v + 1] = kBase64Alphabet[v & 0x3F];
    }
    return t;
}
constexpr std::array<char, 2 * 4096> kBase64Pairs = MakeBase64Pairs();

std::size_t Base64Line(const unsigned char* b, std::size_t n, char* out) {
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3, o += 4) {
        const unsigned v = unsigned(b[i]) << 16 | unsigned(b[i + 1]) << 8 | b[i + 2];
        std::memcpy(o, &kBase64Pairs[2 * (v >> 12)], 2);
        std::memcpy(o + 2, &kBase64Pairs[2 * (v & 0xFFF)], 2);
    }
    if (i < n) {
        const unsigned b0 = b[i];
        const unsigned b1 = i + 1 < n ? b[i + 1] : 0;
        o[0] = kBase64Alphabet[b0 >> 2];
        o[1] = kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        o[2] = i + 1 < n ? kBase64Alphabet[(b1 & 0x0F) << 2] : '=';
        o[3] = '=';
        o += 4;
    }
    *o++ = '\r';
    *o++ = '\n';
    return std::size_t(o - out);
}

std::size_t UULine(const unsigned char* b, std::size_t n, char* out) {
    char* o = out;
    *o++ = char(32 + n);
    for (std::size_t i = 0; i < n; i += 3, o += 4) {
        const std::size_t k = std::min<std::size_t>(3, n - i);
        const unsigned b0 = b[i];
        const unsigned b1 = k > 1 ? b[i + 1] : 0;
        const unsigned b2 = k > 2 ? b[i + 2] : 0;
        o[0] = UUChar(b0 >> 2);
        o[1] = UUChar(((b0 & 0x03) << 4) | (b1 >> 4));
        o[2] = k > 1 ? UUChar(((b1 & 0x0F) << 2) | (b2 >> 6)) : '`';
        o[3] = k > 2 ? UUChar(b2) : '`';
    }
    *o++ = '\r';
    *o++ = '\n';
    return std::size_t(o - out);
}

// Longest line either coder writes: a length character, 19 groups, CR LF.
constexpr std::size_t kMaxCodedLine = 1 + kBytesPerLine / 3 * 4 + 2;

// Lines of 57 bytes, the last one shorter; every whole line in the buffer at
// once unless progress is reported before each.
void EncodeLines(Reader& in, Writer& out, const Progress& progress, LineCoder coder) {
    for (;;) {
        const bool whole = in.Ensure(kBytesPerLine);
        const std::string_view chunk = in.Peek();
        if (chunk.empty())
            break;
        std::size_t lines = whole ? chunk.size() / kBytesPerLine : 1;
        if (!progress.Silent())
            lines = 1;
        const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
        char* o = out.Space(lines * kMaxCodedLine);
        std::size_t written = 0, used = 0;
        for (std::size_t l = 0; l < lines; ++l) {
            progress();
            const std::size_t n = std::min(kBytesPerLine, chunk.size() - used);
            written += coder(bytes + used, n, o + written);
            used += n;
        }
        out.Advance(written);
        in.Skip(used);
    }
}

void EncodeBase64Lines(Reader& in, Writer& out, const Progress& progress) {
    EncodeLines(in, out, progress, Base64Line);
}

void EncodeUULines(Reader& in, Writer& out, const Progress& progress) {
    EncodeLines(in, out, progress, UULine);
}

void EncodeQuotedLines(Reader& in, Writer& out, const Progress& progress) {
    std::string line;
    for (;;) {
        if (line.empty()) {
            if (!in.Ensure(1))
                break;
            progress();
        }
        const int c = in.Get();
        if (c < 0)
            break;
        if (c < 33 || c == '=' || c >= 128) {
            line += '=';
            line += kHexDigits[c >> 4];
            line += kHexDigits[c & 0x0F];
        } else {
            line += char(c);
        }
        if (line.size() >= kQuotedLineClose) {
            line += "\r\n";
            out.Put(line);
            line.clear();
        }
    }
    if (!line.empty()) {
        line += "\r\n";
        out.Put(line);
    }
}

// What a byte is to the Base64 decoder: its value, or one of these.
constexpr std::uint8_t kB64Skip = 0xFE; // up to the space: skipped wherever it stands
constexpr std::uint8_t kB64Pad = 0xFF;  // "=" and every other byte: padding

constexpr std::array<std::uint8_t, 256> MakeBase64Table() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[std::size_t(c)] = c <= 32 ? kB64Skip : kB64Pad;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kBase64Alphabet[i])] = std::uint8_t(i);
    return t;
}
constexpr std::array<std::uint8_t, 256> kBase64Table = MakeBase64Table();

// The bytes of a group of k (1 to 4) values: padding at its end is removed,
// padding inside it counts as 0; 4, 3 or 2 values left give 3, 2 or 1 bytes.
std::size_t Base64GroupBytes(std::uint8_t* v, int k, char* out) {
    int m = k;
    while (m > 0 && v[m - 1] == kB64Pad)
        --m;
    for (int i = 0; i < m; ++i)
        if (v[i] == kB64Pad)
            v[i] = 0;
    if (m >= 2)
        out[0] = char(((v[0] << 2) | (v[1] >> 4)) & 0xFF);
    if (m >= 3)
        out[1] = char(((v[1] << 4) | (v[2] >> 2)) & 0xFF);
    if (m >= 4)
        out[2] = char(((v[2] << 6) | v[3]) & 0xFF);
    return m >= 2 ? std::size_t(m - 1) : 0;
}

// One group a step, with the progress report before each.
void DecodeBase64Stepwise(Reader& in, Writer& out, const Progress& progress) {
    for (;;) {
        progress();
        std::uint8_t v[4];
        int k = 0;
        while (k < 4) {
            const int c = in.Get();
            if (c < 0)
                break;
            const std::uint8_t t = kBase64Table[std::size_t(c)];
            if (t != kB64Skip)
                v[k++] = t;
        }
        if (k == 0)
            break;
        char bytes[3];
        out.Put(std::string_view(bytes, Base64GroupBytes(v, k, bytes)));
        if (k < 4)
            break;
    }
}

// The same over the whole buffer: four clean characters make three bytes
// at once, anything else takes the careful way.
void DecodeBase64Groups(Reader& in, Writer& out, const Progress& progress) {
    if (!progress.Silent()) {
        DecodeBase64Stepwise(in, out, progress);
        return;
    }
    std::uint8_t v[4];
    int k = 0;
    for (;;) {
        const std::string_view chunk = in.Peek();
        if (chunk.empty())
            break;
        const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
        const unsigned char* const end = p + chunk.size();
        char* const start = out.Space(chunk.size() / 4 * 3 + 6);
        char* o = start;
        while (p < end) {
            if (k == 0 && end - p >= 4) {
                const unsigned a = kBase64Table[p[0]], b = kBase64Table[p[1]],
                               c = kBase64Table[p[2]], d = kBase64Table[p[3]];
                if ((a | b | c | d) < 64) {
                    const unsigned w = a << 18 | b << 12 | c << 6 | d;
                    o[0] = char(w >> 16);
                    o[1] = char(w >> 8);
                    o[2] = char(w);
                    o += 3;
                    p += 4;
                    continue;
                }
            }
            const std::uint8_t t = kBase64Table[*p++];
            if (t == kB64Skip)
                continue;
            v[k++] = t;
            if (k == 4) {
                o += Base64GroupBytes(v, 4, o);
                k = 0;
            }
        }
        out.Advance(std::size_t(o - start));
        in.Skip(chunk.size());
    }
    if (k > 0) {
        char bytes[3];
        out.Put(std::string_view(bytes, Base64GroupBytes(v, k, bytes)));
    }
}

// Standard uudecoding: the first character of a line gives the number of
// bytes the line carries (a grave accent and a space both mean 0); its groups
// of four characters give three bytes each until that number is reached, and
// what follows on the line is ignored.  Characters a relay stripped from the
// end of a line (trailing spaces are zero values) count as zero.  Lines that
// begin with a lower-case letter or any byte above it ("begin 644 name",
// "end") are no data and are skipped.
void DecodeUUGroups(Reader& in, Writer& out, const Progress& progress) {
    enum class At { LineStart, Data, Skip } at = At::LineStart;
    int remaining = 0; // bytes the current line still carries
    unsigned v[4] = {0, 0, 0, 0};
    int k = 0; // characters of the current group so far
    auto flushGroup = [&] {
        for (int i = k; i < 4; ++i)
            v[i] = 0;
        const char bytes[3] = {char((v[0] << 2 | v[1] >> 4) & 0xFF),
                               char((v[1] << 4 | v[2] >> 2) & 0xFF),
                               char((v[2] << 6 | v[3]) & 0xFF)};
        const int n = std::min(3, remaining);
        out.Put(std::string_view(bytes, std::size_t(n)));
        remaining -= n;
        k = 0;
    };
    auto endLine = [&] {
        while (remaining > 0)
            flushGroup();
        at = At::LineStart;
    };
    for (;;) {
        if (at == At::Data && k == 0)
            progress();
        const int c = in.Get();
        if (c < 0)
            break;
        if (c == '\n' || c == '\r') {
            if (at == At::Data)
                endLine();
            at = At::LineStart;
            continue;
        }
        switch (at) {
        case At::LineStart:
            if (c < ' ')
                break; // a stray control character before the length
            if (c > '`') {
                at = At::Skip;
                break;
            }
            remaining = (c - ' ') & 0x3F;
            k = 0;
            at = remaining > 0 ? At::Data : At::Skip;
            break;
        case At::Data:
            v[k++] = unsigned(c - ' ') & 0x3F;
            if (k == 4) {
                flushGroup();
                if (remaining == 0)
                    at = At::Skip; // a checksum character or other trailing text
            }
            break;
        case At::Skip:
            break;
        }
    }
    if (at == At::Data)
        endLine();
}

// Escapes carry upper-case digits only; a lower-case one spoils the escape.
int UpperHexValue(int c) {
    return (c >= 'a' && c <= 'f') ? -1 : HexDigitValue(char(c));
}

void DecodeQuotedBytes(Reader& in, Writer& out, const Progress& progress) {
    for (;;) {
        progress();
        const int c = in.Get();
        if (c < 0)
            break;
        if (c == '=') {
            // With fewer than two bytes left the "=" alone is dropped.
            if (in.Ensure(2)) {
                const int hi = UpperHexValue(in.Get());
                const int lo = UpperHexValue(in.Get());
                if (hi >= 0 && lo >= 0)
                    out.Put(char(hi * 16 + lo));
            }
        } else if (c >= 32) {
            out.Put(char(c));
        }
    }
}

using StreamStep = void (*)(Reader&, Writer&, const Progress&);

// Runs the step of the chosen mode over the two streams.
void RunStream(std::istream& source, std::ostream& target, int mode, const TProgressProc& progress,
               std::int32_t context, StreamStep base64, StreamStep uu, StreamStep quoted) {
    CheckMode(mode);
    Reader in(source);
    Writer out(target);
    const Progress report(progress, context, in);
    const StreamStep step = mode == cmBase64 ? base64 : mode == cmUUencode ? uu : quoted;
    step(in, out, report);
    out.Flush();
    target.flush();
}

} // namespace

void EncodeStream(std::istream& source, std::ostream& target, int mode,
                  const TProgressProc& progress, std::int32_t context) {
    RunStream(source, target, mode, progress, context, EncodeBase64Lines, EncodeUULines,
              EncodeQuotedLines);
}

void DecodeStream(std::istream& source, std::ostream& target, int mode,
                  const TProgressProc& progress, std::int32_t context) {
    RunStream(source, target, mode, progress, context, DecodeBase64Groups, DecodeUUGroups,
              DecodeQuotedBytes);
}

std::string EncodeString(std::string_view source, int mode) {
    std::istringstream in{std::string(source)};
    std::ostringstream out;
    EncodeStream(in, out, mode);
    return std::move(out).str();
}

std::string DecodeString(std::string_view source, int mode) {
    std::istringstream in{std::string(source)};
    std::ostringstream out;
    DecodeStream(in, out, mode);
    return std::move(out).str();
}

} // namespace qordex::mail
