#include "mail/CodecFiles.h"

#include "mail/UUEnc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::mail {
namespace {

std::string Reason(int err) {
    return std::strerror(err);
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
    throw ECodecFileError(what + " \"" + path + "\": " + Reason(err));
}

} // namespace

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::ifstream OpenInputFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        Fail("Cannot open file", path, EISDIR);
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open())
        Fail("Cannot open file", path, errno ? errno : ENOENT);
    return in;
}

TReplacingFile::TReplacingFile(std::string path) : path_(path), name_(std::move(path)) {
    // Through a symbolic link the file it names is replaced, not the link.
    if (char* real = ::realpath(path_.c_str(), nullptr)) {
        path_ = real;
        std::free(real);
    }
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        Fail("Cannot create file", name_, EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe (/dev/stdout, /dev/null) is written in place:
        // renaming over it would replace the device itself.
        out_.open(path_, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!out_.is_open())
            Fail("Cannot create file", name_, errno ? errno : EACCES);
        return;
    }
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    std::string pattern = dir + "." + base + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        Fail("Cannot create file", name_, errno);
    // mkstemp makes the file private; give it the mode the old file had, or
    // the one a new file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~mask);
    (void)::fchmod(fd, mode);
    ::close(fd);
    temp_ = pattern;
    out_.open(temp_, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) {
        const int err = errno;
        ::unlink(temp_.c_str());
        Fail("Cannot create file", name_, err);
    }
}

TReplacingFile::~TReplacingFile() {
    if (!committed_) {
        out_.close();
        if (!temp_.empty())
            ::unlink(temp_.c_str());
    }
}

void TReplacingFile::Commit() {
    out_.flush();
    const bool ok = out_.good();
    out_.close();
    if (!ok || out_.fail())
        Fail("Cannot write file", name_, errno ? errno : EIO);
    if (!temp_.empty() && std::rename(temp_.c_str(), path_.c_str()) != 0)
        Fail("Cannot create file", name_, errno);
    committed_ = true;
}

void RunCodec(bool encode, int mode, std::istream& source, const std::string& sourceName,
              std::ostream& target) {
    if (encode)
        EncodeStream(source, target, mode);
    else
        DecodeStream(source, target, mode);
    if (source.bad())
        throw ECodecFileError("Cannot read " + sourceName);
}

void RunCodecToFile(bool encode, int mode, std::istream& source, const std::string& sourceName,
                    const std::string& outPath,
                    const std::function<void(const std::string& tempPath)>& onTemp) {
    TReplacingFile target(outPath);
    if (onTemp && !target.TempPath().empty())
        onTemp(target.TempPath());
    RunCodec(encode, mode, source, sourceName, target.Stream());
    target.Commit();
}

} // namespace qordex::mail
