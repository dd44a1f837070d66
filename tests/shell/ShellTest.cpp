#include "platform/MessageLoop.h"
#include "shell/AboutForm.h"
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

TEST(Launcher, CheckBoxesAboutButtonTrayAndTemporaryFolder) {
    TMainForm main;
    auto* hide = main.findChild<QCheckBox*>("HideWinCheck");
    auto* tray = main.findChild<QCheckBox*>("MiniToTrayCheck");
    auto* about = main.findChild<QPushButton*>("AboutBt");
    ASSERT_TRUE(hide && tray && about);
    EXPECT_EQ(hide->pos(), QPoint(8, 237));
    EXPECT_EQ(tray->pos(), QPoint(149, 237));
    EXPECT_EQ(hide->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(tray->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(about->text(), "About...");
    EXPECT_EQ(about->geometry(), QRect(300, 236, 80, 20));
    EXPECT_TRUE(about->isFlat());
    EXPECT_EQ(about->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(main.palette().color(QPalette::Window), QColor(210, 220, 230));
    EXPECT_FALSE(main.windowFlags() & Qt::WindowMaximizeButtonHint);
    auto* trayIcon = main.findChild<QSystemTrayIcon*>("TrayIcon");
    ASSERT_NE(trayIcon, nullptr);
    EXPECT_EQ(trayIcon->toolTip(), "Qordex, click to restore...");
    EXPECT_FALSE(trayIcon->isVisible());
    ASSERT_FALSE(main.TempDirectory().empty());
    EXPECT_EQ(main.TempDirectory().back(), '/');
}

TEST(Launcher, MinimisingLeavesToolWindowsAndTrayClickRestores) {
    TMainForm main;
    main.show();
    auto* trayCheck = main.findChild<QCheckBox*>("MiniToTrayCheck");
    auto* trayIcon = main.findChild<QSystemTrayIcon*>("TrayIcon");
    ASSERT_TRUE(trayCheck && trayIcon);
    QPointer<FakeTool> tool = new FakeTool;
    main.Adopt(tool);
    tool->show();
    for (bool toTray : {false, true}) {
        trayCheck->setChecked(toTray);
        main.setWindowState(Qt::WindowMinimized);
        PumpUntil([] { return false; }, 50);
        EXPECT_TRUE(tool->isVisible()) << "tool windows stay on screen";
        EXPECT_FALSE(tool->isMinimized());
        if (toTray && QSystemTrayIcon::isSystemTrayAvailable()) {
            EXPECT_FALSE(main.isVisible());
            EXPECT_TRUE(trayIcon->isVisible());
        } else {
            // Without a notification area the launcher simply minimises.
            EXPECT_TRUE(main.isVisible());
            EXPECT_TRUE(main.isMinimized());
            EXPECT_FALSE(trayIcon->isVisible());
        }
        main.TrayIconClick();
        EXPECT_TRUE(main.isVisible());
        EXPECT_FALSE(main.isMinimized());
        EXPECT_FALSE(trayIcon->isVisible());
    }
    delete tool.data();
}

TEST(Launcher, UncheckingHideKeepsAMinimisedWindowMinimised) {
    TMainForm main;
    auto* hide = main.findChild<QCheckBox*>("HideWinCheck");
    QPointer<FakeTool> normal = new FakeTool, small = new FakeTool;
    for (FakeTool* t : {normal.data(), small.data()}) {
        main.Adopt(t);
        t->show();
    }
    small->showMinimized();
    hide->click();
    EXPECT_FALSE(normal->isVisible());
    EXPECT_FALSE(small->isVisible());
    hide->click();
    EXPECT_TRUE(normal->isVisible());
    EXPECT_TRUE(small->isVisible());
    EXPECT_FALSE(normal->isMinimized());
    EXPECT_TRUE(small->isMinimized());
    delete normal.data();
    delete small.data();
}

TEST(AboutWindow, ContentAndCloseButton) {
    TMainForm main;
    main.show();
    bool seen = false;
    // The About window is modal: inspect and close it from inside its loop.
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<TAboutForm*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        seen = true;
        EXPECT_EQ(about->size(), QSize(365, 200));
        EXPECT_TRUE(about->windowFlags() & Qt::FramelessWindowHint);
        EXPECT_EQ(about->palette().color(QPalette::Window), QColor(235, 235, 235));
        auto* panel = about->findChild<QWidget*>("BakPanel");
        auto* icon = about->findChild<QLabel*>("IconImage");
        auto* name = about->findChild<QLabel*>("ProdNameLabel");
        auto* info = about->findChild<QLabel*>("InfoLabel");
        auto* close = about->findChild<QToolButton*>("CloseBt");
        ASSERT_TRUE(panel && icon && name && info && close);
        EXPECT_EQ(panel->geometry(), about->rect());
        EXPECT_EQ(icon->size(), QSize(128, 128));
        EXPECT_FALSE(icon->pixmap().isNull());
        EXPECT_EQ(name->text(), "Qordex");
        EXPECT_TRUE(name->font().bold() && name->font().italic());
        EXPECT_TRUE(info->wordWrap());
        EXPECT_TRUE(info->text().startsWith("version 4.0 (build 040000)\n\n"))
            << info->text().toStdString();
        EXPECT_EQ(close->toolTip(), "Close");
        // Centred on the screen.
        const QRect screen = about->screen()->geometry();
        EXPECT_LE((about->geometry().center() - screen.center()).manhattanLength(), 2);
        close->click();
    });
    main.AboutBtClick();
    EXPECT_TRUE(seen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(main.findChildren<TAboutForm*>().isEmpty()) << "destroyed when it closes";
}
