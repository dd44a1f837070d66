#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace qordex {

TBuffer::TBuffer(int size) {
    SetBufSize(size);
}

void TBuffer::SetBufSize(int size) {
    if (size <= 0)
        size = 1514;
    if (size == bufSize_)
        return;
    auto fresh = std::make_unique_for_overwrite<char[]>(std::size_t(size));
    if (wrCount_ > 0) {
        int keep = std::min(wrCount_, size);
        std::memcpy(fresh.get(), data_.get(), std::size_t(keep));
        wrCount_ = keep;
        rdCount_ = std::min(rdCount_, wrCount_);
    } else {
        wrCount_ = rdCount_ = 0;
    }
    data_ = std::move(fresh);
    bufSize_ = size;
}

int TBuffer::Write(const void* data, int len) {
    if (len <= 0 || !data)
        return 0;
    int n = std::min(len, bufSize_ - wrCount_);
    if (n <= 0)
        return 0;
    std::memcpy(data_.get() + wrCount_, data, std::size_t(n));
    wrCount_ += n;
    return n;
}

const char* TBuffer::Peek(int& len) const {
    len = wrCount_ - rdCount_;
    if (len <= 0) {
        len = 0;
        return nullptr;
    }
    return data_.get() + rdCount_;
}

int TBuffer::Remove(int len) {
    if (len <= 0)
        return 0;
    int n = std::min(len, wrCount_ - rdCount_);
    rdCount_ += n;
    if (rdCount_ >= wrCount_)
        rdCount_ = wrCount_ = 0;
    return n;
}

} // namespace qordex
