#pragma once
// Byte streams handed to engines: a document being received, a body being
// sent.  Whoever creates a stream frees it; an engine only reads, writes,
// seeks and truncates the streams it is given.

#include <cstdint>
#include <string>

namespace qordex {

class TStream {
public:
    virtual ~TStream() = default;

    // Bytes read (0 at the end), or -1 on failure.
    virtual long long Read(void* buffer, long long count) = 0;
    // Bytes written, or -1 on failure; a short count means the medium is full.
    virtual long long Write(const void* buffer, long long count) = 0;
    // The new position, or -1 when the stream cannot seek there.
    virtual long long Seek(long long offset) = 0;
    virtual long long Position() const = 0;
    virtual long long Size() const = 0;
    // Cuts or extends the stream; false where the medium cannot (a pipe).
    virtual bool SetSize(long long size) = 0;
};

// A stream in memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : data_(std::move(bytes)) {}

    long long Read(void* buffer, long long count) override;
    long long Write(const void* buffer, long long count) override;
    long long Seek(long long offset) override;
    long long Position() const override { return pos_; }
    long long Size() const override { return static_cast<long long>(data_.size()); }
    bool SetSize(long long size) override;

    const std::string& Bytes() const { return data_; }

private:
    std::string data_;
    long long pos_ = 0;
};

// A stream over a file descriptor, which it owns (closed with the stream).
class TFileStream : public TStream {
public:
    explicit TFileStream(int fd) : fd_(fd) {}
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    long long Read(void* buffer, long long count) override;
    long long Write(const void* buffer, long long count) override;
    long long Seek(long long offset) override;
    long long Position() const override;
    long long Size() const override;
    bool SetSize(long long size) override;

    int Handle() const { return fd_; }
    // Closes the file now; false when the system reported an error (a
    // delayed write that failed).
    bool Close();

private:
    int fd_;
};

} // namespace qordex
