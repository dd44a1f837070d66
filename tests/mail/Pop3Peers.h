#pragma once
// POP3 peers for the tests: a small mailbox server of our own
// (pop3_mailbox.py, many connections, a message cut on request) and a real
// dovecot run in the foreground with its own configuration in a temporary
// folder (never the system's service).

#include "support/Process.h"
#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qordex::test {

struct MailboxMessage {
    std::string uidl;
    std::string data; // lines ended by CR LF
};

class MailboxServer {
public:
    explicit MailboxServer(const std::vector<MailboxMessage>& messages, int cutRetr = 0,
                           bool noTimestamp = false) {
        QJsonArray list;
        for (const MailboxMessage& m : messages)
            list.append(QJsonObject{{"uidl", Latin1(m.uidl)}, {"data", Latin1(m.data)}});
        QJsonObject box{{"user", "alice"}, {"password", "secret"}, {"messages", list}};
        if (cutRetr)
            box["cut_retr"] = cutRetr;
        if (noTimestamp)
            box["no_timestamp"] = true;
        const std::string path = dir_.filePath("mailbox.json").toStdString();
        std::ofstream(path) << QJsonDocument(box).toJson().toStdString();
        process_ = std::make_unique<Background>(std::vector<std::string>{
            "/usr/bin/python3", QORDEX_SOURCE_DIR "/tests/mail/pop3_mailbox.py", path});
        port_ = process_->FirstLineNumber(20000);
    }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // The commands it read ("C: ..." lines, "EOF" after each connection).
    // The client may be gone before the server notes its close, so this
    // waits a while for the last connection's "EOF".
    std::vector<std::string> Seen(int timeoutMs = 5000) {
        std::vector<std::string> lines;
        for (int waited = 0;; waited += 10) {
            lines = SplitLines(process_->Output());
            if (!lines.empty())
                lines.erase(lines.begin());
            if ((!lines.empty() && lines.back() == "EOF") || waited >= timeoutMs)
                return lines;
            ::usleep(10000);
        }
    }

private:
    static QString Latin1(const std::string& s) {
        return QString::fromLatin1(s.data(), qsizetype(s.size()));
    }
    QTemporaryDir dir_;
    std::unique_ptr<Background> process_;
    int port_ = 0;
};

// dovecot serving one Maildir over POP3 on loopback.  It runs as root only
// (it switches to "nobody" for the mail): Skip() then tells why not.
class Dovecot {
public:
    explicit Dovecot(const std::vector<std::string>& messages) {
        if (::geteuid() != 0) {
            skip_ = "dovecot needs root to serve a mailbox as another user";
            return;
        }
        if (!std::filesystem::exists("/usr/sbin/dovecot") ||
            !std::filesystem::exists("/usr/lib/dovecot/pop3")) {
            skip_ = "dovecot-pop3d is not installed (scripts/install-deps.sh installs it)";
            return;
        }
        const passwd* nobody = ::getpwnam("nobody");
        const group* nogroup = ::getgrnam("nogroup");
        if (!nobody || !nogroup) {
            skip_ = "no user nobody or group nogroup";
            return;
        }
        // The mail lies where nobody can reach it.
        ::chmod(root().c_str(), 0755);
        for (const char* d : {"base", "state", "mail", "mail/cur", "mail/new", "mail/tmp"})
            std::filesystem::create_directories(root() + "/" + d);
        int i = 0;
        for (const std::string& m : messages) {
            ++i;
            const std::string name = root() + "/mail/cur/" + std::to_string(1000 + i) + ".M" +
                                     std::to_string(i) + ".test:2,";
            std::ofstream(name, std::ios::binary) << m;
        }
        for (const auto& e : std::filesystem::recursive_directory_iterator(root() + "/mail"))
            (void)::chown(e.path().c_str(), nobody->pw_uid, nogroup->gr_gid);
        (void)::chown((root() + "/mail").c_str(), nobody->pw_uid, nogroup->gr_gid);
        std::ofstream(root() + "/passwd") << "alice:{PLAIN}secret pw\n";
        port_ = FreeTcpPort();
        std::ofstream(root() + "/dovecot.conf")
            << "base_dir = " << root() << "/base\n"
            << "state_dir = " << root() << "/state\n"
            << "log_path = " << root() << "/dovecot.log\n"
            << "protocols = pop3\n"
            << "listen = 127.0.0.1\n"
            << "ssl = no\n"
            << "disable_plaintext_auth = no\n"
            << "auth_mechanisms = plain login cram-md5 apop\n"
            << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << root()
            << "/passwd\n}\n"
            << "userdb {\n  driver = static\n  args = uid=nobody gid=nogroup\n}\n"
            << "mail_location = maildir:" << root() << "/mail\n"
            << "service pop3-login {\n  inet_listener pop3 {\n    port = " << port_ << "\n  }\n}\n";
        process_ = std::make_unique<Background>(
            std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c", root() + "/dovecot.conf"});
        if (!WaitForTcpPort(port_, 20000))
            skip_ = "dovecot did not start: " + Log();
    }
    ~Dovecot() {
        if (process_) {
            process_->Signal(SIGTERM);
            process_->Wait(10000);
        }
    }

    const std::string& Skip() const { return skip_; }
    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    std::string Log() const {
        std::ifstream in(root() + "/dovecot.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The messages left in the mailbox.
    std::size_t MessageCount() const {
        std::size_t n = 0;
        for (const char* d : {"/mail/cur", "/mail/new"})
            for (const auto& e : std::filesystem::directory_iterator(root() + d))
                n += e.is_regular_file();
        return n;
    }
    std::string root() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
    std::unique_ptr<Background> process_;
    std::string skip_;
    int port_ = 0;
};

} // namespace qordex::test
