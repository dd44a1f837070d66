#include "ftp/BufStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::ftp {
namespace {

std::string FullName(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return name;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd))
        return name;
    std::string dir = cwd;
    if (dir.back() != '/')
        dir += '/';
    return dir + name;
}

std::string SystemMessage(int err) {
    return std::strerror(err);
}

} // namespace

std::uint32_t TBufferedFileStream::ChooseBufferSize(std::uint32_t requested) {
    if (requested < 512)
        return 512;
    if (requested > 65536)
        return 65536;
    if (requested % 512 != 0)
        return 4096;
    return requested;
}

TBufferedFileStream::TBufferedFileStream(const std::string& fileName, std::uint16_t mode,
                                         std::uint32_t bufferSize)
    : fileName_(fileName) {
    Open(mode);
    bufSize_ = ChooseBufferSize(bufferSize);
    buffer_.resize(bufSize_);
    try {
        fileSize_ = ReadFileSize();
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

TBufferedFileStream::TBufferedFileStream(const std::string& fileName, std::uint16_t mode,
                                         std::uint32_t /*rights*/, std::uint32_t bufferSize)
    : TBufferedFileStream(fileName, mode, bufferSize) {}

TBufferedFileStream::~TBufferedFileStream() {
    try {
        Close();
    } catch (...) {
        // Nobody is left to tell; Close is the call that reports.
    }
}

void TBufferedFileStream::Open(std::uint16_t mode) {
    const bool create = mode == fmCreate;
    int flags = O_CLOEXEC;
    if (create) {
        flags |= O_RDWR | O_CREAT;
    } else {
        switch (mode & 3) {
        case fmOpenWrite:
            flags |= O_WRONLY;
            break;
        case fmOpenReadWrite:
            flags |= O_RDWR;
            break;
        default:
            flags |= O_RDONLY;
            break;
        }
    }
    auto fail = [&](int err) -> void {
        const std::string text =
            std::string(create ? "Cannot create file \"" : "Cannot open file \"") +
            FullName(fileName_) + "\". " + SystemMessage(err);
        if (create)
            throw EFCreateError(text);
        throw EFOpenError(text);
    };
    fd_ = ::open(fileName_.c_str(), flags, 0666);
    if (fd_ < 0)
        fail(errno);

    // Share modes become advisory locks on regular files, so that two of our
    // transfers never write one file at once; devices and pipes are shared.
    struct stat st {};
    const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    int lock = 0;
    if (create) {
        lock = LOCK_EX;
    } else {
        switch (mode & 0xF0) {
        case fmShareExclusive:
        case fmShareDenyRead:
            lock = LOCK_EX;
            break;
        case fmShareDenyWrite:
            lock = (mode & 3) == fmOpenRead ? LOCK_SH : LOCK_EX;
            break;
        default:
            break;
        }
    }
    if (regular && lock != 0 && ::flock(fd_, lock | LOCK_NB) < 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        fail(err == EWOULDBLOCK ? EBUSY : err);
    }
    // Emptied only once the lock is held, so a file in use is left alone.
    if (create && regular && ::ftruncate(fd_, 0) < 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        fail(err);
    }
}

std::int64_t TBufferedFileStream::ReadFileSize() {
    const off_t here = ::lseek(fd_, 0, SEEK_CUR);
    if (here < 0 && errno == ESPIPE) {
        seekable_ = false; // a pipe or terminal: written in order from 0
        return 0;
    }
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (here < 0 || end < 0 || ::lseek(fd_, here, SEEK_SET) < 0)
        throw EStreamError("Cannot determine correct file size");
    return end;
}

bool TBufferedFileStream::LoadBuffer(bool raise) {
    loadTried_ = true;
    loadOk_ = false;
    loaded_ = 0;
    knownLo_ = knownHi_ = 0;
    if (!seekable_) {
        if (raise)
            throw EReadError("Read from file failed: the file cannot be read back");
        return false;
    }
    std::uint32_t got = 0;
    while (got < bufSize_) {
        const ssize_t n = ::pread(fd_, buffer_.data() + got, bufSize_ - got, bufOffset_ + got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (raise)
                throw EReadError("Read from file failed: " + SystemMessage(errno));
            return false;
        }
        if (n == 0)
            break;
        got += std::uint32_t(n);
    }
    loadOk_ = true;
    loaded_ = got;
    knownHi_ = got;
    return true;
}

void TBufferedFileStream::WriteAll(const char* data, std::size_t len, std::int64_t at) {
    while (len > 0) {
        const ssize_t n = seekable_ ? ::pwrite(fd_, data, len, at) : ::write(fd_, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EWriteError("Could not write to file: " + SystemMessage(n < 0 ? errno : ENOSPC));
        data += n;
        len -= std::size_t(n);
        at += n;
    }
}

void TBufferedFileStream::WriteBuffer() {
    if (!dirty_)
        return;
    WriteAll(buffer_.data() + knownLo_, knownHi_ - knownLo_, bufOffset_ + knownLo_);
    dirty_ = false;
}

void TBufferedFileStream::MoveTo(std::int64_t offset) {
    WriteBuffer();
    bufOffset_ = offset;
    loadTried_ = loadOk_ = false;
    loaded_ = knownLo_ = knownHi_ = 0;
}

void TBufferedFileStream::MarkWritten(std::uint32_t from, std::uint32_t to) {
    if (knownLo_ == knownHi_ && !loadOk_) {
        knownLo_ = from;
        knownHi_ = to;
        return;
    }
    if (from > knownHi_) {
        if (loadOk_) {
            // Past what the file holds in this block: a hole, made of zeros.
            std::memset(buffer_.data() + knownHi_, 0, from - knownHi_);
        } else {
            // Unknown bytes in between must not go back: write out what is
            // known and start a new range.
            WriteBuffer();
            knownLo_ = from;
            knownHi_ = to;
            return;
        }
    } else if (to < knownLo_) {
        WriteBuffer();
        knownLo_ = from;
        knownHi_ = to;
        return;
    }
    knownLo_ = std::min(knownLo_, from);
    knownHi_ = std::max(knownHi_, to);
}

std::int64_t TBufferedFileStream::Read(void* buffer, std::int64_t count) {
    if (fd_ < 0)
        return 0;
    std::int64_t want = std::min(count, fileSize_ - Position());
    if (want <= 0)
        return 0;
    char* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < want) {
        if (bufPos_ >= bufSize_) {
            MoveTo(bufOffset_ + bufSize_);
            bufPos_ = 0;
        }
        const std::int64_t rest = want - done;
        // Whole blocks at a block boundary go straight to the caller.
        if (bufPos_ == 0 && !dirty_ && seekable_ && rest >= bufSize_) {
            const std::int64_t whole = rest - rest % bufSize_;
            std::int64_t got = 0;
            while (got < whole) {
                const ssize_t n =
                    ::pread(fd_, out + done + got, std::size_t(whole - got), bufOffset_ + got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throw EReadError("Read from file failed: " + SystemMessage(errno));
                if (n == 0)
                    break;
                got += n;
            }
            done += got;
            const std::int64_t blocks = got - got % bufSize_;
            MoveTo(bufOffset_ + blocks);
            bufPos_ = std::uint32_t(got - blocks);
            if (got < whole)
                break; // the file ends sooner than it said
            continue;
        }
        if (!loadTried_)
            LoadBuffer(true);
        if (bufPos_ < knownLo_ || bufPos_ >= knownHi_) {
            if (!loadOk_)
                throw EReadError("Read from file failed: the file cannot be read back");
            break; // nothing more is really there
        }
        const std::uint32_t n =
            std::uint32_t(std::min<std::int64_t>(rest, std::int64_t(knownHi_ - bufPos_)));
        std::memcpy(out + done, buffer_.data() + bufPos_, n);
        bufPos_ += n;
        done += n;
        if (bufPos_ < bufSize_ && done < want)
            break; // the block ends early: the file is shorter than it said
    }
    return done;
}

std::int64_t TBufferedFileStream::Write(const void* buffer, std::int64_t count) {
    if (fd_ < 0)
        return 0;
    if (count <= 0)
        return count;
    const char* in = static_cast<const char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        if (bufPos_ >= bufSize_) {
            MoveTo(bufOffset_ + bufSize_);
            bufPos_ = 0;
        }
        const std::int64_t rest = count - done;
        // Whole blocks at a block boundary go straight to the file.
        if (bufPos_ == 0 && !dirty_ && seekable_ && rest >= bufSize_) {
            const std::int64_t whole = rest - rest % bufSize_;
            WriteAll(in + done, std::size_t(whole), bufOffset_);
            done += whole;
            MoveTo(bufOffset_ + whole);
            bufPos_ = 0;
            fileSize_ = std::max(fileSize_, bufOffset_);
            continue;
        }
        if (!loadTried_) {
            if (bufOffset_ < fileSize_) {
                LoadBuffer(false);
            } else {
                // Past the end of the file: nothing of this block is on disk.
                loadTried_ = loadOk_ = true;
                loaded_ = knownLo_ = knownHi_ = 0;
            }
        }
        const std::uint32_t n =
            std::uint32_t(std::min<std::int64_t>(rest, std::int64_t(bufSize_ - bufPos_)));
        if (n == 0)
            throw EStreamError("Could not write to file: no room in the block"); // never loops
        MarkWritten(bufPos_, bufPos_ + n);
        std::memcpy(buffer_.data() + bufPos_, in + done, n);
        dirty_ = true;
        bufPos_ += n;
        done += n;
        fileSize_ = std::max(fileSize_, Position());
    }
    return count;
}

std::int64_t TBufferedFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    if (fd_ < 0)
        return 0;
    if (offset == 0 && origin == soCurrent)
        return Position();
    std::int64_t pos = 0;
    switch (origin) {
    case soBeginning:
        pos = offset;
        break;
    case soCurrent:
        pos = Position() + offset;
        break;
    case soEnd:
        pos = fileSize_ + offset;
        break;
    default:
        throw EStreamError("Invalid seek origin");
    }
    if (pos < 0)
        pos = 0;
    if (!seekable_)
        return Position(); // a pipe stays where it is; the caller sees the mismatch
    if (pos > fileSize_)
        fileSize_ = pos; // the file grows when data is written there
    const std::int64_t block = pos - pos % bufSize_;
    if (block != bufOffset_)
        MoveTo(block);
    bufPos_ = std::uint32_t(pos - bufOffset_);
    return pos;
}

std::int64_t TBufferedFileStream::Seek32(std::int32_t offset, std::uint16_t origin) {
    if (origin > soEnd)
        throw EStreamError("Invalid seek origin");
    return Seek(std::int64_t(offset), TSeekOrigin(origin));
}

void TBufferedFileStream::SetSize(std::int64_t newSize) {
    if (fd_ < 0)
        return;
    if (newSize < 0)
        newSize = 0;
    WriteBuffer();
    if (seekable_ && ::ftruncate(fd_, newSize) < 0)
        throw EWriteError("Could not set the file size: " + SystemMessage(errno));
    fileSize_ = newSize;
    // The block is read again from the file's new content when next needed.
    const std::uint32_t pos = bufPos_;
    MoveTo(bufOffset_);
    bufPos_ = pos;
}

void TBufferedFileStream::Flush() {
    if (fd_ >= 0)
        WriteBuffer();
}

void TBufferedFileStream::Close() {
    if (fd_ < 0)
        return;
    const int fd = fd_;
    try {
        WriteBuffer();
    } catch (...) {
        fd_ = -1;
        dirty_ = false;
        ::close(fd);
        throw;
    }
    fd_ = -1;
    if (::close(fd) < 0 && errno != EINTR)
        throw EWriteError("Could not write to file: " + SystemMessage(errno));
}

} // namespace qordex::ftp
