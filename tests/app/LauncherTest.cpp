#include "app/MainForm.h"
#include "app/ToolCatalog.h"
#include "platform/MessageLoop.h"
#include "shell/AboutForm.h"
#include "shell/ToolForm.h"
#include "support/Drain.h"
#include "support/FakeTool.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace qordex;
using namespace qordex::app;
using namespace qordex::shell;
using qordex::test::FakeTool;

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
    EXPECT_EQ(main.CurrentInstance("TFake"), c.data());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(main.ToolWindows().Count(), 1);
    // A window freed without a close (the program ending) leaves the list too.
    delete a.data();
    EXPECT_EQ(main.ToolWindows().Count(), 0);
}

TEST(Launcher, ToolWindowsReachTheLauncherOnlyAsTheirHost) {
    QPointer<FakeTool> alone = new FakeTool;
    EXPECT_EQ(alone->Host(), nullptr) << "a window opened without a launcher has no host";
    QPointer<FakeTool> first = new FakeTool(QStringLiteral("TForm3"));
    QPointer<FakeTool> second = new FakeTool(QStringLiteral("TForm3"));
    {
        TMainForm main;
        main.Adopt(first);
        main.Adopt(second);
        ASSERT_EQ(first->Host(), &main);
        // A secondary window of the first addresses the newest window of the class.
        EXPECT_EQ(first->Host()->CurrentInstance("TForm3"), second.data());
        EXPECT_EQ(first->Host()->CurrentInstance("TForm9"), nullptr);
        EXPECT_EQ(first->Host()->TempDirectory(), main.TempDirectory());
    }
    // The launcher went first (it closed them on its way): nothing reaches it.
    EXPECT_EQ(first->Host(), nullptr);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull() && second.isNull());
    delete alone.data();
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
    EXPECT_EQ(main.grab().toImage().pixelColor(385, 258), QColor(210, 220, 230));
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
        ASSERT_TRUE(test::DrainQueue()); // the launcher hides itself from the loop
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

namespace {

// A desktop theme with light text on dark windows.
QPalette DarkPalette() {
    QPalette p;
    const QColor window(45, 45, 48), text(230, 230, 230), dim(120, 120, 120);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, QColor(30, 30, 30));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Disabled, QPalette::WindowText, dim);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, dim);
    p.setColor(QPalette::Disabled, QPalette::Text, dim);
    return p;
}

// The most contrast any pixel of `area` has against `background`: the
// text drawn there, when there is text.
double BestContrast(const QImage& image, const QRect& area, const QColor& background) {
    double best = 1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            best = std::max(best, ContrastRatio(image.pixelColor(x, y), background));
    return best;
}

} // namespace

// What a person sees: the labels and enabled buttons read on the launcher's
// background under a light and under a dark desktop theme.
TEST(Launcher, ReadableUnderALightAndADarkTheme) {
    const QPalette saved = QApplication::palette();
    for (bool dark : {false, true}) {
        QApplication::setPalette(dark ? DarkPalette() : saved);
        TMainForm main;
        main.show();
        const QImage shot = main.grab().toImage();
        // QORDEX_SHOTS=folder keeps the pictures for a person to look at.
        if (const QString shots = qEnvironmentVariable("QORDEX_SHOTS"); !shots.isEmpty())
            shot.save(QDir(shots).filePath(dark ? "launcher-dark.png" : "launcher-light.png"));
        const QColor background = shot.pixelColor(385, 258);
        EXPECT_EQ(background.rgb(), LauncherBackground(main.palette()).rgb()) << dark;
        if (!dark) {
            EXPECT_EQ(background, QColor(210, 220, 230));
        }
        // The caption right of the icon of an enabled button, and the check
        // boxes' labels right of their boxes.
        for (const char* name : {"PingBt", "InfoBt"}) {
            QRect text = main.findChild<QToolButton*>(name)->geometry();
            text.setLeft(text.left() + 30);
            EXPECT_GE(BestContrast(shot, text, background), 4.5) << name << " dark " << dark;
        }
        for (const char* name : {"HideWinCheck", "MiniToTrayCheck"}) {
            QRect text = main.findChild<QCheckBox*>(name)->geometry();
            text.setLeft(text.left() + 20);
            EXPECT_GE(BestContrast(shot, text, background), 4.5) << name << " dark " << dark;
        }
        // A button of a tool not built yet is dimmed, yet legible.
        QRect dimmed = main.findChild<QToolButton*>("DNSBt")->geometry();
        dimmed.setLeft(dimmed.left() + 30);
        EXPECT_GE(BestContrast(shot, dimmed, background), 2.0) << "dark " << dark;
    }
    QApplication::setPalette(saved);
}
