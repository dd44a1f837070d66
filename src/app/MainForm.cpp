#include "app/MainForm.h"

#include "app/ToolCatalog.h"
#include "platform/TempDir.h"
#include "shell/AboutForm.h"
#include "shell/Glyphs.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWindowStateChangeEvent>
#include <algorithm>

namespace qordex::app {

using shell::Glyph;
using shell::GlyphKind;

void ToolWindowList::Append(QWidget* w) {
    windows_.emplace_back(w);
}

void ToolWindowList::Remove(QWidget* w) {
    std::erase_if(windows_, [w](const QPointer<QWidget>& p) { return p.isNull() || p == w; });
}

bool ToolWindowList::Contains(QWidget* w) const {
    return std::any_of(windows_.begin(), windows_.end(),
                       [w](const QPointer<QWidget>& p) { return p == w; });
}

std::vector<QWidget*> ToolWindowList::Windows() const {
    std::vector<QWidget*> out;
    for (const auto& p : windows_)
        if (p)
            out.push_back(p);
    return out;
}

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    tempDir_ = SystemTempDirectory();
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Qordex"));
    setWindowIcon(Glyph(GlyphKind::App));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(389, 262);
    // The panel is laid out in pixels for a small 8-point face.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(210, 220, 230));
    setPalette(pal);

    int hue = 0;
    for (const ToolEntry& tool : ToolCatalog()) {
        auto* bt = new QToolButton(this);
        bt->setObjectName(tool.button);
        bt->setText(tool.caption);
        bt->setIcon(Glyph(GlyphKind::Tool, tool.caption.at(0), hue));
        hue += 20;
        bt->setIconSize(QSize(20, 20));
        bt->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        bt->setAutoRaise(true);
        bt->setGeometry(tool.x, tool.y, 120, 32);
        bt->setCursor(Qt::PointingHandCursor);
        if (!tool.create) {
            bt->setEnabled(false);
            bt->setToolTip(QStringLiteral("Not available yet"));
        }
        const QString name = tool.button;
        connect(bt, &QToolButton::clicked, this, [this, name] { OpenTool(name); });
    }

    hideWinCheck_ = new QCheckBox(QStringLiteral("Hide running utilities"), this);
    hideWinCheck_->setObjectName(QStringLiteral("HideWinCheck"));
    hideWinCheck_->move(8, 237);
    hideWinCheck_->adjustSize();
    hideWinCheck_->setCursor(Qt::PointingHandCursor);
    connect(hideWinCheck_, &QCheckBox::clicked, this, [this] { HideWinCheckClick(); });

    miniToTrayCheck_ = new QCheckBox(QStringLiteral("Minimize to Trayicon"), this);
    miniToTrayCheck_->setObjectName(QStringLiteral("MiniToTrayCheck"));
    miniToTrayCheck_->move(149, 237);
    miniToTrayCheck_->adjustSize();
    miniToTrayCheck_->setCursor(Qt::PointingHandCursor);

    auto* about = new QPushButton(QStringLiteral("About..."), this);
    about->setObjectName(QStringLiteral("AboutBt"));
    about->setFlat(true);
    about->setGeometry(300, 236, 80, 20);
    about->setCursor(Qt::PointingHandCursor);
    connect(about, &QPushButton::clicked, this, [this] { AboutBtClick(); });

    trayIcon_ = new QSystemTrayIcon(Glyph(GlyphKind::App), this);
    trayIcon_->setObjectName(QStringLiteral("TrayIcon"));
    trayIcon_->setToolTip(QStringLiteral("Qordex, click to restore..."));
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this] { TrayIconClick(); });
}

TMainForm::~TMainForm() {
    // Tool windows belong to the application, not to the launcher: closing the
    // launcher ends the program, and each window is shut down on the way.
    for (QWidget* w : toolWindows_.Windows())
        w->close();
}

TToolForm* TMainForm::CurrentInstance(const QString& className) const {
    return current_.value(className).data();
}

TToolForm* TMainForm::OpenTool(const QString& buttonName) {
    const auto& tools = ToolCatalog();
    auto it = std::find_if(tools.begin(), tools.end(),
                           [&](const ToolEntry& t) { return t.button == buttonName; });
    if (it == tools.end() || !it->create)
        return nullptr;
    QPointer<QToolButton> bt = findChild<QToolButton*>(buttonName);
    if (it->singleInstance) {
        if (bt && !bt->isEnabled())
            return nullptr;
        if (bt)
            bt->setEnabled(false);
    }
    TToolForm* form = it->create();
    Adopt(form);
    if (it->singleInstance)
        connect(form, &QObject::destroyed, this, [bt] {
            if (bt)
                bt->setEnabled(true);
        });
    form->show();
    return form;
}

void TMainForm::Adopt(TToolForm* form) {
    current_[form->ClassName()] = form;
    toolWindows_.Append(form);
    form->SetHost(this, this);
    connect(form, &QObject::destroyed, this, [this, form] { toolWindows_.Remove(form); });
}

void TMainForm::HideWinCheckClick() {
    const bool hide = hideWinCheck_->isChecked();
    for (QWidget* w : toolWindows_.Windows())
        w->setVisible(!hide);
}

void TMainForm::TrayIconClick() {
    showNormal();
    activateWindow();
    trayIcon_->hide();
}

void TMainForm::AboutBtClick() {
    shell::TAboutForm about(this);
    about.exec();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    QCoreApplication::quit();
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized))
        return;
    // Without a notification area the launcher simply stays minimised.
    if (miniToTrayCheck_->isChecked() && QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon_->show();
        QTimer::singleShot(0, this, [this] { hide(); });
    }
}

} // namespace qordex::app
