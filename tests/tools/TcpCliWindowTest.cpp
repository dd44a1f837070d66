// The TCP/UDP client window driven through its controls: against socat
// echo servers (TCP and UDP), through microsocks with and without
// authentication, against our own socket server for byte-exact checks, and
// the edge cases of its rules (empty port, "NO" line end, frame lines,
// multiline sends, Send while disconnected, refusals and Abort).

#include "net/WSocketServer.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "shell/ProxyPanel.h"
#include "support/Palettes.h"
#include "support/Process.h"
#include "tools/SocatEcho.h"
#include "tools/ui/TCPcliUnit.h"
#include "support/Widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::tools;
using namespace qordex::test;
using qordex::shell::TMemo;

namespace {

// Our own server on loopback, keeping what each client sent, read by read.
struct OwnServer {
    TWSocketServer server;
    std::vector<std::string> reads;
    TWSocketClient* client = nullptr;
    explicit OwnServer(const std::string& banner = "") {
        server.SetAddr("127.0.0.1");
        server.SetPort("0");
        server.SetBanner(banner);
        server.OnClientConnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
            client = c;
            c->OnDataAvailable = [this](TCustomWSocket* s, std::uint16_t) {
                char buf[65536];
                int n = s->Receive(buf, sizeof buf);
                if (n > 0)
                    reads.emplace_back(buf, std::size_t(n));
            };
        };
        server.OnClientDisconnect = [this](TCustomWSocket*, TWSocketClient* c, std::uint16_t) {
            if (c == client)
                client = nullptr;
        };
        server.Listen();
    }
    std::string Port() { return server.GetBoundPort(); }
    std::string All() const {
        std::string s;
        for (const auto& r : reads)
            s += r;
        return s;
    }
};

class ClientWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm13;
        form->show();
        memo1 = Find<TMemo>(form, "Memo1");
        memo2 = Find<TMemo>(form, "Memo2");
        server = Find<QLineEdit>(form, "ServerEdit");
        port = Find<QLineEdit>(form, "PortEdit");
        tcp = Find<QRadioButton>(form, "ProtTCP");
        udp = Find<QRadioButton>(form, "ProtUDP");
        lineEnd = Find<QComboBox>(form, "LineEndBox");
        connectBt = Find<QPushButton>(form, "ConnectBt");
        abortBt = Find<QToolButton>(form, "AbortBt");
        sendMemo = Find<QPlainTextEdit>(form, "SendMemo");
        multiline = Find<QCheckBox>(form, "MultilineCheck");
        sendBt = Find<QPushButton>(form, "SendBt");
        numeric = Find<QCheckBox>(form, "NumericBox");
        text = Find<QCheckBox>(form, "TextCheck");
        panel = Find<shell::TProxyPanel>(form, "ProxyPanel");
        ASSERT_TRUE(memo1 && memo2 && server && port && tcp && udp && lineEnd && connectBt &&
                    abortBt && sendMemo && multiline && sendBt && numeric && text && panel);
    }
    void TearDown() override { delete form.data(); }

    // Connects to 127.0.0.1:p and waits until the attempt has ended.
    void Connect(const std::string& p) {
        server->setText("127.0.0.1");
        port->setText(QString::fromStdString(p));
        QTest::mouseClick(connectBt, Qt::LeftButton);
        PumpUntil([&] { return connectBt->isEnabled(); }, 20000);
    }
    bool WaitStatus(const QString& line) {
        return PumpUntil([&] { return memo2->Lines().contains(line); }, 20000);
    }
    bool WaitReceived(int lines) {
        return PumpUntil([&] { return memo1->Lines().size() >= lines; }, 20000);
    }
    void Type(const QString& message) {
        sendMemo->setFocus();
        QTest::keyClicks(sendMemo, message);
        QTest::keyClick(sendMemo, Qt::Key_Return);
    }
    void Disconnect() {
        QTest::mouseClick(connectBt, Qt::LeftButton);
        EXPECT_TRUE(WaitStatus("Disconnected"));
    }

    QPointer<TForm13> form;
    TMemo *memo1 = nullptr, *memo2 = nullptr;
    QLineEdit *server = nullptr, *port = nullptr;
    QRadioButton *tcp = nullptr, *udp = nullptr;
    QComboBox* lineEnd = nullptr;
    QPushButton *connectBt = nullptr, *sendBt = nullptr;
    QToolButton* abortBt = nullptr;
    QPlainTextEdit* sendMemo = nullptr;
    QCheckBox *multiline = nullptr, *numeric = nullptr, *text = nullptr;
    shell::TProxyPanel* panel = nullptr;
};

} // namespace

TEST_F(ClientWindow, StartsWithTheDefaultsOfItsControls) {
    EXPECT_EQ(form->windowTitle(), "TCP/UDP client");
    EXPECT_EQ(form->size(), QSize(574, 454));
    EXPECT_EQ(server->text(), "localhost");
    EXPECT_EQ(port->text(), "");
    EXPECT_TRUE(tcp->isChecked());
    EXPECT_EQ(tcp->text(), "TCP");
    EXPECT_EQ(udp->text(), "UDP");
    QStringList items;
    for (int i = 0; i < lineEnd->count(); ++i)
        items << lineEnd->itemText(i);
    EXPECT_EQ(items, (QStringList{"LF (10)", "CR (13)", "LF CR (10 13)", "CR LF (13 10)", "NO"}));
    EXPECT_EQ(lineEnd->currentText(), "CR LF (13 10)");
    EXPECT_EQ(connectBt->text(), "Connect");
    EXPECT_EQ(form->ConnectTag(), 0);
    EXPECT_FALSE(abortBt->isEnabled());
    EXPECT_EQ(abortBt->toolTip(), "Abort");
    EXPECT_EQ(sendBt->text(), "Send");
    EXPECT_FALSE(sendBt->isEnabled());
    EXPECT_EQ(numeric->text(), "Show frame binary data");
    EXPECT_FALSE(numeric->isChecked());
    EXPECT_EQ(text->text(), "Force text mode");
    EXPECT_TRUE(text->isChecked());
    EXPECT_EQ(multiline->text(), "multiline");
    EXPECT_FALSE(multiline->isChecked());
    EXPECT_EQ(sendMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_FALSE(panel->isVisible());
    auto* proxyBt = Find<QToolButton>(form, "ProxyBt");
    EXPECT_EQ(proxyBt->text(), "PROXY");
    EXPECT_EQ(proxyBt->toolTip(), "Proxy configuration");
    QStringList labels;
    for (QLabel* l : form->findChildren<QLabel*>())
        labels << l->text();
    for (const char* l :
         {"Status / Data sent", "Data received", "Server", "Port", "Line end", "Message",
          "Proxy Socks5 Configuration", "Address", "UserCode", "Password"})
        EXPECT_TRUE(labels.contains(l)) << l;
    EXPECT_EQ(panel->PEnableCheck->text(), "Use Proxy");
    EXPECT_EQ(panel->PAuthCheck->text(), "Authenticate");
    EXPECT_EQ(panel->PPassEdit->echoMode(), QLineEdit::Password);
    QTest::mouseClick(proxyBt, Qt::LeftButton);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(form->focusWidget(), panel->PEnableCheck);
    QTest::mouseClick(proxyBt, Qt::LeftButton);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(ClientWindow, AnEmptyPortOrServerDoesNothingAtAll) {
    QTest::mouseClick(connectBt, Qt::LeftButton);
    server->clear();
    port->setText("7");
    QTest::mouseClick(connectBt, Qt::LeftButton);
    EXPECT_TRUE(memo2->Lines().isEmpty());
    EXPECT_TRUE(connectBt->isEnabled());
    EXPECT_FALSE(abortBt->isEnabled());
    EXPECT_EQ(form->Tool().Socket().State(), wsClosed);
}

TEST_F(ClientWindow, TalksToASocatEchoServerOverTcp) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatEcho echo(false);
    Connect(echo.Port());
    ASSERT_EQ(form->ConnectTag(), 1) << memo2->Lines().join("|").toStdString();
    const QString local = QString::fromStdString(form->Tool().Socket().GetBoundPort());
    EXPECT_EQ(memo2->Lines(), (QStringList{"Connecting...", "Connected, local port: " + local}));
    EXPECT_EQ(connectBt->text(), "Disconnect");
    EXPECT_TRUE(sendBt->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{tcp, udp, lineEnd, server, port})
        EXPECT_FALSE(w->isEnabled());

    Type("hello");
    ASSERT_TRUE(WaitReceived(1));
    EXPECT_EQ(memo1->Lines(), QStringList{"hello"});
    EXPECT_EQ(memo2->Lines().last(), "hello");
    EXPECT_TRUE(sendMemo->toPlainText().isEmpty());
    EXPECT_EQ(form->focusWidget(), sendMemo);

    Disconnect();
    EXPECT_EQ(connectBt->text(), "Connect");
    EXPECT_EQ(form->ConnectTag(), 0);
    EXPECT_FALSE(sendBt->isEnabled());
    EXPECT_FALSE(abortBt->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{tcp, udp, lineEnd, server, port})
        EXPECT_TRUE(w->isEnabled());
}

TEST_F(ClientWindow, TalksToASocatEchoServerOverUdp) {
    if (!HasProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatEcho echo(true);
    udp->setChecked(true);
    Connect(echo.Port());
    ASSERT_EQ(form->ConnectTag(), 1) << memo2->Lines().join("|").toStdString();
    EXPECT_TRUE(memo2->Lines().last().startsWith("Connected, local port: "));
    EXPECT_NE(memo2->Lines().last(), "Connected, local port: 0");
    Type("ping over udp");
    ASSERT_TRUE(WaitReceived(1));
    EXPECT_EQ(memo1->Lines(), QStringList{"ping over udp"});
}

TEST_F(ClientWindow, MultilineSendsOneBlockAndShowsEachLine) {
    OwnServer own;
    Connect(own.Port());
    ASSERT_EQ(form->ConnectTag(), 1);
    QTest::mouseClick(multiline, Qt::LeftButton, {}, QPoint(6, multiline->height() / 2));
    ASSERT_TRUE(multiline->isChecked());
    EXPECT_EQ(sendMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form->focusWidget(), sendMemo);
    // Enter now breaks the line instead of sending.
    QTest::keyClicks(sendMemo, "a");
    QTest::keyClick(sendMemo, Qt::Key_Return);
    QTest::keyClicks(sendMemo, "b");
    EXPECT_TRUE(own.reads.empty());
    QTest::mouseClick(sendBt, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return own.All().size() >= 6; }, 10000));
    EXPECT_EQ(own.reads, std::vector<std::string>{"a\r\nb\r\n"});
    EXPECT_EQ(memo2->Lines().mid(memo2->Lines().size() - 2), (QStringList{"a", "b"}));
}

TEST_F(ClientWindow, LineEndNoSendsBareAndShowsBlocksAsTheyCome) {
    OwnServer own;
    lineEnd->setCurrentText("NO");
    Connect(own.Port());
    ASSERT_EQ(form->ConnectTag(), 1);
    ASSERT_TRUE(PumpUntil([&] { return own.client != nullptr; }, 10000));
    Type("abc");
    ASSERT_TRUE(PumpUntil([&] { return own.All().size() >= 3; }, 10000));
    EXPECT_EQ(own.All(), "abc");
    // A long block and then a shorter one: the second shows only its own
    // bytes, nothing of the first.
    own.client->SendText("a much longer block");
    ASSERT_TRUE(WaitReceived(1));
    own.client->SendText("xy");
    ASSERT_TRUE(WaitReceived(2));
    EXPECT_EQ(memo1->Lines(), (QStringList{"a much longer block", "xy"}));
}

TEST_F(ClientWindow, FrameLinesShowTheBytesAndTheTextStopsAtZero) {
    OwnServer own;
    lineEnd->setCurrentText("NO");
    QTest::mouseClick(numeric, Qt::LeftButton, {}, QPoint(6, numeric->height() / 2));
    Connect(own.Port());
    ASSERT_TRUE(PumpUntil([&] { return own.client != nullptr; }, 10000));
    own.client->Send(std::string("\0\x01"
                                 "A",
                                 3));
    ASSERT_TRUE(WaitReceived(1));
    own.client->SendText("ok\r\n");
    ASSERT_TRUE(WaitReceived(3));
    EXPECT_EQ(memo1->Lines(), (QStringList{" 0 1 41", " 6F 6B D A", "ok"}));
}

TEST_F(ClientWindow, AnOverlongLineIsDroppedSilently) {
    OwnServer own;
    Connect(own.Port());
    ASSERT_TRUE(PumpUntil([&] { return own.client != nullptr; }, 10000));
    own.client->SendText(std::string(70000, 'x'));
    // Only bytes held without a terminator count: the window must have
    // taken in all of them before the terminator follows.
    ASSERT_TRUE(PumpUntil(
        [&] {
            int queued = 1, waiting = 1;
            ::ioctl(own.client->HSocket(), SIOCOUTQ, &queued);
            ::ioctl(form->Tool().Socket().HSocket(), FIONREAD, &waiting);
            return own.client->AllSent() && queued == 0 && waiting == 0;
        },
        20000));
    own.client->SendText("\r\nok\r\n");
    ASSERT_TRUE(PumpUntil([&] { return memo1->Lines().contains("ok"); }, 20000));
    int shown = 0;
    for (const QString& line : memo1->Lines())
        shown += int(line.count(QLatin1Char('x')));
    EXPECT_LT(shown, 70000 - 65536);
    EXPECT_EQ(form->ConnectTag(), 1);
}

TEST_F(ClientWindow, GreetingOfOurOwnServerAndItsBusyRefusal) {
    OwnServer own("Welcome to TcpSrv");
    own.server.SetMaxClients(1);
    Connect(own.Port());
    ASSERT_TRUE(WaitReceived(1));
    EXPECT_EQ(memo1->Lines(), QStringList{"Welcome to TcpSrv"});
    // A second window is over the limit: it reads the whole refusal, then
    // the server's close.
    TForm13 second;
    second.show();
    Find<QLineEdit>(&second, "ServerEdit")->setText("127.0.0.1");
    Find<QLineEdit>(&second, "PortEdit")->setText(QString::fromStdString(own.Port()));
    second.ConnectBtClick();
    TMemo* status = Find<TMemo>(&second, "Memo2");
    TMemo* data = Find<TMemo>(&second, "Memo1");
    ASSERT_TRUE(PumpUntil([&] { return status->Lines().contains("Disconnected"); }, 20000));
    EXPECT_EQ(data->Lines(), QStringList{"Sorry, too many clients"});
}

TEST_F(ClientWindow, SendWhileDisconnectedOnlyEmptiesTheMessage) {
    sendMemo->setPlainText("nobody listens");
    form->SendBtClick();
    EXPECT_TRUE(sendMemo->toPlainText().isEmpty());
    EXPECT_TRUE(memo2->Lines().isEmpty());
}

TEST_F(ClientWindow, RefusalsAndErrorsResetTheWindow) {
    const int closed = FreeTcpPort();
    Connect(std::to_string(closed));
    EXPECT_TRUE(WaitStatus("Disconnected"));
    EXPECT_EQ(memo2->Lines(),
              (QStringList{"Connecting...", "Can't connect, error #10061", "Disconnected"}));
    EXPECT_TRUE(connectBt->isEnabled());
    EXPECT_EQ(connectBt->text(), "Connect");
    EXPECT_FALSE(abortBt->isEnabled());

    // A port that is no number nor service ends in "Connection error".
    memo2->Clear();
    Connect("no-such-service-here");
    EXPECT_EQ(memo2->Lines(), (QStringList{"Connecting...", "Connection error"}));
    EXPECT_TRUE(connectBt->isEnabled());
    EXPECT_EQ(form->ConnectTag(), 0);
}

TEST_F(ClientWindow, AbortWhileConnectedAndWhileTheProxyIsSilent) {
    OwnServer own;
    Connect(own.Port());
    ASSERT_EQ(form->ConnectTag(), 1);
    memo2->Clear();
    QTest::mouseClick(abortBt, Qt::LeftButton);
    EXPECT_EQ(memo2->Lines(), (QStringList{"Disconnected", "Aborted"}));
    EXPECT_TRUE(connectBt->isEnabled());
    EXPECT_FALSE(abortBt->isEnabled());

    // A proxy that accepts and never answers: Abort is the way out.
    int deaf = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(deaf, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(deaf, 4), 0);
    ::getsockname(deaf, reinterpret_cast<sockaddr*>(&sa), &len);
    panel->PEnableCheck->setChecked(true);
    panel->PAddressEdit->setText("127.0.0.1");
    panel->PPortEdit->setText(QString::number(ntohs(sa.sin_port)));
    memo2->Clear();
    Connect(own.Port());
    EXPECT_FALSE(connectBt->isEnabled());
    EXPECT_TRUE(abortBt->isEnabled());
    QTest::mouseClick(abortBt, Qt::LeftButton);
    EXPECT_EQ(memo2->Lines(), (QStringList{"Connecting...", "Disconnected", "Aborted"}));
    EXPECT_TRUE(connectBt->isEnabled());
    ::close(deaf);
}

TEST_F(ClientWindow, ThroughMicrosocksWithAndWithoutAuthentication) {
    if (!HasProgram("microsocks") || !HasProgram("socat"))
        GTEST_SKIP() << "microsocks or socat is not installed";
    SocatEcho echo(false);
    struct Case {
        const char* name;
        bool proxyWantsAuth;
        bool authenticate;
        const char* password;
        bool works;
    };
    const Case cases[] = {
        {"open proxy", false, false, "", true},
        {"user and password", true, true, "s3cret", true},
        {"wrong password", true, true, "guess", false},
        {"no credentials", true, false, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int proxyPort = FreeTcpPort();
        std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p",
                                         std::to_string(proxyPort)};
        if (c.proxyWantsAuth)
            argv.insert(argv.end(), {"-u", "alice", "-P", "s3cret"});
        Background proxy(argv);
        ASSERT_TRUE(WaitForTcpPort(proxyPort, 10000));
        panel->PEnableCheck->setChecked(true);
        panel->PAddressEdit->setText("127.0.0.1");
        panel->PPortEdit->setText(QString::number(proxyPort));
        panel->PAuthCheck->setChecked(c.authenticate);
        panel->PUserEdit->setText("alice");
        panel->PPassEdit->setText(QString::fromLatin1(c.password));
        memo1->Clear();
        memo2->Clear();
        Connect(echo.Port());
        if (c.works) {
            ASSERT_TRUE(WaitStatus("Connected, local port: " +
                                   QString::fromStdString(form->Tool().Socket().GetBoundPort())))
                << memo2->Lines().join("|").toStdString();
            Type("through the proxy");
            ASSERT_TRUE(WaitReceived(1));
            EXPECT_EQ(memo1->Lines(), QStringList{"through the proxy"});
            Disconnect();
        } else {
            ASSERT_TRUE(WaitStatus("Disconnected"));
            const QStringList lines = memo2->Lines();
            ASSERT_EQ(lines.size(), 3) << lines.join("|").toStdString();
            EXPECT_EQ(lines[0], "Connecting...");
            EXPECT_TRUE(lines[1].startsWith("Can't connect, error #200")) << lines[1].toStdString();
            EXPECT_EQ(form->ConnectTag(), 0);
        }
    }
}

TEST_F(ClientWindow, ClosingTheWindowWhileConnectedEndsTheSession) {
    OwnServer own;
    bool ended = false;
    own.server.OnClientDisconnect = [&](TCustomWSocket*, TWSocketClient*, std::uint16_t) {
        ended = true;
    };
    Connect(own.Port());
    ASSERT_EQ(form->ConnectTag(), 1);
    form->close();
    delete form.data();
    EXPECT_TRUE(PumpUntil([&] { return ended; }, 10000));
}

TEST_F(ClientWindow, ClearAndSaveNames) {
    memo1->AddLine("x");
    memo2->AddLine("y");
    sendMemo->setPlainText("z");
    form->ClearBtClick();
    EXPECT_TRUE(memo1->Lines().isEmpty());
    EXPECT_TRUE(memo2->Lines().isEmpty());
    EXPECT_TRUE(sendMemo->toPlainText().isEmpty());
}

TEST(ClientWindowLook, ReadsTheSameUnderADarkPalette) {
    const QString prefix = qEnvironmentVariable("QORDEX_SHOTS");
    for (bool dark : {false, true}) {
        const QPalette saved = QApplication::palette();
        if (dark)
            QApplication::setPalette(DarkPalette());
        TForm13 form;
        form.show();
        Find<TMemo>(&form, "Memo2")->AddLine("Connecting...");
        Find<TMemo>(&form, "Memo1")->AddLine("hello");
        QApplication::processEvents();
        EXPECT_EQ(form.palette().color(QPalette::WindowText), QColor(Qt::black));
        EXPECT_EQ(form.palette().color(QPalette::Text), QColor(Qt::black));
        EXPECT_EQ(form.palette().color(QPalette::Window), QColor(210, 220, 230));
        const QPixmap shot = form.grab();
        EXPECT_FALSE(shot.isNull());
        if (!prefix.isEmpty()) {
            EXPECT_TRUE(shot.save(prefix + "TForm13" + (dark ? "-dark" : "") + ".png"));
        }
        QApplication::setPalette(saved);
    }
}
