#include "web/HttpReader.h"

#include "base/Text.h"

#include <algorithm>
#include <cstring>

namespace qordex::web {

// ---- the line buffer ----------------------------------------------------------

std::size_t THttpLineBuffer::Room() const {
    return held_.size() >= kHttpLineBufferSize ? 0 : kHttpLineBufferSize - held_.size();
}

std::size_t THttpLineBuffer::Append(const char* data, std::size_t n) {
    const std::size_t take = std::min(n, Room());
    held_.append(data, take);
    return take;
}

void THttpLineBuffer::CutOverlong(const char* scratch, std::size_t n) {
    const void* lf = std::memchr(scratch, '\n', n);
    if (!lf)
        return; // still inside the over-long line: dropped
    const std::size_t from = std::size_t(static_cast<const char*>(lf) - scratch);
    const std::size_t tail = n - from;
    // The line feed and what follows it take the place of the buffer's last
    // bytes, one more than the buffer held: the long line ends there.
    held_.resize(std::min(held_.size(), kHttpLineBufferSize + 1 - tail));
    held_.append(scratch + from, tail);
}

bool THttpLineBuffer::NextLine(std::string& line, std::string* raw) {
    const std::size_t lf = held_.find('\n');
    if (lf == std::string::npos)
        return false;
    if (raw)
        raw->assign(held_, 0, lf + 1);
    std::size_t end = lf;
    if (end > 0 && held_[end - 1] == '\r')
        --end;
    line.assign(held_, 0, end);
    held_.erase(0, lf + 1);
    return true;
}

void THttpLineBuffer::Consume(std::size_t n) {
    held_.erase(0, std::min(n, held_.size()));
}

// ---- status and header lines -------------------------------------------------

std::optional<THttpStatusLine> ParseStatusLine(std::string_view line) {
    if (line.substr(0, 8) != "HTTP/1.0" && line.substr(0, 8) != "HTTP/1.1")
        return std::nullopt;
    THttpStatusLine s;
    s.version = std::string(line.substr(5, 3));
    std::size_t d = 9;
    while (d < line.size() && (line[d] < '0' || line[d] > '9'))
        ++d;
    if (d >= line.size())
        return s;
    std::size_t e = d;
    while (e < line.size() && e < d + 3 && line[e] >= '0' && line[e] <= '9')
        s.code = s.code * 10 + (line[e++] - '0');
    const std::size_t reason = d + 3 + 1;
    if (reason <= line.size())
        s.reason = std::string(line.substr(reason));
    return s;
}

std::optional<THttpHeaderField> ParseHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    THttpHeaderField f;
    f.name = AsciiLower(line.substr(0, colon));
    std::size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t'))
        ++v;
    f.value = std::string(line.substr(v));
    return f;
}

long long ParseContentLength(std::string_view value) {
    const auto n = ParseDecimal(TrimView(value), 0, (1LL << 62));
    return n ? *n : -1;
}

bool IsChunkedCoding(std::string_view transferEncoding) {
    const std::size_t comma = transferEncoding.rfind(',');
    if (comma != std::string_view::npos)
        transferEncoding.remove_prefix(comma + 1);
    return EqualsIgnoreCase(TrimView(transferEncoding), "chunked");
}

// ---- chunked bodies ------------------------------------------------------------

void THttpChunkDecoder::Reset() {
    *this = THttpChunkDecoder();
}

std::size_t THttpChunkDecoder::Feed(const char* p, std::size_t n, const DataFn& onData,
                                    const SizeFn& onSize) {
    std::size_t i = 0;
    auto skipLine = [&] {
        const void* lf = std::memchr(p + i, '\n', n - i);
        if (!lf) {
            i = n;
            return false;
        }
        i = std::size_t(static_cast<const char*>(lf) - p) + 1;
        return true;
    };
    while (i < n) {
        switch (step_) {
        case Step::Size: {
            const int v = HexDigitValue(p[i]);
            if (v >= 0) {
                if (++digits_ > kHttpMaxChunkSizeDigits) {
                    step_ = Step::Failed;
                    return i;
                }
                length_ = length_ * 16 + unsigned(v);
                ++i;
                break;
            }
            if (digits_ == 0) {
                step_ = Step::Failed; // RFC 7230: chunk-size = 1*HEXDIG
                return i;
            }
            step_ = Step::Extension;
            if (onSize) {
                // Last act: the callback may free the decoder's owner.
                onSize(length_);
                return i;
            }
            break;
        }
        case Step::Extension:
            if (skipLine()) {
                received_ = 0;
                lineEmpty_ = true;
                step_ = length_ > 0 ? Step::Data : Step::Trailer;
            }
            break;
        case Step::Data: {
            const auto take = std::size_t(std::min<unsigned long long>(n - i, length_ - received_));
            received_ += take;
            if (received_ == length_)
                step_ = Step::DataEnd;
            // Last act: the callback may free the decoder's owner.
            onData(p + i, take);
            return i + take;
        }
        case Step::DataEnd:
            if (skipLine()) {
                step_ = Step::Size;
                digits_ = 0;
                length_ = 0;
            }
            break;
        case Step::Trailer: {
            const char c = p[i++];
            if (c == '\n') {
                if (lineEmpty_) {
                    step_ = Step::Done;
                    return i;
                }
                lineEmpty_ = true;
            } else if (c != '\r') {
                lineEmpty_ = false;
            }
            break;
        }
        case Step::Done:
        case Step::Failed:
            return i;
        }
    }
    return i;
}

} // namespace qordex::web
