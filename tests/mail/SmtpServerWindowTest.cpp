// The SMTP server window driven through its controls: the dialogue in its
// log, the client list, closing with clients connected, a port it cannot
// take; and how it looks under a dark palette.

#include "mail/ui/EmailServUnit.h"
#include "net/ServerTestUtil.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::mail;
using namespace qordex::test;
using qordex::shell::TMemo;

namespace {

class SmtpServerWindow : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    TForm18* form = nullptr;

    void SetUp() override {
        form = new TForm18;
        form->show();
    }
    void TearDown() override { delete form; }
    QStringList Log() { return Find<TMemo>(form, "Memo1")->Lines(); }
    QTreeWidget* List() { return Find<QTreeWidget>(form, "ClientList"); }
    std::string StartOnAnyPort() {
        Find<QLineEdit>(form, "AddressEdit")->setText(QStringLiteral("127.0.0.1"));
        Find<QLineEdit>(form, "PortEdit")->setText(QStringLiteral("0"));
        Find<QLineEdit>(form, "FolderEdit")->setText(tmp.path() + "/in/");
        QTest::mouseClick(Find<QPushButton>(form, "StartBt"), Qt::LeftButton);
        EXPECT_EQ(Find<QPushButton>(form, "StartBt")->text(), "Stop");
        return form->Tool().Server.BoundPort();
    }
};

} // namespace

TEST_F(SmtpServerWindow, Defaults) {
    EXPECT_EQ(form->windowTitle(), "SMTP server");
    EXPECT_EQ(Find<QLineEdit>(form, "AddressEdit")->text(), "0.0.0.0");
    EXPECT_EQ(Find<QLineEdit>(form, "PortEdit")->text(), "25");
    EXPECT_EQ(Find<QLineEdit>(form, "WelcomeEdit")->text(), "Qordex SMTP server ready.");
    EXPECT_EQ(Find<QLineEdit>(form, "FolderEdit")->text().toStdString(), DefaultMailFolder());
    EXPECT_EQ(List()->headerItem()->text(0), "Thread ID");
    EXPECT_EQ(List()->headerItem()->text(1), "IP : Port");
}

TEST_F(SmtpServerWindow, DialogueListAndStoredMessage) {
    const std::string port = StartOnAnyPort();
    EXPECT_FALSE(Find<QLineEdit>(form, "FolderEdit")->isEnabled());
    RawClient c(port);
    ASSERT_TRUE(c.WaitFor("220 Qordex SMTP server ready.\r\n"));
    ASSERT_TRUE(Pump([&] { return List()->topLevelItemCount() == 1; }));
    c.Send("NOOP\r\nHELO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<w@x>\r\nDATA\r\nhi\r\n.\r\n");
    ASSERT_TRUE(c.WaitFor("<CRLF>.<CRLF>\r\n250 OK \r\n"));
    QTreeWidgetItem* row = List()->topLevelItem(0);
    EXPECT_EQ(row->text(0), "00000001");
    EXPECT_TRUE(row->text(1).startsWith("127.0.0.1:"));
    EXPECT_EQ(row->text(2), "w@x");
    EXPECT_EQ(row->text(3), "me");
    EXPECT_EQ(row->text(4), "a@b");
    EXPECT_TRUE(c.got.rfind("500 command not recognized\r\n") != std::string::npos);
    c.Send("QUIT\r\n");
    ASSERT_TRUE(c.WaitEnd());
    ASSERT_TRUE(Pump([&] { return List()->topLevelItemCount() == 0; }, 20000));
    const QStringList names = QDir(tmp.path() + "/in").entryList(QDir::Files);
    ASSERT_EQ(names.size(), 1);
    EXPECT_TRUE(names[0].startsWith("w@x-"));
    for (const char* l : {"Server started", "Connected 127.0.0.1: 00000001", "00000001 USER me",
                          "00000001 FROM a@b", "00000001 TO w@x", "00000001 SAVING BODY",
                          "00000001 QUIT", "Disconnected: 00000001"})
        EXPECT_TRUE(Log().contains(QString::fromLatin1(l))) << l;
    QTest::mouseClick(Find<QPushButton>(form, "StartBt"), Qt::LeftButton);
    EXPECT_EQ(Log().last(), "Server closed.");
    EXPECT_TRUE(Find<QLineEdit>(form, "FolderEdit")->isEnabled());
}

TEST_F(SmtpServerWindow, ClosingWithThreeClientsDisconnectsAll) {
    const std::string port = StartOnAnyPort();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(clients.back()->WaitFor("220 "));
    }
    ASSERT_TRUE(Pump([&] { return List()->topLevelItemCount() == 3; }));
    // Mid-DATA for one of them: its file keeps what came.
    clients[0]->Send("HELO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<cut@x>\r\nDATA\r\npart\r\n");
    ASSERT_TRUE(clients[0]->WaitFor("354 "));
    ASSERT_TRUE(Pump([&] { return Log().contains("00000001 - receiving body"); }));
    form->close();
    const QStringList log = Log();
    delete form;
    form = nullptr;
    for (auto& c : clients)
        EXPECT_TRUE(c->WaitEnd());
    for (const char* id : {"00000001", "00000002", "00000003"})
        EXPECT_TRUE(log.contains(QString::fromLatin1(id) + " Disconnecting")) << id;
    const QDir in(tmp.path() + "/in");
    const QStringList names = in.entryList(QDir::Files);
    ASSERT_EQ(names.size(), 1);
    QFile f(in.filePath(names[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "part\r\n");
}

TEST_F(SmtpServerWindow, PortTakenLeavesItStopped) {
    const std::string port = StartOnAnyPort();
    auto other = std::make_unique<TForm18>();
    other->show();
    other->findChild<QLineEdit*>("AddressEdit")->setText(QStringLiteral("127.0.0.1"));
    other->findChild<QLineEdit*>("PortEdit")->setText(QString::fromStdString(port));
    auto* start = other->findChild<QPushButton*>("StartBt");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(start->text(), "Start");
    EXPECT_TRUE(other->findChild<QLineEdit*>("PortEdit")->isEnabled());
    const QStringList log = other->findChild<TMemo*>("Memo1")->Lines();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log[0].startsWith("Error 10048")) << log.join('\n').toStdString();
}

TEST_F(SmtpServerWindow, LooksRightUnderADarkPalette) {
    const QPalette old = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    auto other = std::make_unique<TForm18>();
    other->show();
    const QString dir = QString::fromUtf8(QORDEX_BIN_DIR) + "/../screens";
    QDir().mkpath(dir);
    EXPECT_TRUE(other->grab().save(dir + "/smtp-server-dark.png"));
    const QPalette p = other->findChild<QLineEdit*>("WelcomeEdit")->palette();
    EXPECT_LT(p.color(QPalette::Text).lightness(), 100);
    EXPECT_GT(p.color(QPalette::Base).lightness(), 180);
    QApplication::setPalette(old);
}
