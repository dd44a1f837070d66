#pragma once
// The DNS server list: a fixed reference list of public DNS servers.  A
// double-click (or Enter) on a server puts its address into the DNS window
// that opened the list, and closes the list; group title rows cannot be
// picked.  While the list is open, the button that opened it is disabled.

#include "shell/SecondaryForm.h"

#include <QPointer>

class QAbstractButton;
class QTreeWidget;

namespace qordex::diag {

class TForm3;

class TForm21 : public shell::TSecondaryForm {
    Q_OBJECT
public:
    // `opener` receives the pick; `openerButton` is disabled while the list is open.
    TForm21(TForm3* opener, QAbstractButton* openerButton);
    ~TForm21() override;

    // A double-click or Enter on the list: picks the selected row when it
    // names a server.
    void DNSListDblClick();

    QTreeWidget* DNSList() const { return dnsList_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FillList();

    QTreeWidget* dnsList_;
    QPointer<QAbstractButton> openerButton_;
};

} // namespace qordex::diag
