#include "mail/UUEnc.h"

#include "base/Text.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qordex::mail {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kBytesPerLine = 57;      // 19 groups of three, Base64 and UUencode
constexpr std::size_t kQuotedLineClose = 75;   // a Quoted line closes at this length
constexpr std::size_t kReadChunk = 64 * 1024;  // source bytes read at a time
constexpr std::size_t kWriteChunk = 64 * 1024; // target bytes collected before a write

void CheckMode(int mode) {
    if (mode != cmUUencode && mode != cmBase64 && mode != cmQuoted)
        throw std::invalid_argument("invalid codec mode " + std::to_string(mode));
}

// Buffered reading of the source, with its position for the progress report.
class Reader {
public:
    explicit Reader(std::istream& in) : in_(in), buf_(kReadChunk) {
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
    explicit Writer(std::ostream& out) : out_(out) { buf_.reserve(kWriteChunk + 256); }
    ~Writer() { Flush(); }
    void Put(char c) {
        buf_ += c;
        Spill();
    }
    void Put(std::string_view s) {
        buf_ += s;
        Spill();
    }
    void Flush() {
        if (!buf_.empty())
            out_.write(buf_.data(), std::streamsize(buf_.size()));
        buf_.clear();
    }

private:
    void Spill() {
        if (buf_.size() >= kWriteChunk)
            Flush();
    }
    std::ostream& out_;
    std::string buf_;
};

class Progress {
public:
    Progress(const TProgressProc& fn, std::int32_t context, const Reader& reader)
        : fn_(fn), context_(context), reader_(reader) {}
    void operator()() const {
        if (fn_)
            fn_(context_, reader_.Position(), reader_.Size());
    }

private:
    const TProgressProc& fn_;
    std::int32_t context_;
    const Reader& reader_;
};

char UUChar(unsigned v) {
    return char(32 + (v & 0x3F));
}

void EncodeBase64Lines(Reader& in, Writer& out, const Progress& progress) {
    unsigned char bytes[kBytesPerLine];
    std::string line;
    while (in.Ensure(1)) {
        progress();
        const std::size_t n = in.Read(bytes, kBytesPerLine);
        line.clear();
        for (std::size_t i = 0; i < n; i += 3) {
            const std::size_t k = std::min<std::size_t>(3, n - i);
            const unsigned b0 = bytes[i];
            const unsigned b1 = k > 1 ? bytes[i + 1] : 0;
            const unsigned b2 = k > 2 ? bytes[i + 2] : 0;
            line += kBase64Alphabet[b0 >> 2];
            line += kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
            line += k > 1 ? kBase64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
            line += k > 2 ? kBase64Alphabet[b2 & 0x3F] : '=';
        }
        line += "\r\n";
        out.Put(line);
    }
}

void EncodeUULines(Reader& in, Writer& out, const Progress& progress) {
    unsigned char bytes[kBytesPerLine];
    std::string line;
    while (in.Ensure(1)) {
        progress();
        const std::size_t n = in.Read(bytes, kBytesPerLine);
        line.assign(1, char(32 + n));
        for (std::size_t i = 0; i < n; i += 3) {
            const std::size_t k = std::min<std::size_t>(3, n - i);
            const unsigned b0 = bytes[i];
            const unsigned b1 = k > 1 ? bytes[i + 1] : 0;
            const unsigned b2 = k > 2 ? bytes[i + 2] : 0;
            line += UUChar(b0 >> 2);
            line += UUChar(((b0 & 0x03) << 4) | (b1 >> 4));
            line += k > 1 ? UUChar(((b1 & 0x0F) << 2) | (b2 >> 6)) : '`';
            line += k > 2 ? UUChar(b2) : '`';
        }
        line += "\r\n";
        out.Put(line);
    }
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

int Base64Value(int c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1; // padding: "=" and everything else
}

void DecodeBase64Groups(Reader& in, Writer& out, const Progress& progress) {
    for (;;) {
        progress();
        int v[4];
        int k = 0;
        while (k < 4) {
            const int c = in.Get();
            if (c < 0)
                break;
            if (c <= 32)
                continue;
            v[k++] = Base64Value(c);
        }
        if (k == 0)
            break;
        int m = k;
        while (m > 0 && v[m - 1] < 0)
            --m;
        for (int i = 0; i < m; ++i)
            v[i] = std::max(v[i], 0);
        if (m >= 2)
            out.Put(char(((v[0] << 2) | (v[1] >> 4)) & 0xFF));
        if (m >= 3)
            out.Put(char(((v[1] << 4) | (v[2] >> 2)) & 0xFF));
        if (m >= 4)
            out.Put(char(((v[2] << 6) | v[3]) & 0xFF));
        if (k < 4)
            break;
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
