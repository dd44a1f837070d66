// The time client and time server windows, driven through their controls
// inside a network namespace (the ports are fixed), with fake clocks, and
// looked at under a dark desktop palette.

#include "time/ui/TimeCUnit.h"
#include "time/ui/TimeSUnit.h"

#include "shell/Memo.h"
#include "support/Palettes.h"
#include "time/TimeTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace qordex;
using namespace qordex::test;
using namespace qordex::timetools;
using qordex::shell::TMemo;

namespace {

template<class T> T* Find(QWidget* form, const char* name) {
    T* w = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

void Click(QWidget* form, const char* name) {
    QTest::mouseClick(Find<QAbstractButton>(form, name), Qt::LeftButton);
}

void Tick(QCheckBox* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

using TimeWindows = InNamespaceTest;

TEST_F(TimeWindows, ClientAsksAndSynchronizes) {
    auto peer = StartTimePeer(ns_, {});
    ASSERT_TRUE(peer);
    FakeClock clock(0);
    QPointer<TForm9> form = new TForm9(nullptr, clock);
    form->show();
    auto* memo = Find<TMemo>(form, "Memo1");
    auto* timeEdit = Find<QLineEdit>(form, "TimeEdit");
    auto* getTime = Find<QPushButton>(form, "GetTimeBt");
    auto* getDay = Find<QPushButton>(form, "GetDayTimeBt");
    auto* cancel = Find<QPushButton>(form, "CancelBt");
    auto* sync = Find<QCheckBox>(form, "SyncCheck");
    EXPECT_EQ(Find<QComboBox>(form, "Addr")->count(), 11);
    EXPECT_EQ(sync->text(), "Synchonize local clock");
    EXPECT_FALSE(cancel->isEnabled());
    Find<QComboBox>(form, "Addr")->setEditText("127.0.0.1");

    auto idle = [&] { return PumpUntil([&] { return !form->Tool().Busy(); }, kWaitMs); };

    Click(form, "GetTimeBt");
    ASSERT_TRUE(idle());
    EXPECT_EQ(memo->Lines(), (QStringList{"Connecting to port 37", "Session connected",
                                          "Get Time OK", "Session closed"}));
    EXPECT_TRUE(timeEdit->text().contains("00:00:00")) << timeEdit->text().toStdString();
    EXPECT_TRUE(getTime->isEnabled() && getDay->isEnabled() && !cancel->isEnabled());
    EXPECT_EQ(clock.sets, 0);

    // UDP Daytime: the line end stays in the field.
    QTest::mouseClick(Find<QRadioButton>(form, "UDPradio"), Qt::LeftButton);
    Click(form, "GetDayTimeBt");
    ASSERT_TRUE(idle());
    EXPECT_EQ(timeEdit->text(), "Mon Jan  1 00:00:00 2024\r\n");

    // Synchronize: DayTime stays off after every request.
    Tick(sync);
    EXPECT_FALSE(getDay->isEnabled());
    Click(form, "GetTimeBt");
    EXPECT_TRUE(cancel->isEnabled());
    ASSERT_TRUE(idle());
    EXPECT_EQ(clock.NowUtc().seconds, 1704067200);
    EXPECT_FALSE(getDay->isEnabled());
    EXPECT_TRUE(getTime->isEnabled());
    Tick(sync);
    EXPECT_TRUE(getDay->isEnabled());

    // Cancel while nobody answers.
    peer.reset();
    auto silent = StartTimePeer(ns_, {"--silent"});
    ASSERT_TRUE(silent);
    memo->Clear();
    Click(form, "GetTimeBt");
    EXPECT_EQ(timeEdit->text(), "");
    ASSERT_TRUE(WaitForOutput(*silent, "udp 37", kWaitMs));
    Click(form, "CancelBt");
    EXPECT_EQ(timeEdit->text(), "aborted");
    EXPECT_EQ(memo->Lines(),
              (QStringList{"Connecting to port 37", "Session connected", "Session closed"}));
    EXPECT_TRUE(getTime->isEnabled() && !cancel->isEnabled());

    // Closing the window during a request cancels it.
    Click(form, "GetTimeBt");
    form->close();
    QApplication::processEvents();
    delete form.data();
}

TEST_F(TimeWindows, ClientProxyPanelUnderADarkPalette) {
    const QPalette saved = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    FakeClock clock;
    TForm9 form(nullptr, clock);
    form.show();
    auto* panel = Find<QWidget>(&form, "ProxyPanel");
    EXPECT_FALSE(panel->isVisible());
    Click(&form, "ProxyBt");
    EXPECT_TRUE(panel->isVisible());
    Find<TMemo>(&form, "Memo1")->AddLine("Get Time OK");
    Find<QLineEdit>(&form, "TimeEdit")->setText("2024-01-01 00:00:00");
    QApplication::processEvents();
    const QImage shot = form.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    // Text stays dark on the tool's light colours whatever the desktop uses.
    EXPECT_EQ(form.palette().color(QPalette::Text), QColor(Qt::black));
    EXPECT_EQ(Find<QLineEdit>(&form, "TimeEdit")->palette().color(QPalette::Text),
              QColor(Qt::black));
    if (const char* out = std::getenv("QORDEX_SHOTS"))
        shot.save(QString::fromLocal8Bit(out) + "/timeclient-dark.png");
    QApplication::setPalette(saved);
}

TEST_F(TimeWindows, ServerStartsCountsAndStops) {
    FakeClock clock;
    TForm10 form(nullptr, clock);
    form.show();
    auto* memo = Find<TMemo>(&form, "Memo1");
    auto* start = Find<QPushButton>(&form, "StartBt");
    auto* tcp = Find<QCheckBox>(&form, "CheckBox1");
    auto* udp = Find<QCheckBox>(&form, "CheckBox2");
    auto* tcpCount = Find<QLabel>(&form, "TCPConnects");
    auto* udpCount = Find<QLabel>(&form, "UDPConnects");
    EXPECT_EQ(Find<QLabel>(&form, "Label4")->text(), "GetTime - 32bit - port 37");

    // Both boxes unchecked: nothing to start.
    Tick(tcp);
    Tick(udp);
    EXPECT_FALSE(start->isEnabled());
    Tick(udp);
    EXPECT_TRUE(start->isEnabled());
    Tick(tcp);

    Click(&form, "StartBt");
    EXPECT_EQ(memo->Lines(), (QStringList{"Waiting for socket", "Server started"}));
    EXPECT_EQ(start->text(), "Stop");
    EXPECT_EQ(form.StartTag(), 1);

    auto ask = [&](const std::vector<std::string>& args) { return RunTimeClients(ns_, args); };
    EXPECT_EQ(ask({"burst", "127.0.0.1", "3"}), "answer e93c7f00\nok\n");
    EXPECT_EQ(ask({"udp", "127.0.0.1", "0"}), "ok\n");
    EXPECT_EQ(tcpCount->text(), "3");
    EXPECT_EQ(udpCount->text(), "1");

    Click(&form, "StartBt");
    EXPECT_EQ(memo->Lines().last(), "Server closed.");
    EXPECT_EQ(start->text(), "Start");

    // A port that cannot be opened: the window stays stopped.
    const int taken = HoldTcpPort37();
    ASSERT_GE(taken, 0);
    memo->Clear();
    Click(&form, "StartBt");
    ::close(taken);
    EXPECT_EQ(memo->Lines(), (QStringList{"Waiting for socket", "Error 10048 in function Bind"}));
    EXPECT_EQ(start->text(), "Start");
    EXPECT_EQ(form.StartTag(), 0);
    EXPECT_FALSE(form.TimeServ1().IsRunning());

    const QPalette saved = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    QApplication::processEvents();
    const QImage shot = form.grab().toImage();
    EXPECT_FALSE(shot.isNull());
    EXPECT_EQ(memo->palette().color(QPalette::Text), QColor(Qt::black));
    if (const char* out = std::getenv("QORDEX_SHOTS"))
        shot.save(QString::fromLocal8Bit(out) + "/timeserver-dark.png");
    QApplication::setPalette(saved);
}

} // namespace
