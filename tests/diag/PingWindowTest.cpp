// The Ping window on loopback, and Ping windows opened from the launcher.

#include "app/MainForm.h"
#include "diag/PingThread.h"
#include "diag/ui/PingUnit.h"
#include "platform/IcmpService.h"
#include "platform/MessageLoop.h"
#include "shell/Memo.h"
#include "support/Drain.h"
#include "support/ScriptedDialogs.h"

#include "diag/EchoTestSupport.h"
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::diag;
using namespace qordex::shell;

namespace {

int CountPrefix(const QStringList& lines, const QString& prefix) {
    int n = 0;
    for (const QString& l : lines)
        n += l.startsWith(prefix);
    return n;
}

class PingWindow : public ::testing::Test {
protected:
    void SetUp() override {
        form = new TForm2;
        form->show();
        host = form->findChild<QLineEdit*>("HostEdit");
        ttl = form->findChild<QLineEdit*>("Edit1");
        timeout = form->findChild<QLineEdit*>("Edit2");
        size = form->findChild<QLineEdit*>("Edit3");
        interval = form->findChild<QLineEdit*>("Edit4");
        repeat = form->findChild<QCheckBox*>("RepeatCheck");
        bulk = form->findChild<QComboBox*>("BulkBox");
        pingBt = form->findChild<QPushButton*>("PingBt");
        cancelBt = form->findChild<QPushButton*>("CancelBt");
        memo = form->findChild<TMemo*>("Memo1");
        ASSERT_TRUE(host && ttl && timeout && size && interval && repeat && bulk && pingBt &&
                    cancelBt && memo);
    }
    void TearDown() override {
        delete form.data();
        // Every worker, detached or not, ends and is freed.
        EXPECT_TRUE(PumpUntil([] { return TPingThread::LiveCount() == 0; }, 30000));
    }
    QStringList Lines() const { return memo->Lines(); }
    bool WaitIdle() {
        return PumpUntil([&] { return form->RunningCount() == 0; }, 30000);
    }

    qordex::test::ScriptedDialogs dialogs;
    QPointer<TForm2> form;
    QLineEdit *host, *ttl, *timeout, *size, *interval;
    QCheckBox* repeat;
    QComboBox* bulk;
    QPushButton *pingBt, *cancelBt;
    TMemo* memo;
};

} // namespace

TEST_F(PingWindow, ControlsAndDefaults) {
    EXPECT_EQ(form->windowTitle(), "Ping");
    EXPECT_EQ(form->objectName(), "TForm2");
    EXPECT_EQ(host->text(), "");
    EXPECT_EQ(ttl->text(), "40");
    EXPECT_EQ(timeout->text(), "1000");
    EXPECT_EQ(size->text(), "56");
    EXPECT_EQ(interval->text(), "500");
    EXPECT_FALSE(repeat->isChecked());
    EXPECT_EQ(repeat->text(), "Repeat");
    EXPECT_TRUE(bulk->isEditable());
    EXPECT_EQ(bulk->currentText(), "1");
    QStringList items;
    for (int i = 0; i < bulk->count(); ++i)
        items << bulk->itemText(i);
    EXPECT_EQ(items, QStringList({"1", "2", "3", "4", "5", "10", "15", "20", ""}));
    EXPECT_EQ(pingBt->text(), "Ping");
    EXPECT_TRUE(pingBt->isEnabled());
    EXPECT_EQ(cancelBt->text(), "Cancel");
    EXPECT_FALSE(cancelBt->isEnabled());
    EXPECT_TRUE(memo->isReadOnly());
    QStringList labels;
    for (QLabel* l : form->findChildren<QLabel*>())
        labels << l->text();
    for (const char* caption :
         {"Host", "Time To Live", "Time Out", "Packet Size", "interval", "Bulk packets", "threads"})
        EXPECT_TRUE(labels.contains(caption)) << caption;
    EXPECT_NE(form->findChild<QTimer*>("Timer1"), nullptr);
    EXPECT_NE(form->findChild<QWidget*>("ClearBt"), nullptr);
    EXPECT_NE(form->findChild<QWidget*>("SaveBt"), nullptr);
}

TEST_F(PingWindow, EmptyHostOrNoBulkStartsNothing) {
    struct Case {
        const char* host;
        const char* bulk;
    } cases[] = {{"", "1"}, {"", "abc"}, {"127.0.0.1", "0"}, {"127.0.0.1", "-3"}};
    for (const auto& c : cases) {
        host->setText(c.host);
        bulk->setCurrentText(c.bulk);
        QTest::mouseClick(pingBt, Qt::LeftButton);
        EXPECT_EQ(form->WorkerCount(), 0) << c.host << "/" << c.bulk;
        EXPECT_EQ(form->RunningCount(), 0);
    }
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join("\n").toStdString();
    EXPECT_TRUE(Lines().isEmpty());
}

TEST_F(PingWindow, NonIntegerFieldsShowTheConversionError) {
    host->setText("127.0.0.1");
    struct Case {
        QLineEdit* edit;
        const char* bulkText;
        const char* text;
        const char* message;
    } cases[] = {
        {nullptr, "", "", "'' is not a valid integer value"},
        {nullptr, "x2", "", "'x2' is not a valid integer value"},
        {ttl, "1", "4o", "'4o' is not a valid integer value"},
        {timeout, "1", "", "'' is not a valid integer value"},
        {size, "1", "big", "'big' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        ttl->setText("40");
        timeout->setText("1000");
        size->setText("56");
        bulk->setCurrentText(c.bulkText);
        if (c.edit)
            c.edit->setText(c.text);
        dialogs.messages.clear();
        form->PingBtClick();
        EXPECT_EQ(dialogs.messages, QStringList{c.message});
        EXPECT_EQ(form->WorkerCount(), 0);
    }
}

TEST_F(PingWindow, SinglePingLeavesControlsEnabled) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    QTest::mouseClick(pingBt, Qt::LeftButton);
    EXPECT_EQ(form->RunningCount(), 1);
    EXPECT_TRUE(pingBt->isEnabled());
    EXPECT_TRUE(host->isEnabled());
    EXPECT_FALSE(cancelBt->isEnabled());
    ASSERT_TRUE(WaitIdle());
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 2) << lines.join("\n").toStdString();
    EXPECT_EQ(lines[0], "Sending 56 bytes to 127.0.0.1");
    EXPECT_TRUE(lines[1].startsWith("Received 56 bytes from 127.0.0.1 in "))
        << lines[1].toStdString();
    EXPECT_EQ(form->Stats().Sent(), 1u);
    EXPECT_EQ(form->Stats().Received(), 1u);
    EXPECT_EQ(form->WorkerCount(), 0);
}

TEST_F(PingWindow, FailureLines) {
    REQUIRE_ECHO();
    struct Case {
        const char* host;
        const char* size;
        const char* line;
    } cases[] = {
        {"no-such-host.invalid", "56", "Unknown host 'no-such-host.invalid'"},
        {"255.255.255.255", "56", "Cannot ping host (255.255.255.255) : Bad Destination"},
        {"127.0.0.1", "65501", "Cannot ping host (127.0.0.1) : Bad request"},
    };
    for (const auto& c : cases) {
        memo->Clear();
        host->setText(c.host);
        size->setText(c.size);
        form->PingBtClick();
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Lines(), QStringList{c.line});
    }
    EXPECT_EQ(form->Stats().Sent(), 3u);
    EXPECT_EQ(form->Stats().Received(), 0u);
}

TEST_F(PingWindow, BulkStartsThatManyAtOnceCappedAtAHundred) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    bulk->setCurrentText("5");
    form->PingBtClick();
    EXPECT_EQ(form->WorkerCount(), 5);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(CountPrefix(Lines(), "Sending 56 bytes to 127.0.0.1"), 5);
    EXPECT_EQ(CountPrefix(Lines(), "Received 56 bytes from 127.0.0.1 in "), 5);

    bulk->setCurrentText("5000");
    form->PingBtClick();
    EXPECT_EQ(form->WorkerCount(), 100);
    EXPECT_EQ(form->RunningCount(), 100);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(form->Stats().Sent(), 105u);
}

TEST_F(PingWindow, RepeatPrintsSendingForTheFirstBatchOnlyAndCancelSummarises) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    bulk->setCurrentText("2");
    interval->setText("20");
    repeat->setChecked(true);
    QTest::mouseClick(pingBt, Qt::LeftButton);
    // A repeated run locks the controls.
    EXPECT_FALSE(host->isEnabled());
    EXPECT_FALSE(pingBt->isEnabled());
    EXPECT_FALSE(repeat->isEnabled());
    EXPECT_FALSE(interval->isEnabled());
    EXPECT_TRUE(cancelBt->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return CountPrefix(Lines(), "Received ") >= 8; }, 30000));
    QTest::mouseClick(cancelBt, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return CountPrefix(Lines(), "Packets sent: ") == 1; }, 30000));
    ASSERT_TRUE(WaitIdle());
    const QStringList lines = Lines();
    EXPECT_EQ(CountPrefix(lines, "Sending "), 2) << lines.join("\n").toStdString();
    const int results = CountPrefix(lines, "Received ");
    EXPECT_EQ(lines[lines.size() - 3],
              QString("Packets sent: %1  received: %1  lost: 0 [0%]").arg(results));
    EXPECT_TRUE(lines[lines.size() - 2].startsWith("Time min: "));
    EXPECT_EQ(lines.last(), "");
    EXPECT_TRUE(host->isEnabled());
    EXPECT_TRUE(pingBt->isEnabled());
    EXPECT_TRUE(repeat->isEnabled());
    EXPECT_FALSE(cancelBt->isEnabled());
    EXPECT_EQ(form->Stats().Sent(), 0u) << "the summary resets the counters";
    // Nothing runs on after Cancel: no worker, no timer, nothing queued.
    EXPECT_EQ(form->WorkerCount(), 0);
    EXPECT_FALSE(form->findChild<QTimer*>("Timer1")->isActive());
    ASSERT_TRUE(test::DrainQueue());
    EXPECT_EQ(Lines(), lines);
}

TEST_F(PingWindow, SinglePingsCountTowardTheNextSummary) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    for (int i = 0; i < 2; ++i) {
        form->PingBtClick();
        ASSERT_TRUE(WaitIdle());
    }
    repeat->setChecked(true);
    form->PingBtClick();
    form->CancelBtClick(); // the worker still runs: its completion prints the summary
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(PumpUntil([&] { return CountPrefix(Lines(), "Packets sent: ") == 1; }, 10000));
    EXPECT_EQ(CountPrefix(Lines(), "Packets sent: 3  received: 3  lost: 0 [0%]"), 1)
        << Lines().join("\n").toStdString();
}

TEST_F(PingWindow, BadIntervalIsReportedWhenLeftAndWhenTheRunRearms) {
    REQUIRE_ECHO();
    interval->setText("soon");
    form->Edit4Exit();
    EXPECT_EQ(dialogs.messages, QStringList{"'soon' is not a valid integer value"});
    dialogs.messages.clear();
    host->setText("127.0.0.1");
    repeat->setChecked(true);
    form->PingBtClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dialogs.messages, QStringList{"'soon' is not a valid integer value"});
    EXPECT_EQ(CountPrefix(Lines(), "Received "), 1) << "no timer, no second batch";
    EXPECT_TRUE(cancelBt->isEnabled());
    form->CancelBtClick();
    EXPECT_EQ(CountPrefix(Lines(), "Packets sent: 1  received: 1  lost: 0 [0%]"), 1);
    EXPECT_TRUE(pingBt->isEnabled());
}

TEST_F(PingWindow, CancelWithNothingRunningPrintsTheSummaryAtOnce) {
    repeat->setChecked(true);
    form->CancelBtClick();
    EXPECT_EQ(Lines(), QStringList({"Packets sent: 0  received: 0  lost: 0 [0%]",
                                    "Time min: 65535ms  max: 0ms  ave: 0ms", ""}));
}

TEST_F(PingWindow, ClosingDuringARunLetsTheWorkersGo) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    bulk->setCurrentText("20");
    repeat->setChecked(true);
    interval->setText("0");
    form->PingBtClick();
    // Closed at once: the workers wait for their "Sending" lines to be
    // appended, and some results may already be queued for the window.
    form->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form.isNull());
    EXPECT_TRUE(PumpUntil([] { return TPingThread::LiveCount() == 0; }, 30000));
}

TEST_F(PingWindow, ClosingWithResultsQueuedDiscardsThem) {
    REQUIRE_ECHO();
    host->setText("127.0.0.1");
    bulk->setCurrentText("10");
    // Each worker waits for its "Sending" line; once the last line is in,
    // the workers still listed end without this thread dispatching their
    // completions, which stay queued.  The pump that took the last line may
    // already have taken every completion too; then the run is repeated.
    int listed = 0;
    for (int run = 1; run <= 20 && listed == 0; ++run) {
        form->PingBtClick();
        ASSERT_TRUE(
            PumpUntil([&] { return CountPrefix(Lines(), "Sending") == 10 * run; }, 30000));
        listed = form->WorkerCount();
        if (listed == 0) {
            ASSERT_TRUE(PumpUntil([&] { return pingBt->isEnabled(); }, 30000));
        }
    }
    ASSERT_GE(listed, 1) << "every run's completions were taken with its last line";
    ASSERT_TRUE(test::WaitWithoutPumping([&] { return form->FinishedWorkerCount() == listed; }));
    form->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form.isNull());
    EXPECT_TRUE(PumpUntil([] { return TPingThread::LiveCount() == 0; }, 30000));
}

TEST_F(PingWindow, SaveProposesTheHostName) {
    host->setText("example.test");
    dialogs.fileAnswers.push_back(std::nullopt);
    form->SaveBtClick();
    EXPECT_EQ(dialogs.presets, QStringList{"example.test.txt"});
}

TEST(PingLauncher, ThreeClicksGiveThreeIndependentWindows) {
    app::TMainForm main;
    std::vector<QPointer<TToolForm>> forms;
    for (int i = 0; i < 3; ++i) {
        TToolForm* f = main.OpenTool("PingBt");
        ASSERT_NE(f, nullptr);
        EXPECT_NE(qobject_cast<TForm2*>(f), nullptr);
        forms.emplace_back(f);
    }
    EXPECT_NE(forms[0], forms[1]);
    EXPECT_NE(forms[1], forms[2]);
    EXPECT_EQ(main.ToolWindows().Count(), 3);
    EXPECT_EQ(main.CurrentInstance("TForm2"), forms[2].data());
    for (auto& f : forms)
        EXPECT_TRUE(f->isVisible());
    forms[1]->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(forms[1].isNull());
    auto left = main.ToolWindows().Windows();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], forms[0].data());
    EXPECT_EQ(left[1], forms[2].data());
    forms[0]->close();
    forms[2]->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(main.ToolWindows().Count(), 0);
}
