#include "diag/ui/CountryListUnit.h"

#include "diag/CountryCodes.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qordex::diag {

TForm23::TForm23(QWidget* opener, QAbstractButton* openerButton)
    : shell::TSecondaryForm(QStringLiteral("TForm23"), opener), openerButton_(openerButton) {
    setWindowTitle(QStringLiteral("Internet Country Codes"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    resize(222, 272);

    countryList_ = new QTreeWidget(this);
    countryList_->setObjectName(QStringLiteral("CountryList"));
    countryList_->setHeaderLabels({QStringLiteral("Code"), QStringLiteral("Country")});
    countryList_->header()->setMinimumSectionSize(50);
    countryList_->setColumnWidth(0, 50);
    countryList_->setColumnWidth(1, 150);
    countryList_->setRootIsDecorated(false);
    countryList_->setItemsExpandable(false);
    countryList_->setExpandsOnDoubleClick(false);
    countryList_->setSortingEnabled(false);
    countryList_->header()->setSectionsClickable(false);
    countryList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    countryList_->setSelectionMode(QAbstractItemView::SingleSelection);
    countryList_->setEditTriggers(QAbstractItemView::NoEditTriggers);

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

void OpenCountryList(QWidget* opener, QAbstractButton* button, QPointer<TForm23>& list) {
    if (list) {
        list->raise();
        return;
    }
    list = new TForm23(opener, button);
    list->show();
}

} // namespace qordex::diag
