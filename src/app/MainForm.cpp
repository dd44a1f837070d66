#include "app/MainForm.h"

#include "app/ToolCatalog.h"
#include "platform/TempDir.h"
#include "shell/AboutForm.h"
#include "shell/Glyphs.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cmath>

namespace qordex::app {

using shell::Glyph;
using shell::GlyphKind;

namespace {

// WCAG relative luminance of a colour.
double Luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LauncherBackground(const QPalette& palette) {
    const QColor tint(210, 220, 230);
    const QColor text = palette.color(QPalette::WindowText);
    // The launcher's own blue-grey wherever the desktop's text reads on it.
    if (ContrastRatio(tint, text) >= 4.5)
        return tint;
    // A dark desktop: its window colour, given the same blue-grey hue.
    const QColor window = palette.color(QPalette::Window);
    const QColor tinted = QColor::fromHsvF(tint.hsvHueF(), tint.hsvSaturationF(), window.valueF());
    return ContrastRatio(tinted, text) >= 4.5 ? tinted : window;
}

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
    FollowDesktopColours();

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

void TMainForm::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(rect(), LauncherBackground(palette()));
    QWidget::paintEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    QCoreApplication::quit();
}

void TMainForm::FollowDesktopColours() {
    // The desktop's palette, with dimmed text that still reads on our background.
    QPalette pal = QApplication::palette(this);
    const QColor background = LauncherBackground(pal);
    for (QPalette::ColorRole role : {QPalette::ButtonText, QPalette::WindowText}) {
        if (ContrastRatio(pal.color(QPalette::Disabled, role), background) >= 2.5)
            continue;
        const QColor text = pal.color(QPalette::Active, role);
        auto mix = [](double a, double b) { return 0.55 * a + 0.45 * b; };
        pal.setColor(QPalette::Disabled, role,
                     QColor::fromRgbF(float(mix(text.redF(), background.redF())),
                                      float(mix(text.greenF(), background.greenF())),
                                      float(mix(text.blueF(), background.blueF()))));
    }
    setPalette(pal);
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ApplicationPaletteChange)
        FollowDesktopColours();
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized))
        return;
    // Without a notification area the launcher simply stays minimised.
    if (miniToTrayCheck_->isChecked() && QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon_->show();
        QMetaObject::invokeMethod(
            this, [this] { hide(); }, Qt::QueuedConnection);
    }
}

} // namespace qordex::app
