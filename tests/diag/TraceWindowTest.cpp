// The Traceroute window driven through its controls, on probes that answer
// from a model of the network: fields checked before anything starts, the
// table as it fills, Save, closing with workers out, and pictures.

#include "diag/Trace.h"
#include "diag/ui/TraceUnit.h"
#include "platform/MessageLoop.h"
#include "support/Palettes.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::diag;

namespace {

template<class T> T* Find(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// Three routers, then 10.9.0.1; router 2 stays silent.  `hold` keeps every
// probe waiting until it is cleared.
struct Model {
    std::atomic<bool> hold{false};
    std::atomic<int> probes{0};
    TraceProbes Probes() {
        TraceProbes p;
        p.resolve = [](const std::string& h) -> std::optional<std::string> {
            if (h != "target.test")
                return std::nullopt;
            return std::string("10.9.0.1");
        };
        p.probe = [this](const std::string& target, int ttl, int, int) {
            ++probes;
            while (hold)
                QThread::msleep(2);
            TraceProbeResult r;
            if (ttl == 2)
                return r;
            r.success = true;
            r.roundTrip = 3;
            r.address = ttl >= 4 ? target : "10.0.0." + std::to_string(ttl);
            return r;
        };
        p.reverse = [](const std::string& a) -> std::optional<std::string> {
            if (a == "10.0.0.3")
                return std::nullopt;
            return "n-" + a;
        };
        return p;
    }
};

struct TraceWindow {
    QPointer<TForm16> form;
    QLineEdit *host, *hops, *tries, *timeout, *packet;
    QLabel* label;
    QPushButton *start, *cancel;
    QTreeWidget* list;

    explicit TraceWindow(Model& m) : form(new TForm16(m.Probes())) {
        form->show();
        host = Find<QLineEdit>(*form, "HostEdit");
        hops = Find<QLineEdit>(*form, "HopsEdit");
        tries = Find<QLineEdit>(*form, "TriesEdit");
        timeout = Find<QLineEdit>(*form, "TimeoutEdit");
        packet = Find<QLineEdit>(*form, "PacketEdit");
        label = Find<QLabel>(*form, "LookupLabel");
        start = Find<QPushButton>(*form, "StartBt");
        cancel = Find<QPushButton>(*form, "CancelBt");
        list = Find<QTreeWidget>(*form, "TraceList");
    }
    ~TraceWindow() {
        delete form.data();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QStringList Row(int i) const {
        QStringList cells;
        if (QTreeWidgetItem* item = list->topLevelItem(i))
            for (int c = 0; c < 5; ++c)
                cells << item->text(c);
        return cells;
    }
    bool WaitIdle() {
        return PumpUntil([this] { return start->isEnabled(); }, 60000);
    }
};

TEST(TraceWindow, Defaults) {
    Model m;
    TraceWindow w(m);
    EXPECT_EQ(w.form->windowTitle(), "Traceroute");
    EXPECT_EQ(w.hops->text(), "40");
    EXPECT_EQ(w.tries->text(), "4");
    EXPECT_EQ(w.timeout->text(), "1000");
    EXPECT_EQ(w.packet->text(), "56");
    EXPECT_TRUE(w.start->isEnabled());
    EXPECT_FALSE(w.cancel->isEnabled());
    ASSERT_EQ(w.list->columnCount(), 5);
    const QStringList heads = {"Hop", "IP address", "Time", "Host name", "Result"};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(w.list->headerItem()->text(c), heads[c]);
}

TEST(TraceWindow, ABadFieldStartsNothingAndLeavesTheControlsUsable) {
    test::ScriptedDialogs dialogs;
    Model m;
    TraceWindow w(m);
    w.host->setText("target.test");
    QTest::mouseClick(w.start, Qt::LeftButton); // a first trace fills the table
    ASSERT_TRUE(w.WaitIdle());
    const int rows = w.list->topLevelItemCount();
    struct {
        QLineEdit* field;
        const char* text;
        const char* message;
    } cases[] = {
        {w.hops, "256", "Hops must be from 0 to 255 ('256')"},
        {w.tries, "x", "'x' is not a valid integer value"},
        {w.timeout, "1.5", "'1.5' is not a valid integer value"},
        {w.packet, "70000", "Packet size must be from 0 to 65500 ('70000')"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const QString old = c.field->text();
        c.field->setText(c.text);
        dialogs.messages.clear();
        const int before = m.probes;
        QTest::mouseClick(w.start, Qt::LeftButton);
        EXPECT_EQ(dialogs.messages, QStringList{c.message});
        EXPECT_TRUE(w.start->isEnabled());
        EXPECT_TRUE(w.host->isEnabled());
        EXPECT_FALSE(w.cancel->isEnabled());
        EXPECT_EQ(w.list->topLevelItemCount(), rows) << "the table was touched";
        EXPECT_EQ(m.probes, before);
        c.field->setText(old);
    }
}

TEST(TraceWindow, ATraceFillsTheTableAndSaves) {
    test::ScriptedDialogs dialogs;
    Model m;
    TraceWindow w(m);
    w.host->setText("target.test");
    w.hops->setText("10");
    w.tries->setText("2");
    QTest::keyClick(w.host, Qt::Key_Return);
    EXPECT_FALSE(w.start->isEnabled());
    EXPECT_TRUE(w.cancel->isEnabled());
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.label->text(), "10.9.0.1");
    ASSERT_EQ(w.list->topLevelItemCount(), 4);
    EXPECT_EQ(w.Row(0), (QStringList{"1", "10.0.0.1", "3", "n-10.0.0.1", "next"}));
    EXPECT_EQ(w.Row(1), (QStringList{"2", "Unknown", "", "Unknown", "time out"}));
    EXPECT_EQ(w.Row(2), (QStringList{"3", "10.0.0.3", "3", "10.0.0.3", "next"}));
    EXPECT_EQ(w.Row(3), (QStringList{"4", "10.9.0.1", "3", "n-10.9.0.1", "complete"}));

    QTemporaryDir dir;
    dialogs.fileAnswers.push_back(dir.filePath("out"));
    w.form->SaveBtClick();
    EXPECT_EQ(dialogs.presets, QStringList{"target.test.txt"});
    EXPECT_EQ(test::ReadFile(dir.filePath("out.txt").toStdString()),
              "Traceroute to target.test at 10.9.0.1\n\n"
              " Hop       IP address   Time  Host name\n\n"
              "   1         10.0.0.1      3  n-10.0.0.1\n"
              "   2          Unknown         Unknown\n"
              "   3         10.0.0.3      3  10.0.0.3\n"
              "   4         10.9.0.1      3  n-10.9.0.1\n");
}

TEST(TraceWindow, AnUnknownHostEmptiesTheTable) {
    Model m;
    TraceWindow w(m);
    w.host->setText("nowhere.test");
    QTest::mouseClick(w.start, Qt::LeftButton);
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.label->text(), "ERROR unknown address.");
    EXPECT_EQ(w.list->topLevelItemCount(), 0);
    EXPECT_TRUE(w.host->isEnabled());
}

TEST(TraceWindow, CancelAndCloseWithProbesOut) {
    Model m;
    m.hold = true;
    {
        TraceWindow w(m);
        w.host->setText("target.test");
        QTest::mouseClick(w.start, Qt::LeftButton);
        ASSERT_TRUE(PumpUntil([&] { return m.probes == 40; }, 60000));
        QTest::mouseClick(w.cancel, Qt::LeftButton);
        EXPECT_TRUE(w.start->isEnabled());
        EXPECT_EQ(w.Row(0)[4], "..1");
        QTest::mouseClick(w.start, Qt::LeftButton); // a second trace while the first's probes wait
        ASSERT_TRUE(PumpUntil([&] { return m.probes == 80; }, 60000));
        w.form->close(); // closing with 40 probes of its own out
    }
    m.hold = false;
    ASSERT_TRUE(PumpUntil([] { return TTraceThread::LiveCount() == 0; }, 60000));
}

// Pictures of the window, in the default and a dark palette;
// QORDEX_TRACE_PNG names a file to keep them.
TEST(TraceWindow, Pictures) {
    const QPalette original = QApplication::palette();
    for (const bool dark : {false, true}) {
        if (dark)
            QApplication::setPalette(test::DarkPalette());
        Model m;
        TraceWindow w(m);
        w.host->setText("target.test");
        w.hops->setText("8");
        QTest::mouseClick(w.start, Qt::LeftButton);
        ASSERT_TRUE(w.WaitIdle());
        const QPixmap shot = w.form->grab();
        EXPECT_FALSE(shot.isNull());
        const QString out = qEnvironmentVariable("QORDEX_TRACE_PNG");
        if (!out.isEmpty()) {
            EXPECT_TRUE(shot.save(out.left(out.lastIndexOf('.')) + (dark ? "-dark" : "") + ".png"));
        }
    }
    QApplication::setPalette(original);
}

} // namespace
