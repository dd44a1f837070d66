#include "support/FtpPeers.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qordex::test {
namespace {

std::string MakeTempDir(const char* stem) {
    std::string tmpl = std::string("/tmp/") + stem + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return {};
    return buf.data();
}

void RemoveTree(const std::string& dir) {
    if (!dir.empty() && dir.rfind("/tmp/", 0) == 0)
        Run({"rm", "-rf", "--", dir});
}

} // namespace

VsftpdPeer::VsftpdPeer(const std::string& root) {
    if (::geteuid() != 0) {
        reason_ = "vsftpd needs root to change its user and root folder";
        return;
    }
    if (!HasProgram("vsftpd") && ::access("/usr/sbin/vsftpd", X_OK) != 0) {
        reason_ = "vsftpd is not installed (scripts/install-deps.sh installs it)";
        return;
    }
    const passwd* ftp = ::getpwnam("ftp");
    if (!ftp) {
        reason_ = "there is no ftp user for vsftpd's anonymous sessions";
        return;
    }
    work_ = MakeTempDir("qordex-vsftpd");
    if (work_.empty()) {
        reason_ = "cannot make a work folder";
        return;
    }
    ::chmod(work_.c_str(), 0755);
    ownRoot_ = root.empty();
    root_ = ownRoot_ ? work_ + "/root" : root;
    const std::string empty = work_ + "/empty";
    ::mkdir(root_.c_str(), 0755);
    ::chmod(root_.c_str(), 0755);
    ::mkdir(empty.c_str(), 0755);
    ::mkdir(UploadDir().c_str(), 0755);
    if (::chown(UploadDir().c_str(), ftp->pw_uid, ftp->pw_gid) != 0) {
        reason_ = "cannot hand the upload folder to the ftp user";
        return;
    }
    port_ = FreeTcpPort();
    const int pasv = 20000 + (::getpid() % 2000) * 20;
    const std::string conf = work_ + "/vsftpd.conf";
    std::ofstream(conf) << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                        << "listen_port=" << port_ << "\n"
                        << "background=NO\nseccomp_sandbox=NO\n"
                        << "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
                        << "anon_root=" << root_ << "\n"
                        << "write_enable=YES\nanon_upload_enable=YES\n"
                        << "anon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
                        << "anon_umask=022\n"
                        << "pasv_enable=YES\npasv_min_port=" << pasv << "\n"
                        << "pasv_max_port=" << pasv + 19 << "\n"
                        << "port_enable=YES\nconnect_from_port_20=NO\n"
                        << "secure_chroot_dir=" << empty << "\n"
                        << "xferlog_enable=NO\nsyslog_enable=NO\ndual_log_enable=NO\n"
                        << "vsftpd_log_file=/dev/null\n"
                        << "idle_session_timeout=120\ndata_connection_timeout=120\n"
                        << "max_per_ip=0\nmax_clients=0\n";
    proc_ = std::make_unique<Background>(std::vector<std::string>{"/usr/sbin/vsftpd", conf});
    if (!WaitForTcpPort(port_, 10000)) {
        reason_ = "vsftpd did not start on port " + std::to_string(port_);
        return;
    }
    available_ = true;
}

VsftpdPeer::~VsftpdPeer() {
    proc_.reset();
    // A root given by the caller lies outside the work folder and stays.
    RemoveTree(work_);
}

PyftpdPeer::PyftpdPeer(const std::string& root, const std::string& user,
                       const std::string& password, long long bytesPerSecond) {
    if (::access("/usr/bin/python3", X_OK) != 0 ||
        Run({"/usr/bin/python3", "-c", "import pyftpdlib"}).status != 0) {
        reason_ = "python3-pyftpdlib is not installed (scripts/install-deps.sh installs it)";
        return;
    }
    proc_ = std::make_unique<Background>(std::vector<std::string>{
        "/usr/bin/python3", std::string(QORDEX_SOURCE_DIR) + "/tests/ftp/pyftpd_peer.py", root,
        user, password, std::to_string(bytesPerSecond)});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && proc_->Running()) {
        const std::string out = proc_->Output();
        const std::size_t at = out.find("PORT ");
        if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
            port_ = std::atoi(out.c_str() + at + 5);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reason_ = "pyftpdlib did not start";
}

std::string MakeFile(const std::string& path, long long size, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> block(8192);
    for (long long left = size; left > 0;) {
        for (auto& w : block)
            w = gen();
        const long long n = std::min<long long>(left, static_cast<long long>(block.size() * 8));
        out.write(reinterpret_cast<const char*>(block.data()), n);
        left -= n;
    }
    out.close();
    return FileSha256(path);
}

std::string FileSha256(const std::string& path) {
    const auto r = Run({"sha256sum", "--", path});
    if (r.status != 0 || r.out.size() < 64)
        return {};
    return r.out.substr(0, 64);
}

} // namespace qordex::test
