// The UDP listener and broadcast sender windows, driven through their
// controls: datagrams from loopback senders, broadcasts only between
// namespaces made here.

#include "app/MainForm.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/NetNs.h"
#include "support/Process.h"
#include "support/ScriptedDialogs.h"
#include "tools/BroadcastPair.h"
#include "tools/UdpTestUtil.h"
#include "tools/ui/BroadSendUnit.h"
#include "tools/ui/UDPlistenerUnit.h"
#include "support/Widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::tools;
using qordex::shell::TMemo;
using qordex::test::Find;
using qordex::test::PlainUdp;

namespace {

// Clicks a check box on its indicator, where a person clicks.
void Tick(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

QStringList Labels(QWidget* form) {
    QStringList out;
    for (QLabel* l : form->findChildren<QLabel*>())
        out << l->text();
    return out;
}

class ListenerWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm11;
        form->show();
        memo = Find<TMemo>(form, "Memo1");
        data = Find<TMemo>(form, "DataAvailable");
        port = Find<QLineEdit>(form, "PortEdit");
        address = Find<QLineEdit>(form, "AddressEdit");
        any = Find<QCheckBox>(form, "AnyServerCheckBox");
        lineEnd = Find<QCheckBox>(form, "LineEndCheck");
        start = Find<QPushButton>(form, "StartBt");
        ASSERT_TRUE(memo && data && port && address && any && lineEnd && start);
    }
    void TearDown() override { delete form.data(); }

    // Starts on a free port; returns it.
    std::uint16_t Start(const char* filter = nullptr) {
        port->setText("0");
        if (filter) {
            Tick(any);
            QTest::keyClicks(address, filter);
        }
        QTest::mouseClick(start, Qt::LeftButton);
        EXPECT_EQ(form->StartTag(), 1) << memo->Lines().join("\n").toStdString();
        return std::uint16_t(std::stoi(form->Listener().WSocket.GetBoundPort()));
    }
    bool WaitMemo(int lines) {
        return PumpUntil([&] { return memo->Lines().size() >= lines; }, 10000);
    }

    qordex::test::ScriptedDialogs dialogs;
    QPointer<TForm11> form;
    TMemo *memo, *data;
    QLineEdit *port, *address;
    QCheckBox *any, *lineEnd;
    QPushButton* start;
};

} // namespace

TEST_F(ListenerWindow, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "UDP listener");
    EXPECT_EQ(form->objectName(), "TForm11");
    EXPECT_EQ(form->size(), QSize(394, 276));
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(210, 220, 230));
    EXPECT_EQ(memo->palette().color(QPalette::Base), QColor(237, 239, 243));
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_TRUE(data->isReadOnly());
    EXPECT_EQ(port->text(), "600");
    EXPECT_EQ(address->text(), "0.0.0.0");
    EXPECT_FALSE(address->isEnabled());
    EXPECT_EQ(any->text(), "Any");
    EXPECT_TRUE(any->isChecked());
    EXPECT_EQ(lineEnd->text(), "Use line-end");
    EXPECT_TRUE(lineEnd->isChecked());
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_NE(form->findChild<QWidget*>("ClearBt"), nullptr);
    EXPECT_EQ(form->findChild<QWidget*>("SaveBt"), nullptr);
    const QStringList labels = Labels(form);
    for (const char* caption : {"Port", "UDP", "Address", "Data received"})
        EXPECT_TRUE(labels.contains(caption)) << caption;
    auto& s = form->Listener().WSocket;
    EXPECT_EQ(s.Proto(), "udp");
    EXPECT_EQ(s.Addr(), "0.0.0.0");
    EXPECT_EQ(s.Port(), "600");
}

TEST_F(ListenerWindow, DatagramsFillTheTwoPanes) {
    const std::uint16_t p = Start();
    EXPECT_EQ(start->text(), "Stop");
    EXPECT_FALSE(port->isEnabled());
    EXPECT_FALSE(address->isEnabled());
    EXPECT_FALSE(any->isEnabled());
    PlainUdp s;
    const QString from = "127.0.0.1:" + QString::number(s.Port());
    ASSERT_TRUE(s.SendTo(p, "hello\r\nworld"));
    ASSERT_TRUE(s.SendTo(p, "\r\n"));
    ASSERT_TRUE(s.SendTo(p, std::string(1500, 'q')));
    ASSERT_TRUE(WaitMemo(4));
    EXPECT_EQ(memo->Lines(), QStringList({"Server started", from, from, from}));
    EXPECT_EQ(data->Lines(), QStringList({"hello", "world", QString(1024, 'q')}));

    // The box is read per datagram.
    Tick(lineEnd);
    ASSERT_TRUE(s.SendTo(p, "one\rentry"));
    ASSERT_TRUE(WaitMemo(5));
    EXPECT_EQ(data->Lines().mid(3).join(u'\n'), "one\nentry");
    EXPECT_EQ(data->document()->blockCount(), 5);
}

TEST_F(ListenerWindow, FilterDropsOtherSenders) {
    const std::uint16_t p = Start("127.0.0.2");
    EXPECT_FALSE(any->isChecked());
    PlainUdp elsewhere("127.0.0.1"), chosen("127.0.0.2");
    ASSERT_TRUE(elsewhere.SendTo(p, "dropped"));
    ASSERT_TRUE(chosen.SendTo(p, "kept"));
    ASSERT_TRUE(WaitMemo(2));
    PumpMessages();
    EXPECT_EQ(memo->Lines(),
              QStringList({"Server started", "127.0.0.2:" + QString::number(chosen.Port())}));
    EXPECT_EQ(data->Lines(), QStringList{"kept"});
}

TEST_F(ListenerWindow, StopEmptiesTheDataPaneAndKeepsTheLog) {
    const std::uint16_t p = Start("127.0.0.1");
    PlainUdp s;
    ASSERT_TRUE(s.SendTo(p, "hi"));
    ASSERT_TRUE(WaitMemo(2));
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(memo->Lines().size(), 3);
    EXPECT_EQ(memo->Lines().last(), "Server closed.");
    EXPECT_TRUE(data->Lines().isEmpty());
    // The filter field comes back since "Any" is off.
    EXPECT_TRUE(port->isEnabled());
    EXPECT_TRUE(address->isEnabled());
    EXPECT_TRUE(any->isEnabled());
    EXPECT_EQ(form->Listener().WSocket.HSocket(), INVALID_SOCKET);
    // Clear empties both panes.
    ASSERT_TRUE(s.SendTo(p, "nobody listens"));
    form->ClearBtClick();
    EXPECT_TRUE(memo->Lines().isEmpty());
}

TEST_F(ListenerWindow, AFailedStartIsShownAndTheNextStartWorks) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    port->setText(QString::number(taken.Port()));
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_EQ(memo->Lines(),
              QStringList({"Error 10048 in function Bind", "Address already in use"}));
    EXPECT_EQ(form->StartTag(), 0);
    EXPECT_EQ(start->text(), "Start");
    EXPECT_TRUE(port->isEnabled());
    EXPECT_TRUE(any->isEnabled());
    EXPECT_EQ(form->Listener().WSocket.HSocket(), INVALID_SOCKET);
    EXPECT_TRUE(dialogs.messages.isEmpty());

    memo->Clear();
    const std::uint16_t p = Start();
    PlainUdp s;
    ASSERT_TRUE(s.SendTo(p, "works"));
    ASSERT_TRUE(WaitMemo(2));
    EXPECT_EQ(data->Lines(), QStringList{"works"});
}

TEST_F(ListenerWindow, AnyAndTheAddressFieldFollowEachOther) {
    Tick(any);
    EXPECT_FALSE(any->isChecked());
    EXPECT_EQ(address->text(), "");
    EXPECT_TRUE(address->isEnabled());
    EXPECT_TRUE(address->hasFocus() || !QApplication::focusWindow());
    struct Step {
        const char* text;
        bool any;
    } steps[] = {{"10.0.0.5", false}, {" 0.0.0.0 ", true}, {"0.0.0.01", false}, {"0.0.0.0", true}};
    for (const Step& s : steps) {
        address->setText(s.text);
        EXPECT_EQ(any->isChecked(), s.any) << s.text;
    }
    Tick(any); // off again
    Tick(any); // on
    EXPECT_TRUE(any->isChecked());
    EXPECT_EQ(address->text(), "0.0.0.0");
    EXPECT_FALSE(address->isEnabled());
}

TEST_F(ListenerWindow, ClosingWhileListeningFreesThePort) {
    const std::uint16_t p = Start();
    form->close();
    ASSERT_TRUE(PumpUntil([&] { return form.isNull(); }, 10000));
    PlainUdp again("0.0.0.0", p);
    EXPECT_TRUE(again.Ok()) << "the port is still taken";
}

TEST(ListenerWindowLauncher, OpensFromItsButton) {
    app::TMainForm launcher;
    auto* bt = launcher.findChild<QAbstractButton*>("UDPlistenerBt");
    ASSERT_NE(bt, nullptr);
    EXPECT_TRUE(bt->isEnabled());
    auto* bt2 = launcher.findChild<QAbstractButton*>("BroadSendBt");
    ASSERT_NE(bt2, nullptr);
    EXPECT_TRUE(bt2->isEnabled());
    QTest::mouseClick(bt, Qt::LeftButton);
    QTest::mouseClick(bt2, Qt::LeftButton);
    EXPECT_NE(launcher.CurrentInstance("TForm11"), nullptr);
    EXPECT_NE(launcher.CurrentInstance("TForm12"), nullptr);
    EXPECT_EQ(launcher.ToolWindows().Windows().size(), 2u);
}

// ---- the broadcast sender ----

namespace {

class SenderWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm12;
        form->show();
        port = Find<QLineEdit>(form, "PortEdit");
        localPort = Find<QLineEdit>(form, "LocalPortEdit");
        autoPort = Find<QCheckBox>(form, "AnyPortCheckBox");
        message = Find<QLineEdit>(form, "MessageEdit");
        send = Find<QPushButton>(form, "SendBt");
        ASSERT_TRUE(port && localPort && autoPort && message && send);
    }
    void TearDown() override { delete form.data(); }

    qordex::test::ScriptedDialogs dialogs;
    QPointer<TForm12> form;
    QLineEdit *port, *localPort, *message;
    QCheckBox* autoPort;
    QPushButton* send;
};

} // namespace

TEST_F(SenderWindow, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "Broadcast sender");
    EXPECT_EQ(form->objectName(), "TForm12");
    EXPECT_EQ(form->size(), QSize(394, 144));
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(210, 220, 230));
    EXPECT_EQ(message->palette().color(QPalette::Base), QColor(237, 239, 243));
    EXPECT_EQ(port->text(), "600");
    EXPECT_EQ(localPort->text(), "0");
    EXPECT_FALSE(localPort->isEnabled());
    EXPECT_EQ(autoPort->text(), "Auto");
    EXPECT_TRUE(autoPort->isChecked());
    EXPECT_EQ(message->text(), "");
    EXPECT_EQ(send->text(), "Send");
    EXPECT_EQ(form->findChild<QWidget*>("ClearBt"), nullptr);
    EXPECT_EQ(form->findChild<QWidget*>("SaveBt"), nullptr);
    const QStringList labels = Labels(form);
    for (const char* caption : {"Dest Port", "UDP", "Local Port"})
        EXPECT_TRUE(labels.contains(caption)) << caption;
    auto& s = form->Sender().WSocket;
    EXPECT_EQ(s.Proto(), "udp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
}

TEST_F(SenderWindow, AutoAndTheLocalPortFollowEachOther) {
    Tick(autoPort);
    EXPECT_FALSE(autoPort->isChecked());
    EXPECT_TRUE(localPort->isEnabled());
    EXPECT_EQ(localPort->text(), "");
    struct Step {
        const char* text;
        bool autoOn;
    } steps[] = {{"7000", false}, {"0", true}, {" 0", false}, {"00", false}};
    for (const Step& s : steps) {
        localPort->setText(s.text);
        EXPECT_EQ(autoPort->isChecked(), s.autoOn) << s.text;
    }
    Tick(autoPort);
    EXPECT_TRUE(autoPort->isChecked());
    EXPECT_EQ(localPort->text(), "0");
    EXPECT_FALSE(localPort->isEnabled());
}

TEST_F(SenderWindow, FailuresShowTheErrorAndTheNextSendStartsClean) {
    PlainUdp taken("0.0.0.0");
    ASSERT_TRUE(taken.Ok());
    struct Case {
        QString port, localPort;
        QString error; // the start of the dialog's text
    } cases[] = {
        {"600", QString::number(taken.Port()), "winsock.bind failed, error #10048"},
        {"", "0", "Connect: No Port Specified"},
        {"no-such-service-name", "0", "connect: WSocketResolvePort: Cannot convert port"},
        {"600", "", "connect: WSocketResolvePort: Invalid Port."},
    };
    for (const Case& c : cases) {
        dialogs.messages.clear();
        port->setText(c.port);
        localPort->setText(c.localPort);
        message->setText("keep me");
        QTest::keyClick(message, Qt::Key_Return);
        ASSERT_EQ(dialogs.messages.size(), 1) << c.error.toStdString();
        EXPECT_TRUE(dialogs.messages[0].startsWith(c.error)) << dialogs.messages[0].toStdString();
        EXPECT_FALSE(dialogs.messages[0].contains('\r'));
        EXPECT_EQ(message->text(), "keep me");
        EXPECT_FALSE(form->Sender().Busy());
        EXPECT_EQ(form->Sender().WSocket.HSocket(), INVALID_SOCKET);
    }
}

TEST_F(SenderWindow, EmptyMessageSendsNothing) {
    QTest::mouseClick(send, Qt::LeftButton);
    EXPECT_FALSE(form->Sender().Busy());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST(SenderWindowNamespace, BroadcastReachesTheListenerWindow) {
    qordex::test::BroadcastPair pair;
    REQUIRE_PAIR(pair);
    qordex::test::ScriptedDialogs dialogs;
    std::unique_ptr<TForm11> listener;
    std::unique_ptr<TForm12> sender;
    {
        // Each window's socket is made in its namespace and stays there.
        qordex::test::InNetNs in(pair.receiver);
        ASSERT_TRUE(in.Ok());
        listener = std::make_unique<TForm11>();
        listener->show();
        Find<QLineEdit>(listener.get(), "PortEdit")->setText("5600");
        listener->StartBtClick();
        ASSERT_EQ(listener->StartTag(), 1);
    }
    {
        qordex::test::InNetNs in(pair.sender);
        ASSERT_TRUE(in.Ok());
        sender = std::make_unique<TForm12>();
        sender->show();
        Find<QLineEdit>(sender.get(), "PortEdit")->setText("5600");
        Tick(Find<QCheckBox>(sender.get(), "AnyPortCheckBox"));
        QTest::keyClicks(Find<QLineEdit>(sender.get(), "LocalPortEdit"), "7000");
        auto* message = Find<QLineEdit>(sender.get(), "MessageEdit");
        QTest::keyClicks(message, "hi");
        QTest::keyClick(message, Qt::Key_Return);
        EXPECT_EQ(message->text(), "");
        EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("\n").toStdString();
        // A second message from the automatic port.
        Tick(Find<QCheckBox>(sender.get(), "AnyPortCheckBox"));
        QTest::keyClicks(message, "again");
        QTest::mouseClick(Find<QPushButton>(sender.get(), "SendBt"), Qt::LeftButton);
    }
    auto* memo = Find<TMemo>(listener.get(), "Memo1");
    auto* data = Find<TMemo>(listener.get(), "DataAvailable");
    ASSERT_TRUE(PumpUntil([&] { return memo->Lines().size() >= 3; }, 10000))
        << memo->Lines().join("\n").toStdString();
    EXPECT_EQ(memo->Lines()[1], "10.7.0.1:7000");
    EXPECT_TRUE(memo->Lines()[2].startsWith("10.7.0.1:"));
    EXPECT_NE(memo->Lines()[2], "10.7.0.1:7000");
    EXPECT_EQ(data->Lines(), QStringList({"hi", "again"}));
    ASSERT_TRUE(PumpUntil([&] { return !sender->Sender().Busy(); }, 10000));
}

TEST(UdpWindows, Pictures) {
    // QORDEX_UDP_PNG=prefix saves what a person sees, light and dark.
    const QString prefix = qEnvironmentVariable("QORDEX_UDP_PNG");
    for (bool dark : {false, true}) {
        const QPalette saved = QApplication::palette();
        if (dark) {
            QPalette p;
            p.setColor(QPalette::Window, QColor(40, 40, 40));
            p.setColor(QPalette::WindowText, QColor(230, 230, 230));
            p.setColor(QPalette::Base, QColor(25, 25, 25));
            p.setColor(QPalette::Text, QColor(230, 230, 230));
            p.setColor(QPalette::Button, QColor(50, 50, 50));
            p.setColor(QPalette::ButtonText, QColor(230, 230, 230));
            QApplication::setPalette(p);
        }
        TForm11 listener;
        listener.show();
        Find<TMemo>(&listener, "Memo1")->AddLine("Server started");
        Find<TMemo>(&listener, "Memo1")->AddLine("127.0.0.1:40000");
        Find<TMemo>(&listener, "DataAvailable")->AddLine("hello");
        TForm12 sender;
        sender.show();
        Find<QLineEdit>(&sender, "MessageEdit")->setText("hi");
        QApplication::processEvents();
        for (QWidget* w : {static_cast<QWidget*>(&listener), static_cast<QWidget*>(&sender)}) {
            // Text stays dark on the tool's light colours whatever the desktop uses.
            EXPECT_EQ(w->palette().color(QPalette::WindowText), QColor(Qt::black));
            EXPECT_EQ(w->palette().color(QPalette::Text), QColor(Qt::black));
            const QPixmap shot = w->grab();
            EXPECT_FALSE(shot.isNull());
            if (!prefix.isEmpty()) {
                EXPECT_TRUE(shot.save(prefix + w->objectName() + (dark ? "-dark" : "") + ".png"));
            }
        }
        QApplication::setPalette(saved);
    }
}
