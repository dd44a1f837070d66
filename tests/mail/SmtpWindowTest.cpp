// The SMTP client window driven as a user drives it: its controls and
// defaults, the From copy, the status pane's length, the all-in-one chain
// against aiosmtpd and against refusals, the proxy panel, and how it looks.

#include "mail/SmtpSink.h"
#include "mail/ui/EmailSendUnit.h"
#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "support/ScriptedDialogs.h"
#include "support/ScriptedLines.h"
#include "support/Widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;

namespace {

class SmtpWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm6;
        form->show();
        QApplication::setActiveWindow(form);
        form->activateWindow();
    }
    void TearDown() override { delete form.data(); }

    QLineEdit* Edit(const char* name) { return Find<QLineEdit>(form, name); }
    void Set(const char* name, const QString& text) { Edit(name)->setText(text); }
    void Click(const char* name) {
        QAbstractButton* bt = Find<QAbstractButton>(form, name);
        ASSERT_TRUE(bt);
        QTest::mouseClick(bt, Qt::LeftButton);
    }
    bool LogHas(const QString& line) { return form->LogLines().contains(line); }
    bool WaitLog(const QString& line, int ms = 30000) {
        return PumpUntil([&] { return LogHas(line); }, ms);
    }

    ScriptedDialogs dialogs;
    QPointer<TForm6> form;
};

} // namespace

TEST_F(SmtpWindow, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "SMTP client");
    EXPECT_EQ(form->objectName(), "TForm6");
    EXPECT_EQ(form->size(), QSize(744, 454));
    EXPECT_EQ(Edit("PortEdit")->text(), "25");
    EXPECT_EQ(Edit("PassEdit")->echoMode(), QLineEdit::Password);
    auto* combo = Find<QComboBox>(form, "AuthComboBox");
    ASSERT_TRUE(combo);
    EXPECT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(3), "smtpAuthCramMD5");
    EXPECT_EQ(combo->currentIndex(), 0);
    const struct {
        const char* name;
        const char* caption;
        const char* hint;
    } buttons[] = {{"OpenBt", "Open+", "Connect, Helo/Ehlo, Auth"},
                   {"EhloBt", "Ehlo", ""},
                   {"HeloBt", "Helo", ""},
                   {"MailFromBt", "MailFrom", ""},
                   {"RecptToBt", "RcptTo", ""},
                   {"AuthBt", "Auth", ""},
                   {"DataBt", "Data", ""},
                   {"MailBt", "Mail+", "MailFrom, RcptTo, Data"},
                   {"AllInOneBt", "All in one+", "Connect, Send, Quit"},
                   {"ConnectBt", "Connect", ""},
                   {"QuitBt", "Quit", ""},
                   {"AbortBt", "Abort", ""},
                   {"ProxyBt", "PROXY", "Proxy configuration"},
                   {"LoadBt", "", "Load body from file"},
                   {"ClearBt", "", "Clear"}};
    for (const auto& b : buttons) {
        auto* bt = Find<QAbstractButton>(form, b.name);
        ASSERT_TRUE(bt);
        if (*b.caption) {
            EXPECT_EQ(bt->text(), b.caption);
        }
        EXPECT_EQ(bt->toolTip(), b.hint) << b.name;
    }
    EXPECT_TRUE(Find<QWidget>(form, "ConnectBt")->isEnabled());
    EXPECT_FALSE(Find<QWidget>(form, "QuitBt")->isEnabled());
    EXPECT_FALSE(Find<QWidget>(form, "AbortBt")->isEnabled());
    EXPECT_FALSE(Find<QWidget>(form, "ProxyPanel")->isVisible());
    QStringList labels;
    for (QLabel* l : form->findChildren<QLabel*>())
        labels << l->text();
    for (const char* caption : {"Host",
                                "User/Pass",
                                "Auth. Type",
                                "To Address",
                                "To CC",
                                "To BCC",
                                "From Addr.",
                                "From Name",
                                "Reply To",
                                "Return Path",
                                "Local Host",
                                "Subject",
                                "Attachment (press INS/DEL)",
                                "Body",
                                "Status",
                                "Proxy Socks5 Configuration",
                                "Address",
                                "Port",
                                "UserCode",
                                "Password"})
        EXPECT_TRUE(labels.contains(caption)) << caption;
    TSmtpCli& s = form->SmtpClient();
    EXPECT_EQ(s.Port(), "smtp");
    EXPECT_EQ(s.CharSet(), "iso-8859-1");
    EXPECT_TRUE(s.Allow8bitChars());
    EXPECT_FALSE(s.FoldHeaders());
    EXPECT_EQ(s.DefaultEncoding(), smtpEnc7bit);
    EXPECT_EQ(s.ShareMode(), smtpShareDenyWrite);
}

TEST_F(SmtpWindow, LeavingFromOrPasswordCopiesTheAddress) {
    for (const char* leave : {"FromAddrEdit", "PassEdit"}) {
        Set("ReplyToEdit", "old");
        Set("ReturnPathEdit", "old");
        Set("FromAddrEdit", QString("me@") + leave);
        Edit(leave)->setFocus();
        Edit("SubjectEdit")->setFocus();
        QApplication::processEvents();
        EXPECT_EQ(Edit("ReplyToEdit")->text(), QString("me@") + leave);
        EXPECT_EQ(Edit("ReturnPathEdit")->text(), QString("me@") + leave);
    }
}

TEST_F(SmtpWindow, TheStatusPaneKeepsTheLast401Lines) {
    for (int i = 1; i <= 500; ++i)
        form->Display(QString::number(i));
    const QStringList lines = form->LogLines();
    ASSERT_EQ(lines.size(), 401);
    EXPECT_EQ(lines.first(), "100");
    EXPECT_EQ(lines.last(), "500");
}

TEST_F(SmtpWindow, AttachmentsByInsertAndDelete) {
    auto* list = Find<QListWidget>(form, "FileAttachList");
    dialogs.fileAnswers = {QString("/tmp/a.bin"), std::nullopt, QString("/tmp/b.bin")};
    list->setFocus();
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(list, Qt::Key_Insert);
    ASSERT_EQ(list->count(), 2);
    list->setCurrentRow(0);
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "/tmp/b.bin");
    // A file that does not exist is refused when the mail is made.
    Click("DataBt");
    ASSERT_FALSE(dialogs.messages.isEmpty());
    EXPECT_TRUE(dialogs.messages.last().startsWith("File not found '/tmp/b.bin'") ||
                dialogs.messages.last() == "SMTP component not connected")
        << dialogs.messages.last().toStdString();
}

TEST_F(SmtpWindow, AllInOneDeliversToARealServer) {
    if (!HaveAiosmtpd())
        GTEST_SKIP() << "python3-aiosmtpd is not installed";
    Sink sink;
    ASSERT_TRUE(sink.Ready());
    QTemporaryDir dir;
    const QString file = dir.filePath("notes.txt");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("attached text\n");
    }
    Set("HostEdit", "127.0.0.1");
    Set("PortEdit", QString::fromStdString(sink.Port()));
    Set("ToEdit", "one@example.org; Two <two@example.org>");
    Set("BccEdit", "hidden@example.org");
    Set("FromAddrEdit", "me@example.org");
    Set("FromNameEdit", "Zo\u00eb");
    Set("ReplyToEdit", "me@example.org");
    Set("SubjectEdit", "Price \u20ac 5");
    Set("SignOnEdit", "desk top");
    Find<QListWidget>(form, "FileAttachList")->addItem(file);
    const QString longLine(2000, u'x');
    Find<QPlainTextEdit>(form, "MsgMemo")->setPlainText(".dot\n  indented\n" + longLine + "\nend");
    Click("AllInOneBt");
    ASSERT_TRUE(WaitLog("All-In-One done"));
    const QStringList log = form->LogLines();
    for (const char* line :
         {"RequestDone Rq=0 Error=0", "RequestDone Rq=1 Error=0", "RequestDone Rq=2 Error=0",
          "RequestDone Rq=4 Error=0", "RequestDone Rq=5 Error=0", "RequestDone Rq=6 Error=0"})
        EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_TRUE(log.contains("> HELO desk_top"));
    EXPECT_EQ(log.filter("> RCPT TO:").size(), 3);
    EXPECT_TRUE(Find<QWidget>(form, "ConnectBt")->isEnabled());

    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject mail = sink.Read(1);
    const QJsonObject h = mail["headers"].toObject();
    EXPECT_FALSE(h.contains("Bcc"));
    EXPECT_EQ(h["Subject"].toString(), "Price \u20ac 5");
    EXPECT_EQ(h["From"].toString(), "Zo\u00eb <me@example.org>");
    // The long line went quoted-printable, whole; it was not cut at 1022.
    EXPECT_EQ(mail["body"].toString().toStdString(),
              (".dot\n  indented\n" + longLine + "\nend\n").toStdString());
    ASSERT_EQ(mail["attachments"].toArray().size(), 1);
    EXPECT_EQ(mail["attachments"].toArray()[0].toObject()["name"].toString(), "notes.txt");
    EXPECT_EQ(
        Strings(sink.Envelope(1)["rcpt_tos"]),
        (std::vector<std::string>{"one@example.org", "two@example.org", "hidden@example.org"}));
}

TEST_F(SmtpWindow, AllInOneStopsAtAFailureAndQuits) {
    ScriptedLineServer server(LineScript()
                                  .Send("220 ready\r\n")
                                  .Reply("250 hello")
                                  .Reply("550 sender refused")
                                  .Reply("221 bye")
                                  .Close());
    Set("HostEdit", "127.0.0.1");
    Set("PortEdit", QString::fromStdString(server.PortText()));
    Set("ToEdit", "a@example.org");
    Set("FromAddrEdit", "me@example.org");
    Set("SignOnEdit", "tester");
    Click("AllInOneBt");
    ASSERT_TRUE(WaitLog("RequestDone Rq=6 Error=0"));
    EXPECT_TRUE(LogHas("All-In-One stopped: 550 sender refused"));
    EXPECT_FALSE(LogHas("All-In-One done"));
    EXPECT_EQ(
        server.Transcript(),
        (std::vector<std::string>{"C: HELO tester", "C: MAIL FROM:<me@example.org>", "C: QUIT"}));
}

TEST_F(SmtpWindow, AllInOneWhileConnectedOnlyWarns) {
    ScriptedLineServer server(LineScript().Send("220 ready\r\n").WaitEof());
    Set("HostEdit", "127.0.0.1");
    Set("PortEdit", QString::fromStdString(server.PortText()));
    Click("ConnectBt");
    ASSERT_TRUE(WaitLog("RequestDone Rq=0 Error=0"));
    EXPECT_FALSE(Find<QWidget>(form, "ConnectBt")->isEnabled());
    EXPECT_TRUE(Find<QWidget>(form, "AbortBt")->isEnabled());
    const int before = int(form->LogLines().size());
    Click("AllInOneBt");
    const QStringList log = form->LogLines();
    ASSERT_EQ(int(log.size()), before + 2);
    EXPECT_EQ(log[before], "All-In-One starts in non connected state.");
    EXPECT_EQ(log[before + 1], "Please quit or abort the connection first.");
    Click("AbortBt");
    EXPECT_TRUE(PumpUntil([&] { return Find<QWidget>(form, "ConnectBt")->isEnabled(); }, 10000));
    EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"EOF"}));
}

TEST_F(SmtpWindow, TheProxyPanelFeedsTheSocket) {
    Click("ProxyBt");
    auto* panel = Find<QWidget>(form, "ProxyPanel");
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(Find<QCheckBox>(form, "PEnableCheck")->hasFocus());
    Find<QCheckBox>(form, "PEnableCheck")->setChecked(true);
    Find<QCheckBox>(form, "PAuthCheck")->setChecked(true);
    Set("PAddressEdit", "127.0.0.1");
    Set("PPortEdit", "1");
    Set("PUserEdit", "alice");
    Set("PPassEdit", "s3cret");
    // Dragging the panel moves it.
    const QPoint from = panel->pos();
    QTest::mousePress(panel, Qt::LeftButton, {}, QPoint(5, 5));
    QMouseEvent move(QEvent::MouseMove, QPointF(25, 15), panel->mapToGlobal(QPointF(25, 15)),
                     Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(panel, &move);
    QTest::mouseRelease(panel, Qt::LeftButton, {}, QPoint(25, 15));
    EXPECT_EQ(panel->pos(), from + QPoint(20, 10));

    // A connect goes to the proxy (which refuses here) with the panel's settings.
    Set("HostEdit", "127.0.0.1");
    Click("ConnectBt");
    TWSocket& socket = form->SmtpClient().ConnectionSocket();
    EXPECT_EQ(socket.SocksServer(), "127.0.0.1");
    EXPECT_EQ(socket.SocksPort(), "1");
    EXPECT_EQ(socket.SocksUsercode(), "alice");
    EXPECT_EQ(socket.SocksAuthentication(), socksAuthenticateUsercode);
    ASSERT_TRUE(WaitLog("RequestDone Rq=0 Error=10061"));
    Click("ProxyBt");
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(SmtpWindow, LooksRightInLightAndDarkPalettes) {
    Set("HostEdit", "mail.example.org");
    Set("ToEdit", "someone@example.org");
    Find<QPlainTextEdit>(form, "MsgMemo")->setPlainText("Hello,\nthe body.");
    form->Display("< 220 mail.example.org ready");
    Click("ProxyBt");
    const QString dir = QString::fromUtf8(QORDEX_BIN_DIR) + "/../screens";
    QDir().mkpath(dir);
    EXPECT_TRUE(form->grab().save(dir + "/smtp-light.png"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 40));
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, QColor(25, 25, 25));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::Button, QColor(50, 50, 50));
    dark.setColor(QPalette::ButtonText, Qt::white);
    QApplication::setPalette(dark);
    auto* other = new TForm6;
    other->show();
    EXPECT_TRUE(other->grab().save(dir + "/smtp-dark.png"));
    // Text stays dark on the window's own light fields.
    const QPalette p = other->findChild<QLineEdit*>("HostEdit")->palette();
    EXPECT_LT(p.color(QPalette::Text).lightness(), 100);
    EXPECT_GT(p.color(QPalette::Base).lightness(), 180);
    delete other;
    QApplication::setPalette(QPalette());
}

TEST_F(SmtpWindow, LoadReplacesTheBodyAndClearEmptiesTheMessage) {
    QTemporaryDir dir;
    const QString path = dir.filePath("body.txt");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("first\r\nsecond caf\xc3\xa9\n");
    }
    auto* memo = Find<QPlainTextEdit>(form, "MsgMemo");
    memo->setPlainText("old text");
    dialogs.fileAnswers = {path};
    Click("LoadBt");
    EXPECT_EQ(memo->toPlainText(), "first\nsecond caf\u00e9");
    Set("ToEdit", "a@b");
    Set("SubjectEdit", "s");
    Set("HostEdit", "kept.example.org");
    Find<QListWidget>(form, "FileAttachList")->addItem("/tmp/x");
    form->Display("a line");
    Click("ClearBt");
    EXPECT_EQ(Edit("ToEdit")->text(), "");
    EXPECT_EQ(Edit("SubjectEdit")->text(), "");
    EXPECT_EQ(Edit("HostEdit")->text(), "kept.example.org");
    EXPECT_EQ(memo->toPlainText(), "");
    EXPECT_EQ(Find<QListWidget>(form, "FileAttachList")->count(), 0);
    EXPECT_TRUE(form->LogLines().isEmpty());
}
