#include "net/LineBuffer.h"

#include <algorithm>
#include <cstring>

namespace qordex {

LineEditResult EditLineBuffer(std::string& text, std::size_t from, bool echo) {
    LineEditResult r;
    from = std::min(from, text.size());
    r.held = from;
    const std::string_view fresh = std::string_view(text).substr(from);
    if (fresh.find_first_of("\b\t") == std::string_view::npos) {
        if (echo)
            r.echo.assign(fresh);
        return r; // nothing to edit: the bytes stay as received
    }
    std::string out = text.substr(0, from); // ends at the write position
    for (char c : fresh) {
        if (c == '\b') {
            if (!out.empty()) {
                if (echo)
                    r.echo += "\b \b";
                out.pop_back();
            }
            r.held = std::min(r.held, out.size());
        } else if (c == '\t') {
            do {
                out.push_back(' ');
                if (echo)
                    r.echo.push_back(' ');
            } while (out.size() % 8 != 0);
        } else {
            if (echo)
                r.echo.push_back(c);
            out.push_back(c);
        }
    }
    text = std::move(out);
    return r;
}

void LineBuffer::Compact() {
    if (start_ == 0)
        return;
    data_.erase(0, start_);
    start_ = 0;
}

char* LineBuffer::Reserve(std::size_t n) {
    // Bytes already taken from the front are given back once they are the
    // larger part, so that the buffer does not creep along its storage.
    if (start_ > 0 && start_ >= Size())
        Compact();
    reserved_ = data_.size();
    data_.resize(reserved_ + n);
    return data_.data() + reserved_;
}

void LineBuffer::Commit(std::size_t written) {
    data_.resize(std::min(data_.size(), reserved_ + written));
}

void LineBuffer::Append(std::string_view bytes) {
    std::memcpy(Reserve(bytes.size()), bytes.data(), bytes.size());
}

std::size_t LineBuffer::Take(char* out, std::size_t n, bool peek) {
    n = std::min(n, Size());
    std::memcpy(out, Data(), n);
    if (!peek)
        Drop(n);
    return n;
}

void LineBuffer::Drop(std::size_t n) {
    n = std::min(n, Size());
    start_ += n;
    searched_ = searched_ > n ? searched_ - n : 0;
    if (start_ == data_.size())
        Clear();
}

void LineBuffer::Clear() {
    data_.clear();
    start_ = 0;
    searched_ = 0;
}

void LineBuffer::Release() {
    std::string().swap(data_);
    start_ = 0;
    searched_ = 0;
}

std::size_t LineBuffer::FindLine(std::string_view end) {
    if (end.empty())
        return 0;
    const std::string_view held(Data(), Size());
    // A terminator may start in the last bytes already searched and end in
    // the ones that came since.
    const std::size_t from = searched_ >= end.size() ? searched_ - (end.size() - 1) : 0;
    const std::size_t at = held.find(end, std::min(from, held.size()));
    if (at == std::string_view::npos) {
        searched_ = held.size();
        return 0;
    }
    searched_ = at;
    return at + end.size();
}

LineEditResult LineBuffer::Edit(std::size_t from, bool echo) {
    Compact();
    LineEditResult r = EditLineBuffer(data_, from, echo);
    searched_ = std::min(searched_, r.held);
    return r;
}

} // namespace qordex
