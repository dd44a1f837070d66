#include "shell/Dialogs.h"
#include "shell/MainForm.h"
#include "shell/Memo.h"
#include "shell/SecondaryForm.h"
#include "shell/ToolCatalog.h"
#include "shell/ToolForm.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::shell;

namespace {

// A minimal tool window: one output pane, Save proposes the host field.
class FakeTool : public TToolForm {
public:
    FakeTool() : TToolForm(QStringLiteral("TFake")) {
        memo = new TMemo(this);
        host = new QLineEdit(this);
        MakeClearButton();
        MakeSaveButton();
    }
    TMemo* memo;
    QLineEdit* host;
    int firstShows = 0;
    int shutdowns = 0;

protected:
    void FirstShow() override { ++firstShows; }
    void Shutdown() override { ++shutdowns; }
    TMemo* SavePane() const override { return memo; }
    QString SavePresetName() const override { return host->text(); }
};

QString ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing>");
    return QString::fromUtf8(f.readAll());
}

} // namespace

TEST(Launcher, HasEighteenToolButtonsWithTheirCaptions) {
    TMainForm main;
    EXPECT_EQ(main.windowTitle(), "Qordex");
    EXPECT_EQ(main.size(), QSize(389, 262));
    ASSERT_EQ(ToolCatalog().size(), 18u);
    for (const ToolEntry& t : ToolCatalog()) {
        auto* bt = main.findChild<QToolButton*>(t.button);
        ASSERT_NE(bt, nullptr) << t.button.toStdString();
        EXPECT_EQ(bt->text(), t.caption);
        EXPECT_EQ(bt->geometry(), QRect(t.x, t.y, 120, 32));
        if (!t.create) {
            EXPECT_FALSE(bt->isEnabled());
            EXPECT_EQ(bt->toolTip(), "Not available yet");
        }
    }
    auto* hide = main.findChild<QCheckBox*>("HideWinCheck");
    auto* tray = main.findChild<QCheckBox*>("MiniToTrayCheck");
    ASSERT_TRUE(hide && tray);
    EXPECT_EQ(hide->text(), "Hide running utilities");
    EXPECT_EQ(tray->text(), "Minimize to Trayicon");
    EXPECT_FALSE(hide->isChecked());
    EXPECT_FALSE(tray->isChecked());
}

TEST(Launcher, ListHoldsOpenWindowsAndEachRemovesOnlyItself) {
    TMainForm main;
    QPointer<FakeTool> a = new FakeTool, b = new FakeTool, c = new FakeTool;
    for (FakeTool* t : {a.data(), b.data(), c.data()}) {
        main.Adopt(t);
        t->show();
    }
    EXPECT_EQ(main.ToolWindows().Count(), 3);
    EXPECT_EQ(main.CurrentInstance("TFake"), c.data());
    b->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(b.isNull()) << "a closed tool window is freed";
    auto left = main.ToolWindows().Windows();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], a.data());
    EXPECT_EQ(left[1], c.data());
    // Closing does not clear the current instance of the class.
    c->close();
    EXPECT_EQ(main.ToolWindows().Count(), 1);
    delete a.data();
}

TEST(Launcher, HideRunningUtilitiesHidesAndShowsListedWindows) {
    TMainForm main;
    main.show();
    auto* hide = main.findChild<QCheckBox*>("HideWinCheck");
    FakeTool* a = new FakeTool;
    main.Adopt(a);
    a->show();
    QTest::mouseClick(hide, Qt::LeftButton);
    EXPECT_TRUE(hide->isChecked());
    EXPECT_FALSE(a->isVisible());
    FakeTool* later = new FakeTool; // opened while checked: appears normally
    main.Adopt(later);
    later->show();
    EXPECT_TRUE(later->isVisible());
    QTest::mouseClick(hide, Qt::LeftButton);
    EXPECT_TRUE(a->isVisible());
    EXPECT_TRUE(later->isVisible());
    delete a;
    delete later;
    EXPECT_EQ(main.ToolWindows().Count(), 0);
}

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
        {"report", "report.txt"},       {"report.txt", "report.txt"},
        {"report.log", "report.log"},   {"archive.tar.gz", "archive.tar.gz"},
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
