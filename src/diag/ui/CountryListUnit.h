#pragma once
// The Internet country codes list: a fixed reference table of top-level
// domains, for reading only.  While it is open, the button that opened it is
// disabled; the window that opened it closes it when it closes itself.

#include "shell/SecondaryForm.h"

#include <QIcon>
#include <QPointer>

class QAbstractButton;
class QTreeWidget;

namespace qordex::diag {

class TForm23 : public shell::TSecondaryForm {
    Q_OBJECT
public:
    // `openerButton` is disabled while the list is open.
    TForm23(QWidget* opener, QAbstractButton* openerButton);
    ~TForm23() override;

    QTreeWidget* CountryList() const { return countryList_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FillList();

    QTreeWidget* countryList_;
    QPointer<QAbstractButton> openerButton_;
};

// The glyph of the buttons that open the list: a globe.
QIcon CountryCodesGlyph();

// What the DNS and Whois windows' CodesBt does: opens the list (or raises
// the one already open) and keeps it in `list`.
void OpenCountryList(QWidget* opener, QAbstractButton* button, QPointer<TForm23>& list);

} // namespace qordex::diag
