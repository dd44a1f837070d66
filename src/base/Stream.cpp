#include "base/Stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex {

long long TMemoryStream::Read(void* buffer, long long count) {
    if (count <= 0 || pos_ >= Size())
        return 0;
    const long long n = std::min(count, Size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, std::size_t(n));
    pos_ += n;
    return n;
}

long long TMemoryStream::Write(const void* buffer, long long count) {
    if (count <= 0)
        return 0;
    const auto end = std::size_t(pos_ + count);
    if (end > data_.size())
        data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, std::size_t(count));
    pos_ += count;
    return count;
}

long long TMemoryStream::Seek(long long offset) {
    if (offset < 0)
        return -1;
    pos_ = offset;
    return pos_;
}

bool TMemoryStream::SetSize(long long size) {
    if (size < 0)
        return false;
    data_.resize(std::size_t(size));
    pos_ = std::min(pos_, size);
    return true;
}

TFileStream::~TFileStream() {
    Close();
}

bool TFileStream::Close() {
    if (fd_ < 0)
        return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
}

long long TFileStream::Read(void* buffer, long long count) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, std::size_t(std::max(count, 0LL)));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

long long TFileStream::Write(const void* buffer, long long count) {
    const char* p = static_cast<const char*>(buffer);
    long long done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, p + done, std::size_t(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done > 0 ? done : -1;
        done += n;
    }
    return done;
}

long long TFileStream::Seek(long long offset) {
    return ::lseek(fd_, off_t(offset), SEEK_SET);
}

long long TFileStream::Position() const {
    return ::lseek(fd_, 0, SEEK_CUR);
}

long long TFileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return -1;
    return S_ISREG(st.st_mode) ? st.st_size : std::max<long long>(Position(), 0);
}

bool TFileStream::SetSize(long long size) {
    return ::ftruncate(fd_, off_t(size)) == 0;
}

} // namespace qordex
