#include "diag/ui/CountryListUnit.h"

#include "diag/CountryCodes.h"
#include "shell/ReportList.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qordex::diag {

TForm23::TForm23(QWidget* opener, QAbstractButton* openerButton)
    : shell::TSecondaryForm(QStringLiteral("TForm23"), opener), openerButton_(openerButton) {
    setWindowTitle(QStringLiteral("Internet Country Codes"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    resize(222, 272);

    countryList_ = shell::MakeReportList(this, QStringLiteral("CountryList"),
                                         {QStringLiteral("Code"), QStringLiteral("Country")},
                                         {50, 150});
    countryList_->header()->setMinimumSectionSize(50);

    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->addWidget(countryList_);

    if (openerButton_)
        openerButton_->setEnabled(false);
}

TForm23::~TForm23() {
    if (openerButton_)
        openerButton_->setEnabled(true);
}

void TForm23::showEvent(QShowEvent* event) {
    shell::TSecondaryForm::showEvent(event);
    FillList();
}

void TForm23::FillList() {
    countryList_->clear();
    for (const CountryCodeRow& row : CountryCodeRows())
        countryList_->addTopLevelItem(new QTreeWidgetItem(
            QStringList{QString::fromLatin1(row.code), QString::fromLatin1(row.country)}));
}

QIcon CountryCodesGlyph() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 90, 60), 1.2));
    p.setBrush(QColor(120, 190, 230));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13)); // a globe
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(5, 1.5, 6, 13));
    p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
    return QIcon(pm);
}

void OpenCountryList(QWidget* opener, QAbstractButton* button, QPointer<TForm23>& list) {
    if (list) {
        list->raise();
        return;
    }
    list = new TForm23(opener, button);
    list->show();
}

} // namespace qordex::diag
