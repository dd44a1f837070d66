#pragma once
// One block of a socket's send buffer: a fixed-size byte area that is filled
// at the back and emptied from the front.

#include <memory>

namespace qordex {

class TBuffer {
public:
    // A size of 0 or less means 1514 bytes.
    explicit TBuffer(int size);

    // Changes the capacity; the bytes stored so far are kept (cut to the new
    // size when it is smaller).
    void SetBufSize(int size);
    int BufSize() const { return bufSize_; }

    // Appends as many bytes as fit; returns the number copied (0 when full).
    int Write(const void* data, int len);
    // The first unread byte and the unread length (nullptr and 0 when empty).
    const char* Peek(int& len) const;
    // Drops up to `len` unread bytes from the front; returns the amount.
    // Once everything was read, the block can be filled from its start again.
    int Remove(int len);

    int WrCount() const { return wrCount_; }
    int RdCount() const { return rdCount_; }
    int Unread() const { return wrCount_ - rdCount_; }

private:
    std::unique_ptr<char[]> data_;
    int bufSize_ = 0; // capacity
    int wrCount_ = 0; // bytes stored (appended at this offset)
    int rdCount_ = 0; // bytes already taken from the front
};

} // namespace qordex
