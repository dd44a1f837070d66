#pragma once
// aiosmtpd on loopback for the SMTP client's tests: every message it
// accepts is kept, and Python's email package reads it back.

#include "support/Process.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace qordex::test {

inline const std::string kPython = "/usr/bin/python3";

inline bool HaveAiosmtpd() {
    return Run({kPython, "-c", "import aiosmtpd"}).status == 0;
}

// aiosmtpd on loopback, keeping each message in a folder.
class Sink {
public:
    explicit Sink(const std::string& user = {}, const std::string& password = {}) {
        port_ = FreeTcpPort();
        std::vector<std::string> argv = {kPython, QORDEX_SOURCE_DIR "/tests/mail/smtp_sink.py",
                                         std::to_string(port_), dir_.path().toStdString()};
        if (!user.empty()) {
            argv.push_back(user);
            argv.push_back(password);
        }
        process_ = std::make_unique<Background>(argv);
        ready_ = WaitForOutput(*process_, "READY", 20000);
    }
    bool Ready() const { return ready_; }
    std::string Port() const { return std::to_string(port_); }
    int Count() const { return int(QDir(dir_.path()).entryList({"*.eml"}).size()); }
    QJsonObject Envelope(int n) const { return ReadJson(Path(n, ".json")); }
    // What a mail reader makes of message n (from 1).
    QJsonObject Read(int n) const {
        const CommandResult r =
            Run({kPython, QORDEX_SOURCE_DIR "/tests/mail/read_mail.py", Path(n, ".eml")});
        EXPECT_EQ(r.status, 0) << r.err;
        return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    }
    std::string Raw(int n) const {
        std::ifstream in(Path(n, ".eml"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string Path(int n, const char* ext) const {
        return dir_.filePath(QString::number(n) + ext).toStdString();
    }
    static QJsonObject ReadJson(const std::string& path) {
        std::ifstream in(path);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
    }

    QTemporaryDir dir_;
    int port_ = 0;
    std::unique_ptr<Background> process_;
    bool ready_ = false;
};

inline std::string Str(const QJsonValue& v) {
    return v.toString().toStdString();
}

inline std::vector<std::string> Strings(const QJsonValue& v) {
    std::vector<std::string> out;
    for (const QJsonValue& e : v.toArray())
        out.push_back(Str(e));
    return out;
}

} // namespace qordex::test
