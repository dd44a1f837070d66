#pragma once
// The scripted FTP server (scripted_ftp.py) seen from a test: a script is
// built step by step, the server runs it on one control connection, and
// its transcript tells every command and data byte the client sent.

#include "ftp/FtpCli.h"
#include "platform/MessageLoop.h"
#include "support/Process.h"
#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qordex::test {

class FtpScript {
public:
    FtpScript& Send(const std::string& text, std::vector<int> chunks = {}) {
        QJsonObject o{{"send", Latin1(text)}};
        QJsonArray c;
        for (int n : chunks)
            c.append(n);
        if (!chunks.empty())
            o["chunks"] = c;
        return Add(o);
    }
    FtpScript& Expect(const std::string& cmd) { return Add({{"expect", Latin1(cmd)}}); }
    // Expects the command and answers it with one line.
    FtpScript& Reply(const std::string& cmd, const std::string& reply) {
        Expect(cmd);
        return Send(reply + "\r\n");
    }
    FtpScript& Login() {
        Send("220 scripted ready\r\n");
        Reply("USER anonymous", "331 send password");
        return Reply("PASS guest", "230 logged in");
    }
    FtpScript& Pasv(const std::string& host = "127,0,0,1") {
        Expect("PASV");
        return Add({{"pasv", QString::fromStdString(host)}});
    }
    FtpScript& PasvRaw(const std::string& text) {
        Expect("PASV");
        return Add({{"pasv_raw", Latin1(text)}});
    }
    FtpScript& Accept(double timeout = 10) { return Add({{"accept", true}, {"timeout", timeout}}); }
    FtpScript& Connect(const std::string& from = {}) {
        QJsonObject o{{"connect", true}};
        if (!from.empty())
            o["from"] = QString::fromStdString(from);
        return Add(o);
    }
    FtpScript& DataSend(const std::string& text, int repeat = 1) {
        return Add({{"data_send", Latin1(text)}, {"repeat", repeat}});
    }
    FtpScript& DataClose() { return Add({{"data_close", true}}); }
    FtpScript& DataRecv() { return Add({{"data_recv", true}}); }
    FtpScript& WaitEof(double seconds = 5) { return Add({{"wait_eof", seconds}}); }
    FtpScript& Close() { return Add({{"close", true}}); }
    FtpScript& Silence() { return Add({{"silence", true}}); }

    std::string Json() const { return QJsonDocument(steps_).toJson().toStdString(); }

private:
    static QString Latin1(const std::string& s) {
        return QString::fromLatin1(s.data(), qsizetype(s.size()));
    }
    FtpScript& Add(const QJsonObject& o) {
        steps_.append(o);
        return *this;
    }
    QJsonArray steps_;
};

class ScriptedFtpServer {
public:
    // Listens on 127.0.0.1 and a free port unless told an address and port;
    // BindFailed() tells when those were not to be had.
    explicit ScriptedFtpServer(const FtpScript& script, const std::string& addr = {},
                               const std::string& port = {}) {
        const std::string path = dir_.filePath(QStringLiteral("script.json")).toStdString();
        std::ofstream(path) << script.Json();
        std::vector<std::string> argv{
            "/usr/bin/python3", std::string(QORDEX_SOURCE_DIR) + "/tests/ftp/scripted_ftp.py",
            path};
        if (!addr.empty()) {
            argv.push_back(addr);
            argv.push_back(port.empty() ? "0" : port);
        }
        proc_ = std::make_unique<Background>(argv);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string out = proc_->Output();
            const std::size_t at = out.find("PORT ");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                port_ = std::stoi(out.substr(at + 5));
                return;
            }
            if (out.find("BIND FAILED") != std::string::npos) {
                bindFailed_ = out;
                return;
            }
            if (!proc_->Running())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the scripted server did not start: " << proc_->Output();
    }
    std::string Port() const { return std::to_string(port_); }
    // Why the asked-for address could not be bound, or empty.
    const std::string& BindFailed() const { return bindFailed_; }
    // What the server received, once it has finished its script.
    std::vector<std::string> Transcript(int timeoutMs = 10000) {
        proc_->Wait(timeoutMs);
        std::vector<std::string> lines;
        for (const std::string& l : SplitLines(proc_->Output()))
            if (l.rfind("PORT ", 0) != 0)
                lines.push_back(l);
        return lines;
    }
    Background& Process() { return *proc_; }

private:
    QTemporaryDir dir_;
    std::unique_ptr<Background> proc_;
    int port_ = 0;
    std::string bindFailed_;
};

// A client pointed at a local server, recording what it shows and how its
// requests end.
struct FtpClientProbe {
    ftp::TFtpClient client;
    std::vector<std::string> display;
    std::vector<std::pair<ftp::TFtpRequest, int>> done;

    explicit FtpClientProbe(const std::string& port) {
        client.SetHostName("127.0.0.1");
        client.SetPort(port);
        client.SetUserName("anonymous");
        client.SetPassWord("guest");
        client.SetTimeout(10);
        client.OnDisplay = [this](ftp::TCustomFtpCli*, std::string& m) { display.push_back(m); };
        client.OnRequestDone = [this](ftp::TCustomFtpCli*, ftp::TFtpRequest rq, std::uint16_t e) {
            done.emplace_back(rq, e);
        };
    }
    // The remote and local file of a transfer, and its mode.
    void Files(const std::string& remote, const std::string& local, bool passive = true) {
        client.SetPassive(passive);
        client.SetHostFileName(remote);
        client.SetLocalFileName(local);
    }
    // Runs an asynchronous operation and waits for its OnRequestDone.
    int Run(void (ftp::TCustomFtpCli::*op)(), int timeoutMs = 15000) {
        const std::size_t before = done.size();
        (client.*op)();
        if (!PumpUntil([&] { return done.size() > before; }, timeoutMs))
            return -1;
        return done.back().second;
    }
    bool Shown(const std::string& text) const {
        for (const std::string& l : display)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
};

} // namespace qordex::test
