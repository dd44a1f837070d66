#include "ftp/FtpReply.h"

namespace qordex::ftp {

void TReplyLineReader::Reset() {
    line_.clear();
    cut_ = false;
    sawCR_ = false;
    ++generation_;
}

void TReplyLineReader::Feed(std::string_view bytes,
                            const std::function<void(std::string_view)>& onLine) {
    const unsigned generation = generation_;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i++];
        const bool ends = c == '\n' && (acceptLF_ || sawCR_);
        if (!ends) {
            sawCR_ = c == '\r';
            if (line_.size() < limit_)
                line_ += c;
            else
                cut_ = true;
            continue;
        }
        // Trailing CR and LF bytes are not part of the line.
        while (!line_.empty() && (line_.back() == '\r' || line_.back() == '\n'))
            line_.pop_back();
        std::string done;
        done.swap(line_);
        cut_ = false;
        sawCR_ = false;
        onLine(done);
        if (generation != generation_)
            return;
    }
}

int ReplyCode(std::string_view line) {
    if (line.size() < 3)
        return -1;
    int code = 0;
    for (int k = 0; k < 3; ++k) {
        const char c = line[std::size_t(k)];
        if (c < '0' || c > '9')
            return -1;
        code = code * 10 + (c - '0');
    }
    return code;
}

TReplyTracker::Kind TReplyTracker::Add(std::string_view line) {
    const int code = ReplyCode(line);
    const char after = line.size() > 3 ? line[3] : '\0';
    if (multi_) {
        // Only the opening code followed by a space (or nothing) closes it.
        if (code == code_ && (after == ' ' || line.size() == 3)) {
            multi_ = false;
            return Kind::Final;
        }
        return Kind::Inner;
    }
    if (code < 0)
        return Kind::Inner;
    code_ = code;
    if (after == '-') {
        multi_ = true;
        return Kind::Continuation;
    }
    return Kind::Final;
}

} // namespace qordex::ftp
