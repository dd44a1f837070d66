#pragma once
// A file stream with one block buffer of its own: callers read and write in
// pieces of any size, the file is read and written in whole blocks at
// block-aligned offsets.  The FTP client keeps the local file of a transfer
// in one.  Positions and sizes are 64-bit.
//
// Only bytes that were loaded from the file or written by the caller ever
// go back to it: a block that could not be loaded (a file opened for
// writing only) is written back from the first to the last byte written,
// and bytes between the old end of the file and data written past it are
// zeros.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qordex::ftp {

// Open modes: the access in the low bits, a share mode or'ed in.
enum : std::uint16_t {
    fmCreate = 0xFFFF, // create or truncate, read and write, no sharing
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareCompat = 0x0000,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// Raised by the stream: what failed, with the system's reason.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class TBufferedFileStream {
public:
    // Buffer size rule: below 512 gives 512, above 65536 gives 65536, a size
    // that is not a multiple of 512 gives 4096.
    TBufferedFileStream(const std::string& fileName, std::uint16_t mode, std::uint32_t bufferSize);
    // The access-rights value is accepted and ignored.
    TBufferedFileStream(const std::string& fileName, std::uint16_t mode, std::uint32_t rights,
                        std::uint32_t bufferSize);
    // Writes a dirty buffer and closes the file; errors are lost here, so
    // callers that care call Close first.
    ~TBufferedFileStream();
    TBufferedFileStream(const TBufferedFileStream&) = delete;
    TBufferedFileStream& operator=(const TBufferedFileStream&) = delete;

    // The bytes copied: at most Count, fewer at the end of the file (0 there).
    std::int64_t Read(void* buffer, std::int64_t count);
    // Returns Count; the bytes reach the file when their block is left, at
    // Flush, Close or destruction.
    std::int64_t Write(const void* buffer, std::int64_t count);
    // The new position; a negative result becomes 0.
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
    // The 32-bit form: the offset sign-extended, the origin as a number.
    std::int64_t Seek32(std::int32_t offset, std::uint16_t origin);
    std::int64_t Position() const { return bufOffset_ + bufPos_; }
    std::int64_t Size() const { return fileSize_; }
    // Cuts or extends the file; the buffer follows the new end.
    void SetSize(std::int64_t newSize);

    // Writes a dirty buffer now.
    void Flush();
    // Writes a dirty buffer and closes the file, raising what fails (a full
    // disk shows here at the latest).  Later calls do nothing.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    std::uint32_t BufferSize() const { return bufSize_; }
    const std::string& FileName() const { return fileName_; }

    static std::uint32_t ChooseBufferSize(std::uint32_t requested);

private:
    void Open(std::uint16_t mode);
    std::int64_t ReadFileSize();
    // Fills the buffer from the file at bufOffset_; false when the file
    // refused the read (nothing is known of the block then).
    bool LoadBuffer(bool raise);
    void WriteBuffer();
    // Leaves the current block for the one at `offset` (block-aligned).
    void MoveTo(std::int64_t offset);
    // Makes [from, to) of the buffer part of what is written back.
    void MarkWritten(std::uint32_t from, std::uint32_t to);
    void WriteAll(const char* data, std::size_t len, std::int64_t at);
    bool Seekable() const { return seekable_; }

    int fd_ = -1;
    std::string fileName_;
    bool seekable_ = true;      // a pipe or terminal is written in order, never sought
    std::int64_t fileSize_ = 0; // as the stream sees it, buffered bytes included
    std::int64_t bufOffset_ = 0;
    std::vector<char> buffer_;
    std::uint32_t bufSize_ = 0;
    std::uint32_t bufPos_ = 0;
    // The block: [0, loaded_) came from the file; [knownLo_, knownHi_) is
    // what goes back to it when dirty (loaded bytes, written bytes and zeros
    // for a hole past the file's end).
    bool loadTried_ = false;
    bool loadOk_ = false;
    std::uint32_t loaded_ = 0;
    std::uint32_t knownLo_ = 0, knownHi_ = 0;
    bool dirty_ = false;
};

} // namespace qordex::ftp
