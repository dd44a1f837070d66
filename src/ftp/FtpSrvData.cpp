// The data side of the FTP server: PORT and PASV, the passive port range,
// STOR/APPE/STOU/RETR and the listings.
#include "ftp/FtpSrv.h"

#include "ftp/FtpSrvFiles.h"
#include "ftp/FtpSrvParse.h"
#include "platform/SocketErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qordex::ftp {

namespace {

enum : unsigned { kMsgAbortData = WM_USER + 41, kMsgHalfClose = WM_USER + 42, kMsgStartSend = WM_USER + 43 };

std::string PeerOf(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return {};
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    return buf;
}

} // namespace

// ---- PORT and PASV ---------------------------------------------------------

void TFtpServer::CmdPort(Client* c, const std::string& p, std::string& a) {
    // RFC 2577: data goes only to the client itself and never to a
    // privileged port, so the server cannot be used to bounce connections.
    const auto arg = ParsePortArgument(TrimBlanks(p));
    if (!arg || arg->port < 1024 || arg->addr != c->GetPeerAddr()) {
        a = "501 Invalid PORT command.";
        return;
    }
    ReleasePasvPort(c);
    c->DataAddr = arg->addr;
    c->DataPort = std::to_string(arg->port);
    a = "200 Port command successful.";
}

void TFtpServer::CmdPasv(Client* c, const std::string&, std::string& a) {
    try {
        const std::string local = c->GetBoundAddr();
        ReleasePasvPort(c);
        if (c->data_->State() != wsClosed)
            c->data_->Close();
        c->PassiveConnected = false;
        std::string port = "0";
        if (pasvStart_ != 0 && pasvSize_ != 0) {
            port.clear();
            for (int i = 0; i < pasvSize_; ++i)
                if (!pasvUsed_[std::size_t(i)]) {
                    pasvUsed_[std::size_t(i)] = true;
                    c->pasvPort_ = pasvStart_ + i;
                    port = std::to_string(c->pasvPort_);
                    break;
                }
            if (port.empty())
                throw FtpServerException("No available PASV Ports");
        }
        TWSocket& l = *c->pasvListen_;
        l.SetProto("tcp");
        l.SetAddr("0.0.0.0");
        l.SetPort(port);
        l.SetListenBacklog(4);
        l.Listen();
        const int bound = std::stoi(l.GetBoundPort());
        std::string host;
        if (c->GetPeerAddr() == "127.0.0.1") {
            host = "127.0.0.1";
        } else if (!PasvIpAddr.empty()) {
            in_addr ia{};
            if (::inet_pton(AF_INET, PasvIpAddr.c_str(), &ia) != 1)
                throw FtpServerException("Invalid PASV IP Address");
            host = PasvIpAddr;
        } else {
            host = local;
        }
        in_addr ia{};
        ::inet_pton(AF_INET, host.c_str(), &ia);
        const auto* b = reinterpret_cast<const unsigned char*>(&ia.s_addr);
        char buf[128];
        std::snprintf(buf, sizeof buf, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", b[0], b[1],
                      b[2], b[3], bound >> 8, bound & 255);
        a = buf;
        c->PassiveMode = true;
        c->PassiveStart = false;
        c->PassiveConnected = false;
    } catch (const std::exception& e) {
        ReleasePasvPort(c);
        a = std::string("500 PASV exception: '") + e.what() + "'.";
    }
}

void TFtpServer::PasvAccept(Client* c) {
    TWSocket& l = *c->pasvListen_;
    TSocket fd = INVALID_SOCKET;
    try {
        fd = l.Accept();
    } catch (...) {
        fd = INVALID_SOCKET;
    }
    if (fd == INVALID_SOCKET) {
        if (l.LastError() == WSAEMFILE || l.LastError() == WSAENOBUFS) {
            // Out of descriptors: give up this transfer rather than spin.
            l.Close();
            if (c->transfer_) {
                c->AbortingTransfer = true;
                c->AbortingReason = "Out of resources accepting the data connection";
                Post(kMsgAbortData, c);
            }
        }
        return;
    }
    // Only the client itself may connect (RFC 2577); anyone else is
    // dropped and the port keeps waiting for the client.
    if (PeerOf(int(fd)) != c->GetPeerAddr()) {
        ::close(int(fd));
        return;
    }
    l.Close();
    c->data_->Dup(fd);
    c->PassiveConnected = true;
    if (c->PassiveStart && c->transfer_)
        DataConnected(c, 0);
}

void TFtpServer::ReleasePasvPort(Client* c) {
    if (c->pasvListen_ && c->pasvListen_->State() != wsClosed)
        c->pasvListen_->Close();
    if (c->pasvPort_ != 0) {
        const int i = c->pasvPort_ - pasvStart_;
        if (i >= 0 && i < int(pasvUsed_.size()))
            pasvUsed_[std::size_t(i)] = false;
        c->pasvPort_ = 0;
    }
    c->PassiveMode = false;
}

void TFtpServer::FailedInPassive(Client* c) {
    if (!c->PassiveMode || c->transfer_)
        return;
    // The connection the client may still open is never served: drop it.
    ReleasePasvPort(c);
    if (c->data_->State() != wsClosed && !c->transfer_)
        c->data_->Close();
    c->PassiveConnected = false;
}

void TFtpServer::ConnectActive(Client* c) {
    TWSocket& d = *c->data_;
    if (d.State() != wsClosed)
        d.Close();
    d.SetProto("tcp");
    d.SetAddr(c->DataAddr);
    d.SetPort(c->DataPort);
    d.SetLocalAddr(c->GetBoundAddr());
    d.SetLocalPort("0");
    try {
        d.Connect();
    } catch (const std::exception& e) {
        c->AbortingTransfer = true;
        c->AbortingReason = e.what();
        DataClosed(c, 0);
    }
}

// ---- transfers -------------------------------------------------------------

void TFtpServer::CloseFile(Client* c) {
    if (c->fd_ >= 0)
        ::close(c->fd_);
    c->fd_ = -1;
    c->HasOpenedFile = false;
    c->memData_.clear();
    c->memData_.shrink_to_fit();
    c->memPos_ = 0;
    c->fromMemory_ = false;
}

void TFtpServer::PrepareReceive(Client* c) {
    c->AbortingTransfer = false;
    c->AbortingReason = "Transfer Ok";
    c->dir_ = TFtpCtrlSocket::Dir::Recv;
    c->transfer_ = true;
    c->sendEnded_ = false;
    c->halfClosed_ = false;
    c->ByteCount = 0;
    if (c->PassiveMode) {
        if (c->PassiveConnected)
            Post(kMsgStartSend, c); // runs the connected step from the loop
        else
            c->PassiveStart = true;
    } else {
        ConnectActive(c);
    }
}

bool TFtpServer::OpenForWrite(Client* c) {
    if (c->fd_ >= 0)
        return true;
    ServedRoot root(c->HomeDir);
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK;
    if (!c->appendMode_ && c->RestartPos == 0)
        flags |= O_TRUNC;
    const int fd = root.Open(c->FilePath, flags, 0644);
    if (fd < 0) {
        c->AbortingReason = EscapesRoot(fd) ? "Permission Denied" : ErrorText(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        c->AbortingReason = "Not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (::lseek(fd, c->RestartPos, SEEK_SET) != c->RestartPos) {
        ::close(fd);
        c->AbortingReason = "Unable to set resume position in local file";
        return false;
    }
    c->fd_ = fd;
    c->HasOpenedFile = true;
    return true;
}

bool TFtpServer::OpenForRead(Client* c) {
    if (c->fd_ >= 0 || c->fromMemory_ || c->FilePath.empty())
        return true;
    const int fd = ServedRoot(c->HomeDir).Open(c->FilePath, O_RDONLY | O_NONBLOCK);
    if (fd == -ENOENT || fd == -ENOTDIR) {
        c->AbortingReason = "File not found: \"" + c->FilePath + "\"";
        return false;
    }
    if (fd < 0) {
        c->AbortingReason = EscapesRoot(fd) ? "Permission Denied" : ErrorText(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        c->AbortingReason = "Not a regular file";
        return false;
    }
    if (c->RestartPos > 0 && ::lseek(fd, c->RestartPos, SEEK_SET) != c->RestartPos) {
        ::close(fd);
        c->AbortingReason = "Unable to set resume position in local file";
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    c->fd_ = fd;
    c->HasOpenedFile = true;
    return true;
}

// Checks a name for STOR/APPE before the 150: the folder must be inside
// the root and an existing entry must be a regular file inside it.
static int CheckWritable(const ServedRoot& root, const std::string& v) {
    std::string leaf;
    Fd dir(root.OpenParent(v, leaf));
    if (!dir.ok())
        return dir.get();
    if (leaf.empty())
        return -EISDIR;
    struct stat st {};
    const int r = root.Stat(v, st);
    if (r == -ENOENT) {
        // A dangling link must not lead the write outside either.
        struct stat lst {};
        if (::fstatat(dir.get(), leaf.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode))
            return -EXDEV;
        return 0;
    }
    if (r != 0)
        return r;
    return S_ISREG(st.st_mode) ? 0 : -EISDIR;
}

void TFtpServer::CmdStor(Client* c, const std::string& p, std::string& a) {
    c->FileName = p;
    std::string v;
    const bool named = Virtual(c, p, v) && !p.empty();
    c->FilePath = v;
    const bool allowed = named && Permitted(c, c->FilePath, OnValidatePut);
    ServedRoot root(c->HomeDir);
    const int r = allowed ? CheckWritable(root, v) : 0;
    if (!allowed || EscapesRoot(r)) {
        a = "501 Permission Denied";
        return;
    }
    if (r != 0) {
        a = "501 Cannot STOR. " + (r == -EISDIR ? std::string("Not a regular file") : ErrorText(r));
        return;
    }
    CloseFile(c);
    c->appendMode_ = false;
    c->uniqueMode_ = false;
    PrepareReceive(c);
    a = "150 Opening data connection for " + p + ".";
}

void TFtpServer::CmdAppe(Client* c, const std::string& p, std::string& a) {
    c->FileName = p;
    std::string v;
    const bool named = Virtual(c, p, v) && !p.empty();
    c->FilePath = v;
    const bool allowed = named && Permitted(c, c->FilePath, OnValidatePut);
    ServedRoot root(c->HomeDir);
    const int r = allowed ? CheckWritable(root, v) : 0;
    if (!allowed || EscapesRoot(r)) {
        a = "500 Cannot APPE.";
        return;
    }
    if (r != 0) {
        a = "550 APPE failed.";
        return;
    }
    struct stat st {};
    c->RestartPos = root.Stat(v, st) == 0 ? std::int64_t(st.st_size) : 0;
    CloseFile(c);
    c->appendMode_ = true;
    c->uniqueMode_ = false;
    PrepareReceive(c);
    a = "150 APPE supported.  Ready to append file \"" + p + "\" at offset " +
        std::to_string(c->RestartPos) + ".";
}

void TFtpServer::CmdStou(Client* c, const std::string&, std::string& a) {
    ServedRoot root(c->HomeDir);
    CloseFile(c);
    std::string name;
    if (auto h = OnGetUniqueFileName)
        h(this, c, name);
    int fd = -1;
    std::string v;
    if (!name.empty() && ResolveVirtualPath(c->Directory, name)) {
        v = *ResolveVirtualPath(c->Directory, name);
        fd = root.Open(v, O_WRONLY | O_CREAT | O_EXCL, 0644);
    }
    if (fd < 0) {
        // The very file created here is the one written: no other client
        // can take the name between the check and the transfer.
        static std::mt19937_64 rng{std::random_device{}()};
        static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            name = "FTP";
            for (int i = 0; i < 6; ++i)
                name.push_back(kChars[rng() % (sizeof kChars - 1)]);
            auto vv = ResolveVirtualPath(c->Directory, name);
            if (!vv)
                break;
            v = *vv;
            fd = root.Open(v, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd != -EEXIST && fd < 0)
                break;
        }
    }
    c->FileName = name;
    c->FilePath = v;
    bool allowed = fd >= 0 || !EscapesRoot(fd);
    if (allowed)
        if (auto h = OnValidatePut)
            h(this, c, c->FilePath, allowed);
    if (!allowed) {
        if (fd >= 0) {
            ::close(fd);
            root.Unlink(v);
        }
        a = "501 Permission Denied";
        return;
    }
    if (fd < 0) {
        a = "501 Cannot STOU. " + ErrorText(fd);
        return;
    }
    c->fd_ = fd;
    c->HasOpenedFile = true;
    c->RestartPos = 0;
    c->appendMode_ = false;
    c->uniqueMode_ = true;
    PrepareReceive(c);
    a = "150 Opening data connection for " + name + ".";
}

void TFtpServer::CmdRetr(Client* c, const std::string& p, std::string& a) {
    CloseFile(c);
    c->FileName = p;
    std::string v;
    const bool named = Virtual(c, p, v) && !p.empty();
    c->FilePath = v;
    const bool allowed = named && Permitted(c, c->FilePath, OnValidateGet);
    struct stat st {};
    const int r = allowed ? ServedRoot(c->HomeDir).Stat(v, st) : 0;
    if (!allowed || EscapesRoot(r)) {
        a = "500 Cannot RETR.";
        return;
    }
    if (r == 0 && !S_ISREG(st.st_mode)) {
        a = "501 Cannot RETR. Not a regular file";
        return;
    }
    a = "150 Opening data connection for " + p + ".";
    bool delayed = false;
    if (auto h = OnGetProcessing)
        h(this, c, delayed);
    c->dir_ = TFtpCtrlSocket::Dir::Send;
    c->transfer_ = true;
    if (!delayed)
        Post(kMsgStartSend, c);
}

void TFtpServer::StartSend(Client* c) {
    if (!c->transfer_)
        return;
    if (c->dir_ == TFtpCtrlSocket::Dir::Recv) {
        // A receive whose passive connection was already there.
        if (c->PassiveConnected)
            DataConnected(c, 0);
        return;
    }
    c->AbortingTransfer = false;
    c->AbortingReason = "Transfer Ok";
    c->sendEnded_ = false;
    c->halfClosed_ = false;
    if (c->PassiveMode) {
        if (c->PassiveConnected)
            DataConnected(c, 0);
        else
            c->PassiveStart = true;
    } else {
        ConnectActive(c);
    }
}

void TFtpServer::DataConnected(Client* c, int error) {
    if (!c->transfer_)
        return;
    TWSocket* d = c->data_.get();
    if (c->dir_ == TFtpCtrlSocket::Dir::Recv) {
        c->DataSessionActive = error == 0;
        c->ByteCount = 0;
        if (!c->AbortingTransfer)
            if (auto h = OnStorSessionConnected)
                h(this, c, d, error);
        if (error != 0) {
            c->AbortingTransfer = true;
            c->AbortingReason = "Client data socket connection error: " + std::to_string(error);
            Post(kMsgAbortData, c);
            return;
        }
        // Opened now, so that an empty upload still empties the file.
        if (!c->AbortingTransfer && !OpenForWrite(c)) {
            c->AbortingTransfer = true;
            Post(kMsgAbortData, c);
        }
        return;
    }
    c->DataSessionActive = error == 0;
    if (!c->AbortingTransfer)
        if (auto h = OnRetrSessionConnected)
            h(this, c, d, error);
    if (error != 0) {
        c->AbortingTransfer = true;
        c->AbortingReason = "Client data socket connection error: " + std::to_string(error);
        Post(kMsgAbortData, c);
        return;
    }
    if (!OpenForRead(c)) {
        c->AbortingTransfer = true;
        Post(kMsgAbortData, c);
        return;
    }
    c->ByteCount = 0;
    c->sending_ = true;
    SendNextBlock(c);
}

void TFtpServer::SendNextBlock(Client* c) {
    if (!c->transfer_ || !c->sending_ || c->AbortingTransfer || c->sendEnded_)
        return;
    std::size_t n = 0;
    const char* data = nullptr;
    if (c->fromMemory_) {
        n = std::min<std::size_t>(kDataBlock, c->memData_.size() - c->memPos_);
        data = c->memData_.data() + c->memPos_;
        c->memPos_ += n;
    } else if (c->fd_ >= 0) {
        const ssize_t r = ::read(c->fd_, c->block_.data(), c->block_.size());
        if (r < 0) {
            c->AbortingTransfer = true;
            c->AbortingReason = ErrorText(-errno);
            Post(kMsgAbortData, c);
            return;
        }
        n = std::size_t(r);
        data = c->block_.data();
    }
    if (n == 0) {
        c->sendEnded_ = true;
        Post(kMsgHalfClose, c);
        return;
    }
    c->ByteCount += std::int64_t(n);
    c->data_->Send(data, int(n));
}

void TFtpServer::DataSent(Client* c, int error) {
    // A socket reports room to write as soon as it connects: only a send
    // of ours that drained moves the transfer on.
    if (!c->transfer_ || !c->sending_ || c->dir_ != TFtpCtrlSocket::Dir::Send)
        return;
    if (!c->AbortingTransfer)
        if (auto h = OnRetrDataSent)
            h(this, c, c->data_.get(), error);
    if (error != 0) {
        c->AbortingTransfer = true;
        c->AbortingReason = "Send: error #" + std::to_string(error);
        Post(kMsgAbortData, c);
        return;
    }
    if (c->halfClosed_ || c->sendEnded_) {
        if (c->sendEnded_ && !c->halfClosed_)
            HalfClose(c);
        return;
    }
    SendNextBlock(c);
}

void TFtpServer::HalfClose(Client* c) {
    if (!c->transfer_ || c->halfClosed_)
        return;
    if (!c->data_->AllSent())
        return; // DataSent comes back here once the rest went out
    c->halfClosed_ = true;
    ReleasePasvPort(c);
    try {
        c->data_->Shutdown(1);
    } catch (...) {
    }
}

void TFtpServer::DataReadable(Client* c) {
    TWSocket* d = c->data_.get();
    const int n = d->Receive(c->block_.data(), int(c->block_.size()));
    if (n <= 0 || !c->transfer_ || c->dir_ != TFtpCtrlSocket::Dir::Recv || c->AbortingTransfer)
        return;
    if (auto h = OnStorDataAvailable)
        h(this, c, d, c->block_.data(), n, 0);
    if (c->fd_ < 0 && !c->FilePath.empty() && !OpenForWrite(c)) {
        c->AbortingTransfer = true;
        Post(kMsgAbortData, c);
        return;
    }
    c->ByteCount += n;
    const char* p = c->block_.data();
    std::size_t left = std::size_t(n);
    while (left > 0 && c->fd_ >= 0) {
        const ssize_t w = ::write(c->fd_, p, left);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            c->AbortingTransfer = true;
            c->AbortingReason = ErrorText(-errno);
            Post(kMsgAbortData, c);
            return;
        }
        p += w;
        left -= std::size_t(w);
    }
}

void TFtpServer::DataClosed(Client* c, int error) {
    if (!c->transfer_)
        return;
    // Bytes the peer sent before its close are still taken.
    if (c->dir_ == TFtpCtrlSocket::Dir::Recv && !c->AbortingTransfer && c->data_->State() == wsConnected)
        while (c->data_->RcvdCount() > 0 && !c->AbortingTransfer) {
            const long long before = c->ByteCount;
            DataReadable(c);
            if (c->ByteCount == before)
                break;
        }
    c->transfer_ = false;
    c->sending_ = false;
    const auto dir = c->dir_;
    c->dir_ = TFtpCtrlSocket::Dir::None;
    const bool ended = c->sendEnded_;
    ReleasePasvPort(c);
    c->DataSessionActive = c->PassiveStart = c->PassiveConnected = false;
    c->RestartPos = 0;
    c->DataPort = "ftp-data";
    CloseFile(c);
    if (c->data_->State() != wsClosed)
        c->data_->Close();
    if (c->AbortingTransfer && c->AbortingReason.empty())
        return;
    TWSocket* d = c->data_.get();
    if (dir == TFtpCtrlSocket::Dir::Recv) {
        if (auto h = OnStorSessionClosed)
            h(this, c, d, error);
        if (c->AbortingTransfer)
            SendAnswer(c, "426 Connection closed; " + c->AbortingReason + ".");
        else if (error != 0)
            SendAnswer(c, "426 Connection closed; transfer aborted. Error #" + std::to_string(error));
        else if (c->uniqueMode_)
            SendAnswer(c, "250 '" + c->FileName + "': file created.");
        else
            SendAnswer(c, "226 File received ok");
        return;
    }
    if (c->AbortingTransfer)
        SendAnswer(c, "501 Cannot RETR. " + c->AbortingReason);
    else if (error != 0)
        SendAnswer(c, "501 Cannot RETR. Error #" + std::to_string(error));
    else if (!ended)
        // The client went away before the end: that is no success.
        SendAnswer(c, "426 Connection closed; transfer aborted.");
    else
        SendAnswer(c, "226 File sent ok");
    if (auto h = OnRetrSessionClosed)
        h(this, c, d, error);
}

void TFtpServer::AbortData(Client* c) {
    Post(kMsgAbortData, c);
}

// ---- listings --------------------------------------------------------------

void TFtpServer::CmdList(Client* c, const std::string& p, std::string& a) {
    Listing(c, p, 0, a);
}
void TFtpServer::CmdNlst(Client* c, const std::string& p, std::string& a) {
    Listing(c, p, 1, a);
}
void TFtpServer::CmdMlsd(Client* c, const std::string& p, std::string& a) {
    Listing(c, p, 2, a);
}

void TFtpServer::Listing(Client* c, const std::string& params, int kind, std::string& a) {
    CloseFile(c);
    std::string rest = TrimBlanks(params);
    bool hidden = false;
    // Options in the style of ls ("-la", "-a"): an "a" shows hidden entries.
    if (!rest.empty() && rest[0] == '-') {
        const std::size_t end = rest.find_first_of(" \t");
        const std::string opts = rest.substr(0, end);
        hidden = opts.find_first_of("aA") != std::string::npos;
        rest = end == std::string::npos ? std::string() : TrimBlanks(rest.substr(end));
    }
    ServedRoot root(c->HomeDir);
    std::vector<FtpDirEntry> entries;
    std::string pattern; // the path searched, for " not found"
    int r = 0;
    if (rest.empty()) {
        pattern = c->Directory;
        r = root.List(c->Directory, hidden, entries);
    } else {
        std::string v;
        if (!Virtual(c, rest, v)) {
            a = "451 Failed: Invalid path.";
            return;
        }
        const char last = rest.back();
        const std::size_t slash = v.rfind('/');
        const std::string leaf = v.substr(slash + 1);
        if (last == '/' || last == '\\' || v == "/") {
            pattern = AsDirectory(v);
            r = root.List(v, hidden, entries);
        } else if (leaf.find_first_of("*?[") != std::string::npos) {
            const std::string parent = slash == 0 ? std::string("/") : v.substr(0, slash);
            pattern = v;
            std::vector<FtpDirEntry> all;
            r = root.List(parent, hidden, all);
            for (auto& e : all)
                if (::fnmatch(leaf.c_str(), e.name.c_str(), FNM_PERIOD) == 0)
                    entries.push_back(std::move(e));
        } else {
            pattern = v;
            FtpDirEntry e;
            r = root.Describe(v, leaf, e);
            if (r == 0)
                entries.push_back(std::move(e));
        }
    }
    if (EscapesRoot(r)) {
        a = "451 Failed: Permission denied.";
        return;
    }
    if (r != 0 && r != -ENOENT && r != -ENOTDIR) {
        a = "451 Failed: " + ErrorText(r) + ".";
        return;
    }
    std::tm now{};
    const std::time_t t = std::time(nullptr);
    localtime_r(&t, &now);
    std::string out;
    for (const FtpDirEntry& e : entries) {
        if (kind == 0)
            out += FormatListLine(e, now.tm_year + 1900);
        else if (kind == 1)
            out += e.name + "\r\n";
        else
            out += FormatFacts(e) + "\r\n";
    }
    if (out.empty())
        out = pattern + " not found\r\n";
    if (auto h = OnAlterDirectory)
        h(this, c, out, kind == 0);
    c->memData_ = std::move(out);
    c->memPos_ = 0;
    c->fromMemory_ = true;
    c->HasOpenedFile = true;
    c->FilePath.clear();
    c->dir_ = TFtpCtrlSocket::Dir::Send;
    c->transfer_ = true;
    a = "150 Opening data connection for directory list.";
    Post(kMsgStartSend, c);
}

void TFtpServer::CmdMlst(Client* c, const std::string& p, std::string& a) {
    std::string v;
    const std::string arg = TrimBlanks(p);
    if (!Virtual(c, arg, v)) {
        a = "550 '" + p + "': no such file or directory.";
        return;
    }
    FtpDirEntry e;
    const std::size_t slash = v.rfind('/');
    const std::string name = arg.empty() ? std::string(".") : v.substr(slash + 1);
    if (ServedRoot(c->HomeDir).Describe(v, name.empty() ? std::string("/") : name, e) != 0) {
        a = "550 '" + p + "': no such file or directory.";
        return;
    }
    a = "250-Listing " + p + "\r\n " + FormatFacts(e) + "\r\n250 END";
}

} // namespace qordex::ftp
