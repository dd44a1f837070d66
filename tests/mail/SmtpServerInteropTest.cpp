// qordex-cli smtp-server against real SMTP clients (Python's smtplib, swaks,
// curl), with every stored file parsed back by Python's email package: one
// file per message, none overwritten, each holding what the client sent.

#include "support/Process.h"
#include "support/TestData.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex::test;

namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kPeer = QORDEX_SOURCE_DIR "/tests/mail/smtp_server_peer.py";

// The highest resident memory of a process so far, in kilobytes.
long PeakKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == "VmHWM:") {
            in >> value;
            break;
        }
        in.ignore(1 << 20, '\n');
    }
    return value;
}

class SmtpServerInterop : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    std::string dir;
    std::string port;
    std::unique_ptr<Background> server;

    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        dir = tmp.path().toStdString() + "/mail";
        port = std::to_string(FreeTcpPort());
        server = std::make_unique<Background>(std::vector<std::string>{
            BinPath("qordex-cli"), "smtp-server", "--addr", "127.0.0.1", "--port", port, "--dir",
            dir});
        ASSERT_TRUE(WaitForOutput(*server, "Server started", 20000)) << server->Output();
    }
    void TearDown() override {
        if (server && server->Running()) {
            server->Signal(SIGINT);
            EXPECT_EQ(server->Wait(20000), 0);
            EXPECT_NE(server->Output().find("Server closed."), std::string::npos);
        }
    }
    CommandResult Peer(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kPython, kPeer};
        argv.insert(argv.end(), args.begin(), args.end());
        return qordex::test::Run(argv, {}, 300000);
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = tmp.filePath(QString::fromStdString(name)).toStdString();
        EXPECT_TRUE(WriteFile(path, bytes));
        return path;
    }
    int Files() { return int(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size()); }
};

} // namespace

TEST_F(SmtpServerInterop, SmtplibMessagesWithDotsAndReset) {
    const CommandResult r = Peer({"smtplib", port, dir});
    EXPECT_EQ(r.status, 0) << r.out << r.err << server->Output();
    EXPECT_EQ(r.out, "ok\n");
}

TEST_F(SmtpServerInterop, ManyClientsAtOnce) {
    const CommandResult r = Peer({"many", port, dir, "40"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "ok\n");
}

TEST_F(SmtpServerInterop, Swaks) {
    if (!HasProgram("swaks"))
        GTEST_SKIP() << "swaks is not installed (scripts/install-deps.sh)";
    const std::string body = "hello from swaks\n.leading dot\n";
    const std::string bodyFile = Write("body.txt", body);
    const CommandResult r =
        qordex::test::Run({"swaks", "--server", "127.0.0.1:" + port, "--to", "a@b.c", "--from", "s@w.k",
             "--header", "Subject: swaks check", "--body", bodyFile},
            {}, 120000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const CommandResult check = Peer({"check", dir, "swaks check", bodyFile});
    EXPECT_EQ(check.out, "ok\n") << check.err;
    const auto names = QDir(QString::fromStdString(dir)).entryList(QDir::Files);
    ASSERT_EQ(names.size(), 1);
    EXPECT_TRUE(names[0].startsWith(QStringLiteral("a@b.c-")));
}

TEST_F(SmtpServerInterop, CurlUpload) {
    if (!HasProgram("curl"))
        GTEST_SKIP() << "curl is not installed";
    const std::string body = "sent by curl\n..two dots\n";
    const std::string bodyFile = Write("body.txt", body);
    const std::string mail = Write("mail.txt", "Subject: curl check\n\n" + body);
    const CommandResult r =
        qordex::test::Run({"curl", "-sS", "smtp://127.0.0.1:" + port, "--mail-from", "c@u.rl", "--mail-rcpt",
             "dest@x.test", "-T", mail},
            {}, 120000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const CommandResult check = Peer({"check", dir, "curl check", bodyFile});
    EXPECT_EQ(check.out, "ok\n") << check.err;
}

TEST_F(SmtpServerInterop, HugeMessageIsStoredInBoundedMemory) {
    constexpr int kMegabytes = 48;
    const CommandResult r = Peer({"huge", port, std::to_string(kMegabytes)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const long peak = PeakKb(server->Pid());
    ASSERT_GT(peak, 0);
    // The message streams to its file: the server's memory stays far below
    // the message's size.  Under AddressSanitizer the peak is its shadow
    // memory and quarantine, so only the stored file is checked there.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peak, 40 * 1024) << "peak resident " << peak << " kB";
#endif
    const auto names = QDir(QString::fromStdString(dir)).entryList(QDir::Files);
    ASSERT_EQ(names.size(), 1);
    // The subject line, the blank line and kMegabytes times 1024 lines of 1000 bytes.
    EXPECT_EQ(QFileInfo(QDir(QString::fromStdString(dir)).filePath(names[0])).size(),
              17 + qint64(kMegabytes) * 1024 * 1000);
}
