// The POP3 client window against the mailbox server: its controls and
// defaults, a session through its buttons, Next, GetAll, the Encoder /
// Decoder window it opens, and how it looks.

#include "Pop3Peers.h"
#include "mail/Pop3Prot.h"
#include "net/WSocket.h"
#include "mail/ui/B64Unit.h"
#include "mail/ui/EmailReadUnit.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/Process.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;

namespace {

const std::vector<MailboxMessage> kBox = {
    {"id-1", "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: Hello\r\n"
             "Message-ID: <m1@x>\r\n\r\nfirst body\r\n"},
    {"id/2", "From: c@example.org\r\nSubject: Second\r\n\r\nsecond body\r\n"},
};

class Pop3Window : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm5;
        form->show();
        host = Find<QLineEdit>("HostEdit");
        port = Find<QLineEdit>("PortEdit");
        user = Find<QLineEdit>("UsernameEdit");
        pass = Find<QLineEdit>("PasswordEdit");
        msgNum = Find<QLineEdit>("MsgNumEdit");
        msgLines = Find<QLineEdit>("MsgLinesEdit");
        msgPath = Find<QLineEdit>("MsgPathEdit");
        subject = Find<QLineEdit>("SubjectEdit");
        from = Find<QLineEdit>("FromEdit");
        display = Find<shell::TMemo>("DisplayMemo");
        body = Find<shell::TMemo>("MsgMemo");
        status = Find<QStatusBar>("StatusBar1");
    }
    void TearDown() override {
        if (form)
            form->close();
        PumpMessages();
    }
    template<class T> T* Find(const char* name) {
        T* w = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void Click(const char* name) { Find<QAbstractButton>(name)->click(); }
    // Clicks a button and waits for the log line that its request ends with.
    bool Request(const char* button, const QString& done) {
        const int before = display->Lines().count(done);
        Click(button);
        return PumpUntil([&] { return display->Lines().count(done) > before; }, 20000);
    }
    void PointAt(const MailboxServer& server) {
        host->setText(QStringLiteral("127.0.0.1"));
        port->setText(QString::fromStdString(server.PortText()));
        user->setText(QStringLiteral("alice"));
        pass->setText(QStringLiteral("secret"));
    }
    void Login(const MailboxServer& server) {
        PointAt(server);
        ASSERT_TRUE(Request("ConnectBt", QStringLiteral("Request Done Rq=0 Error=0")));
        ASSERT_TRUE(Request("UserNameBt", QStringLiteral("Request Done Rq=1 Error=0")));
        ASSERT_TRUE(Request("PasswordBt", QStringLiteral("Request Done Rq=2 Error=0")));
    }

    QPointer<TForm5> form;
    QLineEdit *host, *port, *user, *pass, *msgNum, *msgLines, *msgPath, *subject, *from;
    shell::TMemo *display, *body;
    QStatusBar* status;
};

} // namespace

TEST_F(Pop3Window, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "POP3 client");
    EXPECT_EQ(form->size(), QSize(744, 484));
    EXPECT_EQ(port->text(), "110");
    EXPECT_EQ(msgNum->text(), "1");
    EXPECT_EQ(msgLines->text(), "0");
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(msgPath->text(), TForm5::DefaultMsgPath());
    EXPECT_TRUE(msgPath->text().endsWith("/pop3/"));
    EXPECT_TRUE(subject->isReadOnly());
    EXPECT_TRUE(body->isReadOnly());
    EXPECT_TRUE(display->isReadOnly());
    struct Bt {
        const char* name;
        const char* text;
        bool enabled;
    } buttons[] = {
        {"ConnectBt", "Connect", true},   {"OpenBt", "Open+", true},
        {"UserNameBt", "Username", true}, {"PasswordBt", "Password", true},
        {"ApopBt", "Apop", true},         {"RpopBt", "Rpop", true},
        {"StatBt", "Stat", true},         {"ListBt", "List", true},
        {"ListAllBt", "ListAll", true},   {"UidlBt", "Uidl", true},
        {"LastBt", "Last", true},         {"RetrBt", "Retr", true},
        {"TopBt", "Top", true},           {"DeleteBt", "Delete", true},
        {"ResetBt", "Reset", true},       {"NextBt", "Next", true},
        {"GetAllBt", "GetAll", true},     {"QuitBt", "Quit", false},
        {"AbortBt", "Abort", false},      {"B64Bt", "B64/UU Encoder/Decoder", true},
        {"ProxyBt", "PROXY", true},
    };
    for (const Bt& b : buttons) {
        auto* w = Find<QAbstractButton>(b.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->text(), b.text) << b.name;
        EXPECT_EQ(w->isEnabled(), b.enabled) << b.name;
    }
    EXPECT_EQ(Find<QAbstractButton>("OpenBt")->toolTip(), "Connect, Auth");
    EXPECT_EQ(Find<QAbstractButton>("GetPathBt")->toolTip(), "Get application path");
    EXPECT_EQ(Find<QAbstractButton>("SaveBt")->toolTip(), "Save body to file");
    // The proxy panel shows and hides.
    auto* panel = Find<QFrame>("ProxyPanel");
    EXPECT_FALSE(panel->isVisible());
    Click("ProxyBt");
    EXPECT_TRUE(panel->isVisible());
    // A press on the panel drags it, within the window.
    const QPoint from = panel->pos();
    const QPoint grip = panel->mapToGlobal(QPoint(5, 5));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(grip), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(grip - QPoint(100, 50)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel, &move);
    EXPECT_EQ(panel->pos(), from - QPoint(100, 50));
    QMouseEvent far(QEvent::MouseMove, QPointF(5, 5), QPointF(grip + QPoint(5000, 5000)),
                    Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel, &far);
    EXPECT_EQ(panel->geometry().bottomRight(), QPoint(743, 483));
    Click("ProxyBt");
    EXPECT_FALSE(panel->isVisible());
    // Leaving the path field adds the separator.
    msgPath->setText("/tmp/x");
    emit msgPath->editingFinished();
    EXPECT_EQ(msgPath->text(), "/tmp/x/");
}

TEST_F(Pop3Window, ASessionThroughTheButtons) {
    MailboxServer server(kBox);
    Login(server);
    EXPECT_FALSE(Find<QAbstractButton>("ConnectBt")->isEnabled());
    EXPECT_TRUE(Find<QAbstractButton>("QuitBt")->isEnabled());

    ASSERT_TRUE(Request("StatBt", "Request Done Rq=5 Error=0"));
    const std::size_t total = kBox[0].data.size() + kBox[1].data.size();
    EXPECT_EQ(status->currentMessage(),
              QString::fromStdString("Stat ok, 2 messages " + std::to_string(total) + " bytes"));
    ASSERT_TRUE(Request("ListAllBt", "*** List End ***"));
    EXPECT_EQ(msgNum->text(), "0");
    EXPECT_TRUE(display->Lines().contains("*** List begin ***"));
    ASSERT_TRUE(Request("UidlBt", "*** Uidl end ***"));
    EXPECT_TRUE(display->Lines().contains("MsgNum = 2 MsgUidl = id/2'"));

    msgNum->setText("1");
    ASSERT_TRUE(Request("RetrBt", "Request Done Rq=7 Error=0"));
    EXPECT_EQ(subject->text(), "Hello");
    EXPECT_EQ(from->text(), "Ann <ann@example.org>");
    EXPECT_EQ(Find<QLineEdit>("ToEdit")->text(), "bob@example.org");
    EXPECT_EQ(Find<QLineEdit>("MsgIdEdit")->text(), "<m1@x>");
    EXPECT_TRUE(body->Lines().contains("*** Message 1 begin ***"));
    EXPECT_TRUE(body->Lines().contains("first body"));
    ASSERT_TRUE(Request("LastBt", "Request Done Rq=11 Error=0"));
    EXPECT_EQ(status->currentMessage(), "Last = 0");
    msgNum->setText("2");
    ASSERT_TRUE(Request("ListBt", "Request Done Rq=6 Error=0"));
    EXPECT_EQ(status->currentMessage(),
              QString::fromStdString("List ok, 2 message " + std::to_string(kBox[1].data.size()) +
                                     " bytes"));

    // A refused call is shown in the status bar and the log.
    Click("UserNameBt");
    EXPECT_EQ(status->currentMessage(), "User failed (-ERR USER command invalid now)");
    EXPECT_EQ(display->Lines().last(), "-ERR USER command invalid now");

    // Next reads message after message and stops at the end.
    msgNum->setText("1");
    Click("NextBt");
    ASSERT_TRUE(PumpUntil([&] { return msgNum->text() == "2"; }, 20000));
    EXPECT_EQ(body->Lines(),
              (QStringList{"From: Ann <ann@example.org>", "To: bob@example.org", "Subject: Hello",
                           "Message-ID: <m1@x>", "", "first body"}));
    Click("NextBt");
    ASSERT_TRUE(PumpUntil([&] { return msgNum->text() == "3"; }, 20000));
    EXPECT_TRUE(body->Lines().contains("second body"));
    Click("NextBt");
    ASSERT_TRUE(
        PumpUntil([&] { return display->Lines().contains("< -ERR no such message"); }, 20000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(msgNum->text(), "3");

    ASSERT_TRUE(Request("QuitBt", "Request Done Rq=4 Error=0"));
    EXPECT_TRUE(Find<QAbstractButton>("ConnectBt")->isEnabled());
    EXPECT_FALSE(Find<QAbstractButton>("QuitBt")->isEnabled());
}

// The proxy panel's settings reach the client's socket: a session runs
// through a real SOCKS5 proxy that wants a user name, and a wrong password
// there stops the connect; unchecked, the socket goes direct again.
TEST_F(Pop3Window, TheProxyPanelFeedsTheSocket) {
    if (!HasProgram("microsocks"))
        GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh installs it)";
    MailboxServer server(kBox);
    const int proxyPort = FreeTcpPort();
    auto socks = std::make_unique<Background>(std::vector<std::string>{
        "microsocks", "-i", "127.0.0.1", "-p", std::to_string(proxyPort), "-u", "pu", "-P", "pp"});
    ASSERT_TRUE(WaitForTcpPort(proxyPort, 10000));
    Click("ProxyBt");
    Find<QCheckBox>("PEnableCheck")->setChecked(true);
    Find<QCheckBox>("PAuthCheck")->setChecked(true);
    Find<QLineEdit>("PAddressEdit")->setText("127.0.0.1");
    Find<QLineEdit>("PPortEdit")->setText(QString::number(proxyPort));
    Find<QLineEdit>("PUserEdit")->setText("pu");
    PointAt(server);
    TWSocket& socket = form->Pop3Cli1().ConnectionSocket();

    Find<QLineEdit>("PPassEdit")->setText("no");
    const QString refused = QStringLiteral("Request Done Rq=0 Error=");
    const auto ends = [&](const QString& prefix) {
        return PumpUntil(
            [&] {
                const QStringList lines = display->Lines();
                return std::any_of(lines.begin(), lines.end(),
                                   [&](const QString& l) { return l.startsWith(prefix); });
            },
            20000);
    };
    Click("ConnectBt");
    EXPECT_EQ(socket.SocksServer(), "127.0.0.1");
    EXPECT_EQ(socket.SocksPort(), std::to_string(proxyPort));
    EXPECT_EQ(socket.SocksUsercode(), "pu");
    EXPECT_EQ(socket.SocksAuthentication(), socksAuthenticateUsercode);
    ASSERT_TRUE(ends(refused));
    EXPECT_FALSE(display->Lines().contains("Request Done Rq=0 Error=0"));
    ASSERT_TRUE(PumpUntil([&] { return Find<QAbstractButton>("ConnectBt")->isEnabled(); }, 20000));

    Find<QLineEdit>("PPassEdit")->setText("pp");
    ASSERT_TRUE(Request("ConnectBt", QStringLiteral("Request Done Rq=0 Error=0")));
    ASSERT_TRUE(Request("UserNameBt", QStringLiteral("Request Done Rq=1 Error=0")));
    ASSERT_TRUE(Request("PasswordBt", QStringLiteral("Request Done Rq=2 Error=0")));
    ASSERT_TRUE(Request("StatBt", "Request Done Rq=5 Error=0"));
    EXPECT_TRUE(status->currentMessage().startsWith("Stat ok, 2 messages"))
        << status->currentMessage().toStdString();
    Click("QuitBt");
    ASSERT_TRUE(PumpUntil([&] { return Find<QAbstractButton>("ConnectBt")->isEnabled(); }, 20000));

    // Unchecked: the next connect goes straight to the server.
    Find<QCheckBox>("PEnableCheck")->setChecked(false);
    socks.reset(); // gone: only a direct connect can still work
    ASSERT_TRUE(Request("ConnectBt", QStringLiteral("Request Done Rq=0 Error=0")));
    EXPECT_EQ(socket.SocksServer(), "");
}

TEST_F(Pop3Window, GetAllSavesEveryMessageOnce) {
    MailboxServer server(kBox);
    Login(server);
    QTemporaryDir dir;
    msgPath->setText(dir.path() + "/");
    ASSERT_TRUE(Request("GetAllBt", "Finished"));
    EXPECT_TRUE(display->Lines().contains("Message 1"));
    EXPECT_TRUE(display->Lines().contains("Message 2"));
    EXPECT_TRUE(std::filesystem::exists(dir.path().toStdString() + "/Msg id-1.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir.path().toStdString() + "/Msg id%2F2.txt"));
    display->Clear();
    ASSERT_TRUE(Request("GetAllBt", "Finished"));
    EXPECT_EQ(display->Lines().filter("already here"),
              (QStringList{"Message 1 already here", "Message 2 already here"}));
    // The buttons get their handlers back.
    ASSERT_TRUE(Request("StatBt", "Request Done Rq=5 Error=0"));

    // Buttons pressed while GetAll runs leave it running; Abort stops it and
    // leaves no partial file.
    {
        MailboxServer slow({{"big", std::string(4 << 20, 'x') + "\r\n"}});
        Click("QuitBt");
        ASSERT_TRUE(
            PumpUntil([&] { return Find<QAbstractButton>("ConnectBt")->isEnabled(); }, 20000));
        Login(slow);
        QTemporaryDir other;
        msgPath->setText(other.path() + "/");
        ScriptedDialogs busy;
        Click("GetAllBt");
        ASSERT_TRUE(PumpUntil([&] { return display->Lines().contains("Message 1"); }, 20000));
        Click("StatBt");
        EXPECT_EQ(status->currentMessage(), "Stat failed (POP3 component not ready)");
        Click("NextBt");
        Click("GetAllBt");
        EXPECT_EQ(busy.messages,
                  (QStringList{"POP3 component not ready", "POP3 component not ready"}));
        Click("AbortBt");
        ASSERT_TRUE(PumpUntil([&] { return !display->Lines().filter("Error ").isEmpty(); }, 20000));
        EXPECT_TRUE(std::filesystem::is_empty(other.path().toStdString()));
    }

    // A folder that does not exist goes to the error box.
    ScriptedDialogs dialogs;
    msgPath->setText(dir.path() + "/missing/");
    Click("GetAllBt");
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_TRUE(dialogs.messages[0].startsWith("Cannot open folder"))
        << dialogs.messages[0].toStdString();
}

TEST_F(Pop3Window, BadNumbersGoToTheErrorBox) {
    ScriptedDialogs dialogs;
    msgNum->setText("x1");
    Click("StatBt");
    ASSERT_EQ(dialogs.messages.size(), 1);
    EXPECT_EQ(dialogs.messages[0], "'x1' is not a valid integer value");
    // Nothing else happened: no status, no log.
    EXPECT_EQ(status->currentMessage(), "");
    EXPECT_TRUE(display->Lines().isEmpty());
}

TEST_F(Pop3Window, EncoderWindowComesAndGoesWithIt) {
    auto* b64 = Find<QToolButton>("B64Bt");
    Click("B64Bt");
    QPointer<TForm22> encoder = form->EncoderWindow();
    ASSERT_TRUE(encoder);
    EXPECT_TRUE(encoder->isVisible());
    EXPECT_FALSE(b64->isEnabled());
    encoder->close();
    PumpUntil([&] { return encoder.isNull(); }, 5000);
    EXPECT_TRUE(b64->isEnabled());

    Click("B64Bt");
    encoder = form->EncoderWindow();
    ASSERT_TRUE(encoder);
    form->close();
    ASSERT_TRUE(PumpUntil([&] { return encoder.isNull() && form.isNull(); }, 5000));
}

TEST_F(Pop3Window, ClearEmptiesTheFieldsAndPanes) {
    MailboxServer server(kBox);
    Login(server);
    msgNum->setText("1");
    ASSERT_TRUE(Request("RetrBt", "Request Done Rq=7 Error=0"));
    EXPECT_FALSE(subject->text().isEmpty());
    Click("ClearBt");
    EXPECT_TRUE(subject->text().isEmpty());
    EXPECT_TRUE(from->text().isEmpty());
    EXPECT_TRUE(body->Lines().isEmpty());
    EXPECT_TRUE(display->Lines().isEmpty());
}

TEST_F(Pop3Window, SaveWritesTheLogUnderTheSubject) {
    MailboxServer server(kBox);
    Login(server);
    msgNum->setText("1");
    ASSERT_TRUE(Request("RetrBt", "Request Done Rq=7 Error=0"));
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    dialogs.fileAnswers.push_back(dir.path() + "/log");
    Click("SaveBt");
    ASSERT_EQ(dialogs.presets.size(), 1);
    EXPECT_EQ(dialogs.presets[0], "Hello.txt");
    const QStringList lines = display->Lines();
    std::string want;
    for (const QString& l : lines)
        want += l.toStdString() + "\n";
    EXPECT_EQ(ReadFile(dir.path().toStdString() + "/log.txt"), want);
}

TEST_F(Pop3Window, TheProposedFolderIsMadeWhenNeeded) {
    QTemporaryDir data;
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    MailboxServer server(kBox);
    Login(server);
    Click("GetPathBt");
    EXPECT_TRUE(msgPath->text().startsWith(data.path()));
    EXPECT_FALSE(std::filesystem::exists(msgPath->text().toStdString()));
    ASSERT_TRUE(Request("GetAllBt", "Finished"));
    EXPECT_TRUE(std::filesystem::exists(msgPath->text().toStdString() + "Msg id-1.txt"));
    if (saved.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", saved);
}

TEST_F(Pop3Window, Screenshots) {
    MailboxServer server(kBox);
    Login(server);
    msgNum->setText("1");
    ASSERT_TRUE(Request("RetrBt", "Request Done Rq=7 Error=0"));
    Click("ProxyBt");
    form->setPalette(DarkPalette());
    const QImage shot = form->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(744, 484));
    if (const char* out = std::getenv("QORDEX_SHOTS")) {
        shot.save(QString::fromLocal8Bit(out) + "/pop3-dark.png");
        Click("ProxyBt");
        form->grab().save(QString::fromLocal8Bit(out) + "/pop3-dark-noproxy.png");
        form->setPalette(QPalette());
        form->grab().save(QString::fromLocal8Bit(out) + "/pop3-light.png");
    }
}
