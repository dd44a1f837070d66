#include "diag/ui/NetinfoUnit.h"

#include "diag/IpHlpApi.h"
#include "diag/IpThread.h"
#include "diag/NetInfoCommands.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Memo.h"

#include <QButtonGroup>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPixmap>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace qordex::diag {

namespace {

// The pages in their order; the command table names the page of each button.
const char* const kPages[] = {
    "Network Configuration",
    "Managing Network Adapters",
    "Managing Interfaces",
    "IP Addresses",
    "Using the ARP",
    "IP and ICMP",
    "Routing",
    "Notification",
    "TCP UDP Statistic",
    "Router",
};
const QString kNotificationPage = QStringLiteral("Notification");

// Width of the page area right of the output pane.
constexpr int kPagesWidth = 360;

const QString kPdfFilter = QStringLiteral("PDF (*.pdf)|*.pdf|All (*.*)|*.*");

// The command's view of the window: lines go to Memo1, questions to the
// "Query" prompt.  A window that went away meanwhile takes no more lines
// and answers every question with a cancel, so the command ends quietly.
class WindowIO : public NetInfoIO {
public:
    WindowIO(TNetInfoForm* form, shell::TMemo* memo) : form_(form), memo_(memo) {}

    void Line(const std::string& line) override {
        if (memo_)
            memo_->AddBytes(line);
    }
    std::optional<std::string> Ask(const std::string& prompt) override {
        if (!form_)
            return std::nullopt;
        auto answer = shell::Dialogs().InputText(form_, QStringLiteral("Query"),
                                                 QString::fromStdString(prompt), QString());
        if (!answer || !form_)
            return std::nullopt;
        return answer->toStdString();
    }
    void Error(const std::string& message) override {
        shell::Dialogs().Message(form_, QMessageBox::Critical, QStringLiteral("Net information"),
                                 QString::fromStdString(message), QMessageBox::Ok);
    }

private:
    QPointer<TNetInfoForm> form_;
    QPointer<shell::TMemo> memo_;
};

enum class PrinterGlyph { Print, Setup };

// The glyphs of the two printer buttons, drawn like the frame's own.
QIcon MakePrinterGlyph(PrinterGlyph kind) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(Qt::white);
    p.drawRect(4, 1, 7, 5); // paper going in
    p.setBrush(QColor(170, 175, 185));
    p.drawRect(1, 6, 13, 6); // body
    p.setBrush(Qt::white);
    p.drawRect(4, 10, 7, 4); // paper coming out
    if (kind == PrinterGlyph::Setup) {
        p.setPen(QPen(QColor(30, 90, 200), 2));
        p.drawLine(10, 15, 15, 10); // a screwdriver stroke across the body
    } else {
        p.setPen(QColor(40, 160, 60));
        p.drawPoint(12, 8);
    }
    return QIcon(pm);
}

// The page tabs on as many rows as their captions need, so that every page
// stays in sight; the tab widget's own single-row bar is hidden.  Flat
// buttons light up under the mouse, as hot-tracking tabs do.
QWidget* MakeTabRows(QTabWidget* tabs, int width) {
    auto* rows = new QWidget;
    rows->setObjectName(QStringLiteral("PageControl1Tabs"));
    rows->setFixedWidth(width);
    auto* box = new QVBoxLayout(rows);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    auto* group = new QButtonGroup(rows);
    group->setExclusive(true);
    QHBoxLayout* row = nullptr;
    int used = 0;
    for (int i = 0; i < tabs->count(); ++i) {
        auto* bt = new QToolButton(rows);
        bt->setText(tabs->tabText(i));
        bt->setCheckable(true);
        bt->setAutoRaise(true);
        bt->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        const int w = bt->sizeHint().width();
        if (!row || used + w > width) {
            row = new QHBoxLayout;
            row->setSpacing(0);
            box->addLayout(row);
            used = 0;
        }
        row->addWidget(bt);
        used += w;
        group->addButton(bt, i);
    }
    QObject::connect(group, &QButtonGroup::idClicked, tabs, &QTabWidget::setCurrentIndex);
    QObject::connect(tabs, &QTabWidget::currentChanged, group, [group](int i) {
        if (QAbstractButton* bt = group->button(i))
            bt->setChecked(true);
    });
    if (QAbstractButton* bt = group->button(tabs->currentIndex()))
        bt->setChecked(true);
    tabs->tabBar()->hide();
    return rows;
}

// The tables are wider than a portrait page in an 11-point face (the route
// table by a third): the face shrinks until the widest line fits, down to a
// size that is still legible; a line still too wide then is wrapped.
QStringList FitLinesToWidth(const QStringList& lines, QFont& font, QPaintDevice* device,
                            int width) {
    constexpr qreal kSmallestPoints = 6.0;
    auto widest = [&] {
        const QFontMetrics m(font, device);
        int w = 0;
        for (const QString& line : lines)
            w = std::max(w, m.horizontalAdvance(line));
        return w;
    };
    for (int w = widest(); w > width && font.pointSizeF() > kSmallestPoints; w = widest()) {
        const qreal scaled = font.pointSizeF() * width / w;
        // Glyph widths do not scale exactly: step down at least a little each time.
        font.setPointSizeF(std::max(kSmallestPoints, std::min(scaled, font.pointSizeF() - 0.25)));
    }
    const QFontMetrics m(font, device);
    QStringList fitted;
    for (const QString& line : lines) {
        QString rest = line;
        while (m.horizontalAdvance(rest) > width) {
            // The longest head that fits, and at least one character.
            int lo = 1, hi = int(rest.size()) - 1;
            while (lo < hi) {
                const int mid = (lo + hi + 1) / 2;
                if (m.horizontalAdvance(rest.left(mid)) <= width)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            fitted << rest.left(lo);
            rest = rest.mid(lo);
        }
        fitted << rest;
    }
    return fitted;
}

} // namespace

TNetInfoForm::TNetInfoForm(QWidget* parent) : TToolForm(QStringLiteral("TNetInfoForm"), parent) {
    setWindowTitle(QStringLiteral("Net information"));
    resize(800, 480);

    memo1_ = new shell::TMemo(this);
    memo1_->setObjectName(QStringLiteral("Memo1"));
    memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The tables are printf layouts: their columns line up only in a fixed font.
    memo1_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto* clearBt = MakeClearButton();
    auto* saveBt = MakeSaveButton();
    auto* printBt =
        shell::MakeFlatButton(this, QStringLiteral("PrintBt"), QStringLiteral("Print memo"),
                              MakePrinterGlyph(PrinterGlyph::Print));
    auto* prnConfigBt = shell::MakeFlatButton(this, QStringLiteral("PrnConfigBt"),
                                              QStringLiteral("Printer configuration"),
                                              MakePrinterGlyph(PrinterGlyph::Setup));
    connect(printBt, &QToolButton::clicked, this, [this] { PrintBtClick(); });
    connect(prnConfigBt, &QToolButton::clicked, this, [this] { PrnConfigBtClick(); });

    pageControl1_ = new QTabWidget(this);
    pageControl1_->setObjectName(QStringLiteral("PageControl1"));
    for (const char* caption : kPages)
        MakePage(QString::fromLatin1(caption));

    for (const NetInfoCommand& command : NetInfoCommands()) {
        QWidget* page = MakePage(QString::fromStdString(command.page));
        QPushButton* bt = MakeCommandButton(page, QString::fromStdString(command.button),
                                            QString::fromStdString(command.caption));
        const NetInfoCommand* cmd = &command; // the table lives for the whole run
        connect(bt, &QPushButton::clicked, this, [this, cmd] { RunCommand(*cmd); });
    }
    BuildNotificationPage(MakePage(kNotificationPage));
    for (int i = 0; i < pageControl1_->count(); ++i)
        if (auto* box = qobject_cast<QVBoxLayout*>(pageControl1_->widget(i)->layout()))
            box->addStretch(1);

    auto* tools = new QHBoxLayout;
    tools->setSpacing(2);
    for (QToolButton* bt : {clearBt, saveBt, printBt, prnConfigBt})
        tools->addWidget(bt);
    tools->addStretch(1);

    auto* right = new QVBoxLayout;
    right->addLayout(tools);
    right->setSpacing(2);
    right->addWidget(MakeTabRows(pageControl1_, kPagesWidth));
    right->addWidget(pageControl1_, 1);

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    outer->addWidget(memo1_, 1);
    outer->addLayout(right);
    pageControl1_->setFixedWidth(kPagesWidth);

    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

TNetInfoForm::~TNetInfoForm() {
    StopWatchers();
    // The window's requests to forward end with it, as everything it runs.
    WithdrawRouterRequests();
    // A set-up dialog still open refers to the printer, which goes before our children.
    qDeleteAll(findChildren<QPageSetupDialog*>());
}

QWidget* TNetInfoForm::MakePage(const QString& caption) {
    for (int i = 0; i < pageControl1_->count(); ++i)
        if (pageControl1_->tabText(i) == caption)
            return pageControl1_->widget(i);
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->setContentsMargins(8, 8, 8, 8);
    box->setSpacing(4);
    pageControl1_->addTab(page, caption);
    return page;
}

QPushButton* TNetInfoForm::MakeCommandButton(QWidget* page, const QString& name,
                                             const QString& caption) {
    auto* bt = new QPushButton(caption, page);
    bt->setObjectName(name);
    bt->setFixedWidth(180);
    if (auto* box = qobject_cast<QBoxLayout*>(page->layout()))
        box->addWidget(bt);
    return bt;
}

void TNetInfoForm::BuildNotificationPage(QWidget* page) {
    auto* box = qobject_cast<QVBoxLayout*>(page->layout());
    auto addPair = [&](const QString& name, const QString& caption, const QString& cancelName) {
        auto* row = new QHBoxLayout;
        auto* bt = new QPushButton(caption, page);
        bt->setObjectName(name);
        bt->setFixedWidth(180);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), page);
        cancel->setObjectName(cancelName);
        cancel->setEnabled(false);
        row->addWidget(bt);
        row->addWidget(cancel);
        row->addStretch(1);
        box->addLayout(row);
        return std::pair{bt, cancel};
    };
    std::tie(btNotifyAddrChange_, btCancelNotifyAddrChange_) =
        addPair(QStringLiteral("BtNotifyAddrChange"), QStringLiteral("NotifyAddrChange"),
                QStringLiteral("BtCancelNotifyAddrChange"));
    std::tie(btNotifyRouteChange_, btCancelNotifyRouteChange_) =
        addPair(QStringLiteral("BtNotifyRouteChange"), QStringLiteral("NotifyRouteChange"),
                QStringLiteral("BtCancelNotifyRouteChange"));
    connect(btNotifyAddrChange_, &QPushButton::clicked, this,
            [this] { BtNotifyAddrChangeClick(); });
    connect(btNotifyRouteChange_, &QPushButton::clicked, this,
            [this] { BtNotifyRouteChangeClick(); });
    connect(btCancelNotifyAddrChange_, &QPushButton::clicked, this,
            [this] { BtCancelNotifyAddrChangeClick(); });
    connect(btCancelNotifyRouteChange_, &QPushButton::clicked, this,
            [this] { BtCancelNotifyRouteChangeClick(); });
}

void TNetInfoForm::RunCommand(const NetInfoCommand& command) {
    QPointer<TNetInfoForm> self(this);
    WindowIO io(this, memo1_);
    QString failure;
    try {
        command.run(io);
    } catch (const std::exception& e) {
        failure = QString::fromStdString(e.what());
    } catch (...) {
        // Nothing may cross the event loop; say at least that the command failed.
        failure = QStringLiteral("%1 failed.").arg(QString::fromStdString(command.caption));
    }
    if (!failure.isEmpty())
        shell::ShowError(self, failure);
}

// ---- Change watchers -----------------------------------------------------

bool TNetInfoForm::WatcherRunning(int kind) const {
    return (kind == 1 || kind == 2) && running_[kind - 1];
}

const TWaitingThread* TNetInfoForm::Watcher(int kind) const {
    return (kind == 1 || kind == 2) ? watchers_[kind - 1].get() : nullptr;
}

void TNetInfoForm::StartWatcher(int kind, const char* text) {
    const int slot = kind - 1;
    if (running_[slot])
        return;
    std::unique_ptr<TWaitingThread> watcher;
    try {
        watchers_[slot].reset(); // an ended watcher of this kind
        watcher = std::make_unique<TWaitingThread>(kind, text);
    } catch (const std::exception& e) {
        shell::ShowError(this, QString::fromStdString(e.what()));
        return;
    }
    // Both reports arrive queued on this thread, and the watcher is owned by
    // the window, which stops it before it goes: neither can outlive us.
    watcher->OnChange = [this](TWaitingThread&, const std::string& line) {
        memo1_->AddBytes(line);
    };
    watcher->OnTerminate = [this](TWaitingThread&, int k) { WatcherEnded(k); };
    watchers_[slot] = std::move(watcher);
    running_[slot] = true;
    btNotifyAddrChange_->setEnabled(false);
    btNotifyRouteChange_->setEnabled(false);
    (kind == TWaitingThread::kAddrChange ? btCancelNotifyAddrChange_ : btCancelNotifyRouteChange_)
        ->setEnabled(true);
}

void TNetInfoForm::WatcherEnded(int kind) {
    if (kind != 1 && kind != 2)
        return;
    running_[kind - 1] = false;
    (kind == TWaitingThread::kAddrChange ? btCancelNotifyAddrChange_ : btCancelNotifyRouteChange_)
        ->setEnabled(false);
    // Once no watcher runs, either may be started again.
    if (!running_[0] && !running_[1]) {
        btNotifyAddrChange_->setEnabled(true);
        btNotifyRouteChange_->setEnabled(true);
    }
}

void TNetInfoForm::BtNotifyAddrChangeClick() {
    StartWatcher(TWaitingThread::kAddrChange, "AddressChanged");
}

void TNetInfoForm::BtNotifyRouteChangeClick() {
    StartWatcher(TWaitingThread::kRouteChange, "RouteChanged");
}

void TNetInfoForm::BtCancelNotifyAddrChangeClick() {
    if (watchers_[0])
        watchers_[0]->Terminate();
    btCancelNotifyAddrChange_->setEnabled(false);
}

void TNetInfoForm::BtCancelNotifyRouteChangeClick() {
    if (watchers_[1])
        watchers_[1]->Terminate();
    btCancelNotifyRouteChange_->setEnabled(false);
}

void TNetInfoForm::StopWatchers() {
    // Ask both at once, then wait for each: the wait is one wake-up, not two.
    for (auto& w : watchers_)
        if (w)
            w->Terminate();
    for (auto& w : watchers_)
        w.reset();
    running_[0] = running_[1] = false;
}

void TNetInfoForm::Shutdown() {
    StopWatchers();
    WithdrawRouterRequests();
}

// ---- Printing ------------------------------------------------------------

void TNetInfoForm::PrintBtClick() {
    if (!printer_)
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrinter& printer = *printer_;
    // Without a printer on this machine the memo goes to a PDF file the user names.
    const bool toPdf = QPrinterInfo::availablePrinters().isEmpty() ||
                       printer.outputFormat() == QPrinter::PdfFormat;
    if (toPdf) {
        auto chosen = shell::Dialogs().SaveFileName(this, QStringLiteral("Print to PDF file"),
                                                    QString(), kPdfFilter, QStringLiteral("pdf"));
        if (!chosen)
            return;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(shell::ApplyDefaultExtension(*chosen, QStringLiteral("pdf")));
    } else {
        printer.setOutputFormat(QPrinter::NativeFormat);
    }
    printer.setDocName(QStringLiteral("Qordex -  Net Information"));
    PrintLines(printer);
}

void TNetInfoForm::PrintLines(QPrinter& printer) {
    QPainter painter;
    if (!painter.begin(&printer)) {
        shell::ShowError(
            this, printer.outputFileName().isEmpty()
                      ? QStringLiteral("Cannot print.")
                      : QStringLiteral("Cannot create file \"%1\".").arg(printer.outputFileName()));
        return;
    }
    // Point sizes follow the printer's resolution, positions are in its pixels.
    QFont title(QStringLiteral("Arial"), 16, QFont::Bold);
    title.setStyleHint(QFont::SansSerif);
    title.setUnderline(true);
    QFont body(QStringLiteral("Courier New"), 11);
    body.setStyleHint(QFont::Monospace);
    body.setFixedPitch(true);
    constexpr int kLeft = 150;
    constexpr int kTop = 30;

    const int pageHeight = painter.device()->height();
    // The same margin on the right as on the left.
    const int lineWidth = std::max(1, painter.device()->width() - 2 * kLeft);
    painter.setFont(title);
    painter.setPen(Qt::blue);
    const QFontMetrics titleMetrics(title, painter.device());
    painter.drawText(kLeft, kTop + titleMetrics.ascent(),
                     QStringLiteral("Qordex -  Net Information"));

    const QStringList lines = FitLinesToWidth(memo1_->Lines(), body, painter.device(), lineWidth);
    painter.setFont(body);
    painter.setPen(Qt::black);
    const QFontMetrics bodyMetrics(body, painter.device());
    const int lineHeight = bodyMetrics.height();
    int y = kTop + 2 * titleMetrics.height();
    for (const QString& line : lines) {
        // A line that would not fit whole goes to the top of the next page.
        if (y + lineHeight > pageHeight) {
            printer.newPage();
            y = kTop;
        }
        painter.drawText(kLeft, y + bodyMetrics.ascent(), line);
        y += lineHeight;
    }
    painter.end();
}

void TNetInfoForm::PrnConfigBtClick() {
    if (!printer_)
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    // Window-modal and left open on its own: the window keeps its event loop.
    auto* dialog = new QPageSetupDialog(printer_.get(), this);
    dialog->setObjectName(QStringLiteral("PrinterSetupDialog"));
    dialog->setWindowTitle(QStringLiteral("Printer configuration"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

} // namespace qordex::diag
