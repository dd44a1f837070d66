#pragma once
// The served folder as the FTP server touches it: every virtual path
// ("/", "/a/b") is opened beneath the root descriptor by the kernel
// (openat2 with RESOLVE_BENEATH), so ".." and symbolic links cannot lead
// out of it whatever the name looks like.  Functions return a descriptor
// or 0 on success and -errno on failure.

#include "ftp/FtpSrvParse.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace qordex::ftp {

// Owns a descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The served folder of a client.
class ServedRoot {
public:
    explicit ServedRoot(const std::string& hostFolder);
    // -errno when the folder could not be opened.
    int Error() const { return root_.ok() ? 0 : root_.get(); }

    // Opens a virtual path beneath the root with open(2) flags.
    int Open(const std::string& vpath, int flags, mode_t mode = 0644) const;
    // stat of what the path leads to (inside the root only).
    int Stat(const std::string& vpath, struct stat& st) const;
    // The folder holding the last component, and that component; the
    // component is empty for "/".
    int OpenParent(const std::string& vpath, std::string& leaf) const;

    int Unlink(const std::string& vpath) const;
    int MakeDir(const std::string& vpath) const;
    int RemoveDir(const std::string& vpath) const;
    int Rename(const std::string& from, const std::string& to) const;
    // Sets the modification time (UTC seconds).
    int SetModified(const std::string& vpath, std::int64_t utc) const;
    // Whether the server may write it.
    bool Writable(const std::string& vpath) const;

    // Entries of a folder (with "." and ".."); hidden ones (a leading dot)
    // only when `hidden`.
    int List(const std::string& vpath, bool hidden, std::vector<FtpDirEntry>& out) const;
    // One entry describing the path itself, named `name`.
    int Describe(const std::string& vpath, const std::string& name, FtpDirEntry& out) const;

private:
    Fd root_;
};

// Whether a -errno from the functions above means the path would have left
// the root (or could not be followed inside it).
inline bool EscapesRoot(int err) {
    return err == -EXDEV || err == -ELOOP || err == -ENAMETOOLONG;
}

// The text of -errno.
std::string ErrorText(int negErrno);

} // namespace qordex::ftp
