#include "platform/MessageLoop.h"
#include "shell/AboutForm.h"
#include "shell/Dialogs.h"
#include "shell/Memo.h"
#include "shell/SecondaryForm.h"
#include "shell/ToolForm.h"
#include "support/FakeTool.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::shell;
using qordex::test::FakeTool;

namespace {

QString ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing>");
    return QString::fromUtf8(f.readAll());
}

} // namespace

TEST(ToolFrame, FirstShowRunsOnceAndCloseShutsDown) {
    FakeTool* t = new FakeTool;
    t->show();
    t->hide();
    t->show();
    EXPECT_EQ(t->firstShows, 1);
    QPointer<FakeTool> guard = t;
    int* shutdowns = &t->shutdowns;
    (void)shutdowns;
    t->close();
    EXPECT_EQ(guard->shutdowns, 1);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
}

TEST(ToolFrame, ClearEmptiesTheOutputPane) {
    FakeTool t;
    t.memo->AddLine("one");
    QTest::mouseClick(t.findChild<QToolButton*>("ClearBt"), Qt::LeftButton);
    EXPECT_TRUE(t.memo->Lines().isEmpty());
}

TEST(ToolFrame, SaveAppendsTxtOnlyWhenTheNameHasNoExtension) {
    struct Case {
        const char* chosen;
        const char* written;
    } cases[] = {
        {"report", "report.txt"},
        {"report.txt", "report.txt"},
        {"report.log", "report.log"},
        {"archive.tar.gz", "archive.tar.gz"},
        {"sub.dir/report", "sub.dir/report.txt"},
    };
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("sub.dir"));
    for (const Case& c : cases) {
        FakeTool t;
        t.host->setText("example.org");
        t.memo->AddLine("first line");
        t.memo->AddLine("second line");
        test::ScriptedDialogs dialogs;
        dialogs.fileAnswers.push_back(dir.filePath(c.chosen));
        QTest::mouseClick(t.findChild<QToolButton*>("SaveBt"), Qt::LeftButton);
        ASSERT_EQ(dialogs.presets.size(), 1);
        EXPECT_EQ(dialogs.presets[0], "example.org.txt");
        EXPECT_EQ(ReadFile(dir.filePath(c.written)), "first line\nsecond line\n") << c.chosen;
    }
}

TEST(ToolFrame, CancelledSaveWritesNothingAndSaveReplacesAFile) {
    QTemporaryDir dir;
    FakeTool t;
    t.memo->AddLine("new");
    test::ScriptedDialogs dialogs;
    dialogs.fileAnswers.push_back(std::nullopt);
    t.SaveBtClick();
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
    QFile old(dir.filePath("out.txt"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old content that is longer\n");
    old.close();
    dialogs.fileAnswers.push_back(dir.filePath("out.txt"));
    t.SaveBtClick();
    EXPECT_EQ(ReadFile(dir.filePath("out.txt")), "new\n");
}

TEST(Dialogs, FilterConversion) {
    EXPECT_EQ(ToQtFilter(kShortFilter), "Text (*.txt);;All (*.*)");
    EXPECT_EQ(ToQtFilter(kLongFilter), "Text (*.txt);;Htm (*.htm);;Html (*.html);;All (*.*)");
}

TEST(SecondaryForm, WritesIntoItsOpenerAndNowhereOnceItClosed) {
    auto* opener = new FakeTool;
    TSecondaryForm list("TListForm", opener);
    EXPECT_TRUE(list.WithOpener<FakeTool>([](FakeTool& t) { t.host->setText("chosen"); }));
    EXPECT_EQ(opener->host->text(), "chosen");
    delete opener;
    EXPECT_FALSE(list.WithOpener<FakeTool>([](FakeTool&) { FAIL() << "opener is gone"; }));
}
