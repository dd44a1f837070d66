// The TCP server window driven through its controls, with plain sockets as
// its clients; and how it looks under a dark palette.

#include "net/ServerTestUtil.h"
#include "shell/Memo.h"
#include "support/Palettes.h"
#include "support/ScriptedDialogs.h"
#include "tools/ui/TcpSUnit.h"
#include "support/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace qordex;
using namespace qordex::tools;
using namespace qordex::test;
using qordex::shell::TMemo;

namespace {

class TcpServerWindow : public ::testing::Test {
protected:
    TForm14* form = nullptr;
    ScriptedDialogs dialogs;

    void SetUp() override {
        form = new TForm14;
        form->show();
    }
    void TearDown() override { delete form; }
    QStringList Status() { return Find<TMemo>(form, "Memo2")->Lines(); }
    QStringList Data() { return Find<TMemo>(form, "Memo1")->Lines(); }
    QListWidget* List() { return Find<QListWidget>(form, "ClientListBox"); }
    QPushButton* Start() { return Find<QPushButton>(form, "StartBt"); }
    void Click(const char* name) {
        QTest::mouseClick(Find<QPushButton>(form, name), Qt::LeftButton);
    }
    std::string StartOnAnyPort() {
        Find<QLineEdit>(form, "PortEdit")->setText(QStringLiteral("0"));
        Click("StartBt");
        EXPECT_EQ(form->StartTag(), 1);
        return form->Tool().WSocketServer1.GetBoundPort();
    }
    bool WaitStatus(const QString& text) {
        return Pump([&] { return Status().filter(text).size() > 0; }, 20000);
    }
};

} // namespace

TEST_F(TcpServerWindow, DefaultsAndEmptyPort) {
    EXPECT_EQ(form->windowTitle(), "TCP server");
    EXPECT_EQ(Find<QLineEdit>(form, "WelcomeEdit")->text(), "Welcome to Qordex TCP server");
    EXPECT_EQ(Find<QComboBox>(form, "LineEndBox")->currentText(), "CR LF (13 10)");
    EXPECT_FALSE(Find<QPushButton>(form, "SendBt")->isEnabled());
    Click("StartBt");
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_TRUE(Status().isEmpty());
}

TEST_F(TcpServerWindow, NonNumericMaxClientsReturnsToStopped) {
    Find<QLineEdit>(form, "PortEdit")->setText(QStringLiteral("0"));
    Find<QLineEdit>(form, "MaxCliEdit")->setText(QStringLiteral("ten"));
    Click("StartBt");
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_TRUE(Start()->isEnabled());
    EXPECT_EQ(Start()->text(), "Start");
    EXPECT_TRUE(Find<QLineEdit>(form, "PortEdit")->isEnabled());
    EXPECT_EQ(Status(), (QStringList{"Starting TCP server...", "'ten' is not a valid integer value"}));
}

TEST_F(TcpServerWindow, ClientsSendingAndStopping) {
    const std::string port = StartOnAnyPort();
    EXPECT_EQ(Status(), (QStringList{"Starting TCP server...", "Server started"}));
    EXPECT_FALSE(Find<QLineEdit>(form, "PortEdit")->isEnabled());
    RawClient a(port), b(port);
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(b.WaitFor("\r\n"));
    ASSERT_TRUE(Pump([&] { return List()->count() == 2; }));
    EXPECT_EQ(List()->currentRow(), 0);

    // Nothing selected: the warning, nothing sent.
    List()->clearSelection();
    Click("SendBt");
    EXPECT_EQ(dialogs.messages, QStringList{"Select a client to send message."});

    List()->setCurrentRow(1);
    auto* memo = Find<QPlainTextEdit>(form, "SendMemo");
    memo->setPlainText(QStringLiteral("to b"));
    QTest::keyClick(memo, Qt::Key_Return);
    ASSERT_TRUE(b.WaitFor("to b\r\n"));
    EXPECT_TRUE(memo->toPlainText().isEmpty());
    EXPECT_EQ(a.got, "Welcome to Qordex TCP server\r\n");

    a.Send("from a\r\n");
    ASSERT_TRUE(Pump([&] { return Data().filter(">from a").size() == 1; }));

    const int before = int(Status().size());
    Click("StartBt");
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_EQ(List()->count(), 0);
    EXPECT_TRUE(a.WaitEnd());
    EXPECT_TRUE(b.WaitEnd());
    ASSERT_TRUE(Pump([&] { return Status().filter("Client disconnected: ").size() == 2; }, 20000));
    const QStringList tail = Status().mid(before);
    ASSERT_EQ(tail.size(), 5) << tail.join('\n').toStdString();
    EXPECT_TRUE(tail[0].startsWith("Server disconnecting [00000001| 127.0.0.1:"));
    EXPECT_TRUE(tail[1].startsWith("Server disconnecting [00000002| 127.0.0.1:"));
    EXPECT_EQ(tail[2], "Server closed.");
    EXPECT_TRUE(tail[3].startsWith("Client disconnected: "));
}

TEST_F(TcpServerWindow, PopupDisconnectAndGoneClients) {
    const std::string port = StartOnAnyPort();
    RawClient a(port);
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(Pump([&] { return List()->count() == 1; }));
    Find<QAction>(form, "Disconnect1")->trigger();
    EXPECT_TRUE(a.WaitEnd());
    ASSERT_TRUE(Pump([&] { return List()->count() == 0; }, 20000));
    EXPECT_EQ(Status().filter("Server disconnecting [00000001| ").size(), 1);
    // The popup with nothing listed does nothing.
    Find<QAction>(form, "Disconnect1")->trigger();
    EXPECT_EQ(Status().filter("Server disconnecting").size(), 1);
}

TEST_F(TcpServerWindow, ClosingWhileRunningDropsTheClients) {
    const std::string port = StartOnAnyPort();
    RawClient a(port);
    ASSERT_TRUE(a.WaitFor("\r\n"));
    ASSERT_TRUE(Pump([&] { return List()->count() == 1; }));
    form->close();
    delete form;
    form = nullptr;
    EXPECT_TRUE(a.WaitEnd());
}

TEST_F(TcpServerWindow, LooksRightUnderADarkPalette) {
    const QPalette old = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    auto other = std::make_unique<TForm14>();
    other->show();
    const QString dir = QString::fromUtf8(QORDEX_BIN_DIR) + "/../screens";
    QDir().mkpath(dir);
    EXPECT_TRUE(other->grab().save(dir + "/tcp-server-dark.png"));
    const QPalette p = other->findChild<QLineEdit*>("WelcomeEdit")->palette();
    EXPECT_LT(p.color(QPalette::Text).lightness(), 100);
    EXPECT_GT(p.color(QPalette::Base).lightness(), 180);
    QApplication::setPalette(old);
}
