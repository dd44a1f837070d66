#include "diag/ui/DnsListUnit.h"

#include "diag/DnsServers.h"
#include "diag/ui/DnsUnit.h"
#include "shell/ReportList.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qordex::diag {

TForm21::TForm21(TForm3* opener, QAbstractButton* openerButton)
    : shell::TSecondaryForm(QStringLiteral("TForm21"), opener), openerButton_(openerButton) {
    setWindowTitle(QStringLiteral("DNS servers"));
    resize(634, 364);

    dnsList_ = shell::MakeReportList(this, QStringLiteral("DNSList"),
                                     {QStringLiteral("IP Address"), QStringLiteral("Domain name"),
                                      QStringLiteral("Description")},
                                     {105, 180, 325});
    dnsList_->setToolTip(QStringLiteral("Doubleclick to select"));
    dnsList_->installEventFilter(this);
    connect(dnsList_, &QTreeWidget::itemDoubleClicked, this, [this] { DNSListDblClick(); });

    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->addWidget(dnsList_);

    if (openerButton_)
        openerButton_->setEnabled(false);
}

TForm21::~TForm21() {
    if (openerButton_)
        openerButton_->setEnabled(true);
}

void TForm21::showEvent(QShowEvent* event) {
    shell::TSecondaryForm::showEvent(event);
    FillList();
}

void TForm21::FillList() {
    dnsList_->clear();
    for (const DnsServerRow& row : DnsServerRows()) {
        auto* item = new QTreeWidgetItem(QStringList{QString::fromLatin1(row.address),
                                                     QString::fromLatin1(row.domainName),
                                                     QString::fromLatin1(row.description)});
        dnsList_->addTopLevelItem(item);
        // A group title reads across the row instead of being cut at the
        // first column's edge.
        if (row.IsTitle()) {
            item->setFirstColumnSpanned(true);
            QFont bold = item->font(0);
            bold.setBold(true);
            item->setFont(0, bold);
        }
    }
}

bool TForm21::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dnsList_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            DNSListDblClick();
            return true;
        }
    }
    return shell::TSecondaryForm::eventFilter(watched, event);
}

void TForm21::DNSListDblClick() {
    const QList<QTreeWidgetItem*> selected = dnsList_->selectedItems();
    if (selected.isEmpty() || selected.front()->text(1).isEmpty())
        return; // nothing chosen, or a group title
    const QString address = selected.front()->text(0);
    WithOpener<TForm3>([&](TForm3& dns) { dns.ServerPicked(address); });
    close();
}

} // namespace qordex::diag
