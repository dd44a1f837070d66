#include "ftp/FtpSrvFiles.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qordex::ftp {

namespace {

std::string Relative(const std::string& vpath) {
    std::size_t i = 0;
    while (i < vpath.size() && vpath[i] == '/')
        ++i;
    return i == vpath.size() ? std::string(".") : vpath.substr(i);
}

int OpenBeneath(int dirfd, const std::string& rel, int flags, mode_t mode) {
    open_how how{};
    how.flags = std::uint64_t(flags | O_CLOEXEC);
    how.mode = ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long r = ::syscall(SYS_openat2, dirfd, rel.c_str(), &how, sizeof how);
        if (r >= 0)
            return int(r);
        if (errno == EINTR || errno == EAGAIN)
            continue;
        return -errno;
    }
}

int Result(int r) {
    return r < 0 ? -errno : 0;
}

void Fill(FtpDirEntry& e, const struct stat& st, bool writable) {
    e.isDir = S_ISDIR(st.st_mode);
    e.size = e.isDir ? 0 : std::int64_t(st.st_size);
    e.modified = st.st_mtim.tv_sec;
    e.created = st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim.tv_sec : st.st_mtim.tv_sec;
    e.readOnly = !writable;
}

} // namespace

Fd::~Fd() {
    if (fd_ >= 0)
        ::close(fd_);
}

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

ServedRoot::ServedRoot(const std::string& hostFolder) {
    const int fd = ::open(hostFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    root_ = Fd(fd >= 0 ? fd : -errno);
}

int ServedRoot::Open(const std::string& vpath, int flags, mode_t mode) const {
    if (!root_.ok())
        return root_.get();
    return OpenBeneath(root_.get(), Relative(vpath), flags, mode);
}

int ServedRoot::Stat(const std::string& vpath, struct stat& st) const {
    Fd f(Open(vpath, O_PATH));
    if (!f.ok())
        return f.get();
    return Result(::fstat(f.get(), &st));
}

int ServedRoot::OpenParent(const std::string& vpath, std::string& leaf) const {
    const std::size_t slash = vpath.rfind('/');
    if (slash == std::string::npos || vpath == "/") {
        leaf.clear();
        return Open("/", O_PATH | O_DIRECTORY);
    }
    leaf = vpath.substr(slash + 1);
    return Open(vpath.substr(0, slash), O_PATH | O_DIRECTORY);
}

int ServedRoot::Unlink(const std::string& vpath) const {
    std::string leaf;
    Fd dir(OpenParent(vpath, leaf));
    if (!dir.ok())
        return dir.get();
    if (leaf.empty())
        return -EISDIR;
    return Result(::unlinkat(dir.get(), leaf.c_str(), 0));
}

int ServedRoot::MakeDir(const std::string& vpath) const {
    std::string leaf;
    Fd dir(OpenParent(vpath, leaf));
    if (!dir.ok())
        return dir.get();
    if (leaf.empty())
        return -EEXIST;
    return Result(::mkdirat(dir.get(), leaf.c_str(), 0755));
}

int ServedRoot::RemoveDir(const std::string& vpath) const {
    std::string leaf;
    Fd dir(OpenParent(vpath, leaf));
    if (!dir.ok())
        return dir.get();
    if (leaf.empty())
        return -EBUSY;
    return Result(::unlinkat(dir.get(), leaf.c_str(), AT_REMOVEDIR));
}

int ServedRoot::Rename(const std::string& from, const std::string& to) const {
    std::string a, b;
    Fd da(OpenParent(from, a));
    if (!da.ok())
        return da.get();
    Fd db(OpenParent(to, b));
    if (!db.ok())
        return db.get();
    if (a.empty() || b.empty())
        return -EBUSY;
    return Result(::renameat2(da.get(), a.c_str(), db.get(), b.c_str(), RENAME_NOREPLACE));
}

int ServedRoot::SetModified(const std::string& vpath, std::int64_t utc) const {
    // Opened for writing so that a file the server may not change keeps its time.
    Fd f(Open(vpath, O_WRONLY | O_NONBLOCK));
    if (!f.ok())
        return f.get();
    struct stat st {};
    if (::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -EINVAL;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(utc);
    times[1].tv_nsec = 0;
    return Result(::futimens(f.get(), times));
}

bool ServedRoot::Writable(const std::string& vpath) const {
    std::string leaf;
    Fd dir(OpenParent(vpath, leaf));
    if (!dir.ok())
        return false;
    return ::faccessat(dir.get(), leaf.empty() ? "." : leaf.c_str(), W_OK, AT_EACCESS) == 0;
}

int ServedRoot::List(const std::string& vpath, bool hidden, std::vector<FtpDirEntry>& out) const {
    const int fd = Open(vpath, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return fd;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        const int e = -errno;
        ::close(fd);
        return e;
    }
    const std::string base = vpath == "/" ? std::string() : vpath;
    while (dirent* de = ::readdir(d)) {
        const std::string name = de->d_name;
        const bool dots = name == "." || name == "..";
        if (!dots && !hidden && name[0] == '.')
            continue;
        FtpDirEntry e;
        e.name = name;
        struct stat st {};
        // A link is described by its target when that stays inside the root.
        int r = -1;
        if (!dots)
            r = Stat(base + "/" + name, st);
        else
            r = Result(::fstatat(::dirfd(d), name.c_str(), &st, 0));
        if (r != 0 && ::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        Fill(e, st, ::faccessat(::dirfd(d), name.c_str(), W_OK, AT_EACCESS) == 0);
        out.push_back(std::move(e));
    }
    ::closedir(d);
    return 0;
}

int ServedRoot::Describe(const std::string& vpath, const std::string& name, FtpDirEntry& out) const {
    struct stat st {};
    const int r = Stat(vpath, st);
    if (r != 0)
        return r;
    out.name = name;
    Fill(out, st, Writable(vpath));
    return 0;
}

std::string ErrorText(int negErrno) {
    return std::strerror(negErrno < 0 ? -negErrno : negErrno);
}

} // namespace qordex::ftp
