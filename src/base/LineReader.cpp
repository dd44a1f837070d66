#include "base/LineReader.h"

#include <cstring>

namespace qordex {

void TLineReader::Append(std::string_view bytes) {
    if (start_ > 0) {
        buf_.erase(0, start_);
        start_ = 0;
    }
    buf_.append(bytes);
}

void TLineReader::Reset() {
    buf_.clear();
    start_ = 0;
    scanned_ = 0;
    skipping_ = false;
}

TLineReader::Result TLineReader::Next(std::string& line) {
    for (;;) {
        const std::size_t held = buf_.size() - start_;
        const char* base = buf_.data() + start_;
        const void* hit =
            held > scanned_ ? std::memchr(base + scanned_, '\n', held - scanned_) : nullptr;
        if (!hit) {
            scanned_ = held;
            // A CR at the end may still be the first half of the line end.
            const std::size_t text = held - (held > 0 && base[held - 1] == '\r' ? 1 : 0);
            if (skipping_) {
                start_ += text;
                scanned_ = held - text;
                return Result::NeedMore;
            }
            if (text > maxLine_) {
                line.assign(base, maxLine_);
                start_ += text;
                scanned_ = held - text;
                skipping_ = true;
                return Result::TooLong;
            }
            return Result::NeedMore;
        }
        const std::size_t lf = std::size_t(static_cast<const char*>(hit) - base);
        const bool crlf = lf > 0 && base[lf - 1] == '\r';
        if (!crlf && !acceptLF_) {
            scanned_ = lf + 1; // a lone LF is a byte of the line
            continue;
        }
        const std::size_t text = crlf ? lf - 1 : lf;
        start_ += lf + 1;
        scanned_ = 0;
        if (skipping_) {
            skipping_ = false;
            continue;
        }
        if (text > maxLine_) {
            line.assign(base, maxLine_);
            return Result::TooLong;
        }
        line.assign(base, text);
        return Result::Line;
    }
}

} // namespace qordex
