#pragma once
// Real FTP servers for tests and benchmarks: vsftpd in the foreground with a
// configuration of its own (never the system's service), and pyftpdlib
// through Debian's Python.  Both listen on 127.0.0.1 only.

#include "support/Process.h"

#include <memory>
#include <string>

namespace qordex::test {

// vsftpd serving anonymous users from a folder of its own: the root is
// read-only for them, its "upload" folder belongs to the ftp user.
class VsftpdPeer {
public:
    // `root` is the folder to serve; empty makes one.  Needs root (vsftpd
    // changes its user and root folder) and the ftp user.
    explicit VsftpdPeer(const std::string& root = {});
    ~VsftpdPeer();
    VsftpdPeer(const VsftpdPeer&) = delete;
    VsftpdPeer& operator=(const VsftpdPeer&) = delete;

    bool Available() const { return available_; }
    const std::string& SkipReason() const { return reason_; }
    const std::string& Root() const { return root_; }
    // The folder anonymous users may write to, below Root().
    std::string UploadDir() const { return root_ + "/upload"; }
    int Port() const { return port_; }

private:
    std::string work_, root_;
    bool ownRoot_ = false;
    int port_ = 0;
    bool available_ = false;
    std::string reason_;
    std::unique_ptr<Background> proc_;
};

// pyftpdlib serving a folder to one user (and to anonymous users, read and
// write), optionally throttled to `bytesPerSecond` in both directions.
class PyftpdPeer {
public:
    PyftpdPeer(const std::string& root, const std::string& user, const std::string& password,
               long long bytesPerSecond = 0);
    bool Available() const { return port_ > 0; }
    const std::string& SkipReason() const { return reason_; }
    int Port() const { return port_; }
    Background& Process() { return *proc_; }

private:
    std::unique_ptr<Background> proc_;
    int port_ = 0;
    std::string reason_;
};

// Makes a file of `size` pseudo-random bytes (seeded) and returns its
// SHA-256 in hexadecimal, as Python computes it.
std::string MakeFile(const std::string& path, long long size, unsigned seed);
// The SHA-256 of a file, in hexadecimal; empty when it cannot be read.
std::string FileSha256(const std::string& path);

} // namespace qordex::test
