#include "mail/EmailRead.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::mail {
namespace {

// Bytes gathered before a message file is written to.
constexpr std::size_t kWriteBatch = 64 * 1024;

std::string ErrnoText(int err) {
    return std::strerror(err);
}

} // namespace

// ---- texts ---------------------------------------------------------------------

std::string Pop3RequestDoneLine(TPop3Request rq, std::uint16_t error) {
    return "Request Done Rq=" + std::to_string(int(rq)) + " Error=" + std::to_string(error);
}

std::string StatDoneText(const TCustomPop3Cli& p) {
    return "Stat ok, " + std::to_string(p.MsgCount()) + " messages " + std::to_string(p.MsgSize()) +
           " bytes";
}

std::string ListDoneText(const TCustomPop3Cli& p) {
    return "List ok, " + std::to_string(p.MsgNum()) + " message " + std::to_string(p.MsgSize()) +
           " bytes";
}

std::string LastDoneText(const TCustomPop3Cli& p) {
    return "Last = " + std::to_string(p.MsgNum());
}

std::string ListLineText(const TCustomPop3Cli& p) {
    return "MsgNum = " + std::to_string(p.MsgNum()) + " " +
           "MsgSize = " + std::to_string(p.MsgSize()) + " " + "Line = '" + p.LastResponse() + "'";
}

std::string UidlLineText(const TCustomPop3Cli& p) {
    return "MsgNum = " + std::to_string(p.MsgNum()) + " " + "MsgUidl = " + p.MsgUidl() + "'";
}

std::string MessageBeginText(const TCustomPop3Cli& p) {
    return "*** Message " + std::to_string(p.MsgNum()) + " begin ***";
}

std::string MessageEndText(const TCustomPop3Cli& p) {
    return "*** Message " + std::to_string(p.MsgNum()) + " end ***";
}

// ---- message files ----------------------------------------------------------------

int OpenMessageFolder(const std::string& path, std::string& error) {
    const std::string dir = path.empty() ? "." : path;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        error = "Cannot open folder \"" + path + "\": " + ErrnoText(errno);
    return fd;
}

bool MessageNameTaken(int dirFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

TMessageFile::TMessageFile(int dirFd, int fd, std::string tempName)
    : dirFd_(dirFd), fd_(fd), tempName_(std::move(tempName)) {}

TMessageFile::~TMessageFile() {
    Discard();
}

std::unique_ptr<TMessageFile> TMessageFile::Create(int dirFd, std::string& error) {
    static std::mt19937 gen{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".Msg-%08x.part", unsigned(gen()));
        const int fd =
            ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0)
            return std::unique_ptr<TMessageFile>(new TMessageFile(dirFd, fd, name));
        if (errno != EEXIST) {
            error = "Cannot create a file in the folder: " + ErrnoText(errno);
            return nullptr;
        }
    }
    error = "Cannot create a file in the folder: no free temporary name";
    return nullptr;
}

std::unique_ptr<TMessageFile> TMessageFile::OpenDirect(const std::string& path,
                                                       std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "Cannot open \"" + path + "\": " + ErrnoText(errno);
        return nullptr;
    }
    return std::unique_ptr<TMessageFile>(new TMessageFile(-1, fd, {}));
}

bool TMessageFile::Flush() {
    std::size_t at = 0;
    while (!failed_ && at < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + at, buffer_.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failed_ = true;
        else
            at += std::size_t(n);
    }
    buffer_.clear();
    return !failed_;
}

bool TMessageFile::WriteLine(std::string_view line) {
    if (failed_ || done_)
        return false;
    buffer_ += line;
    buffer_ += "\r\n";
    if (buffer_.size() >= kWriteBatch)
        return Flush();
    return true;
}

bool TMessageFile::Commit(const std::string& name, bool replace, std::string& error, bool* exists) {
    if (exists)
        *exists = false;
    if (done_) {
        error = "The file was already closed";
        return false;
    }
    errno = 0;
    const bool written = Flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || !written) {
        error = "Cannot write the file: " + ErrnoText(errno ? errno : EIO);
        Discard();
        return false;
    }
    if (dirFd_ < 0) {
        done_ = true;
        return true;
    }
    int rc;
    if (replace) {
        rc = ::renameat(dirFd_, tempName_.c_str(), dirFd_, name.c_str());
    } else {
        rc = ::renameat2(dirFd_, tempName_.c_str(), dirFd_, name.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without an exclusive rename: a link is exclusive too.
            rc = ::linkat(dirFd_, tempName_.c_str(), dirFd_, name.c_str(), 0);
            if (rc == 0)
                ::unlinkat(dirFd_, tempName_.c_str(), 0);
        }
    }
    if (rc != 0) {
        const int err = errno;
        if (exists)
            *exists = err == EEXIST;
        error = "Cannot name the file \"" + name + "\": " + ErrnoText(err);
        Discard();
        return false;
    }
    done_ = true;
    return true;
}

void TMessageFile::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!done_) {
        done_ = true;
        if (dirFd_ >= 0)
            ::unlinkat(dirFd_, tempName_.c_str(), 0);
    }
}

// ---- GetAll -------------------------------------------------------------------------

TPop3GetAll::TPop3GetAll(TCustomPop3Cli& pop3, Log log) : pop3_(pop3), log_(std::move(log)) {}

TPop3GetAll::~TPop3GetAll() {
    alive_.reset();
    file_.reset();
    CloseFolder();
}

void TPop3GetAll::CloseFolder() {
    if (dirFd_ >= 0)
        ::close(dirFd_);
    dirFd_ = -1;
}

void TPop3GetAll::Start(const std::string& folder) {
    file_.reset();
    CloseFolder();
    std::string error;
    dirFd_ = OpenMessageFolder(folder, error);
    if (dirFd_ < 0)
        throw std::runtime_error(error);
    step_ = 0;
    pop3_.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request, std::uint16_t e) {
        RequestDone(e);
    };
    pop3_.OnMessageBegin = nullptr;
    pop3_.OnMessageEnd = nullptr;
    pop3_.OnMessageLine = [this](TCustomPop3Cli* p) {
        if (file_)
            file_->WriteLine(p->LastResponse());
    };
    running_ = true;
    try {
        pop3_.Stat();
    } catch (...) {
        running_ = false;
        CloseFolder();
        throw;
    }
}

void TPop3GetAll::Stop(bool ok, const std::string& error, bool fileError) {
    running_ = false;
    file_.reset();
    CloseFolder();
    if (auto h = OnFinished)
        h(ok, error, fileError);
}

void TPop3GetAll::RequestDone(std::uint16_t error) {
    if (!running_)
        return;
    const std::weak_ptr<char> alive = alive_;
    if (error != 0) {
        file_.reset(); // a cut message leaves no file
        log_("Error " + pop3_.ErrorMessage());
        if (!alive.expired())
            Stop(false, pop3_.ErrorMessage());
        return;
    }
    try {
        switch (step_) {
        case 0:
            if (pop3_.MsgCount() > 0) {
                pop3_.SetMsgNum(1);
                step_ = 1;
                pop3_.Uidl();
            } else {
                log_("No message to download.");
                if (!alive.expired())
                    Stop(true, {});
            }
            return;
        case 1: {
            const std::string num = std::to_string(pop3_.MsgNum());
            std::string why;
            fileName_ = Pop3MessageFileName(pop3_.MsgUidl(), &why);
            if (fileName_.empty()) {
                const std::string text = "Message " + num + ": " + why;
                log_("Error " + text);
                if (!alive.expired())
                    Stop(false, text);
                return;
            }
            if (MessageNameTaken(dirFd_, fileName_)) {
                log_("Message " + num + " already here");
                if (!alive.expired())
                    NextMessage();
                return;
            }
            log_("Message " + num);
            if (alive.expired())
                return;
            std::string fileError;
            file_ = TMessageFile::Create(dirFd_, fileError);
            if (!file_) {
                log_("Error " + fileError);
                if (!alive.expired())
                    Stop(false, fileError, true);
                return;
            }
            step_ = 2;
            pop3_.Retr();
            return;
        }
        case 2: {
            std::string fileError;
            bool exists = false;
            const bool saved = file_ && file_->Commit(fileName_, false, fileError, &exists);
            file_.reset();
            if (!saved && exists) {
                // Another download put it there meanwhile: it is here all the same.
                log_("Message " + std::to_string(pop3_.MsgNum()) + " already here");
            } else if (!saved) {
                log_("Error " + fileError);
                if (!alive.expired())
                    Stop(false, fileError, true);
                return;
            }
            if (!alive.expired())
                NextMessage();
            return;
        }
        default:
            log_("Invalid state");
            if (!alive.expired())
                Stop(false, "Invalid state");
            return;
        }
    } catch (const std::exception& e) {
        // The next command could not be sent (the connection is gone, say).
        if (alive.expired())
            return;
        log_(std::string("Error ") + e.what());
        if (!alive.expired())
            Stop(false, e.what());
    }
}

void TPop3GetAll::NextMessage() {
    if (pop3_.MsgNum() < pop3_.MsgCount()) {
        pop3_.SetMsgNum(pop3_.MsgNum() + 1);
        step_ = 1;
        pop3_.Uidl();
        return;
    }
    const std::weak_ptr<char> alive = alive_;
    log_("Finished");
    if (!alive.expired())
        Stop(true, {});
}

} // namespace qordex::mail
