#pragma once
// The DNS tool window: the system resolver (names to addresses and back)
// beside raw A, PTR and MX queries to a chosen server, whose decoded
// response and byte dump it prints.  It opens the DNS server list, which
// writes the picked server back into this window.

#include "shell/ToolForm.h"

#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace qordex {
class TWSocket;
}

namespace qordex::shell {
class TMemo;
}

namespace qordex::diag {

class TDnsQuery;
class TForm21;
class TForm23;

class TForm3 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    // The controls' handlers, as the user triggers them.
    void LookUpBtClick();
    void ReverseLookUpBtClick();
    void CancelBtClick();
    void ALookUpBtClick();
    void PTRLookUpBtClick();
    void MXLookUpBtClick();
    void DNSCheckClick();
    void DNSlistBtClick();
    void CodesBtClick();

    // A server picked in the DNS server list this window opened: the check
    // box becomes checked (with its usual effect) and the address is put
    // into the server field.
    void ServerPicked(const QString& address);

    // The DNS server list this window opened, while it is open.
    TForm21* DnsListWindow() const;
    // The country codes list this window opened, while it is open.
    TForm23* CountryListWindow() const;
    TDnsQuery& DnsQuery1() { return *dnsQuery1_; }

protected:
    void FirstShow() override;
    void Shutdown() override;
    shell::TMemo* SavePane() const override { return Memo1; }
    QString SavePresetName() const override;

private:
    void StartResolver(bool reverse);
    void WSocket1DnsLookupDone(std::uint16_t error);
    void StartQuery(int (TDnsQuery::*lookup)(const std::string&));
    void DnsQuery1RequestDone(std::uint16_t error);
    void FillDefaultServer();
    void AddLines(const std::vector<std::string>& lines);
    // The system-resolver buttons after a lookup: usable unless a server is
    // being typed.
    void RestoreResolverButtons();

    QLineEdit* HostEdit;
    QLineEdit* DNSServerEdit;
    QLineEdit* PortEdit;
    QCheckBox* DNSCheck;
    QPushButton* LookUpBt;
    QPushButton* ReverseLookUpBt;
    QPushButton* CancelBt;
    QPushButton* ALookUpBt;
    QPushButton* PTRLookUpBt;
    QPushButton* MXLookUpBt;
    QToolButton* CodesBt;
    QToolButton* DNSlistBt;
    shell::TMemo* Memo1;

    std::unique_ptr<TWSocket> WSocket1;
    std::unique_ptr<TDnsQuery> dnsQuery1_;
    QPointer<TForm21> dnsList_;
    QPointer<TForm23> codesList_;
};

} // namespace qordex::diag
