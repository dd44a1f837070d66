#pragma once
// The Whois window: a registry (or any server), a query, the answer line by
// line.  The query itself is a TWhoisClient, shared with `qordex-cli whois`;
// the proxy panel sends it through a SOCKS 5 server.

#include "shell/ToolForm.h"

#include <QPointer>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QToolButton;

namespace qordex::shell {
class TMemo;
class TProxyPanel;
} // namespace qordex::shell

namespace qordex::diag {

class TForm23;
class TWhoisClient;

class TForm17 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm17(QWidget* parent = nullptr);
    ~TForm17() override;

    // The controls' handlers, as the user triggers them.
    void WhoisBtClick();
    void CancelBtClick();
    void ComboBox1Change();
    void Image1Click();
    void CodesBtClick();
    void ProxyBtClick();

    TWhoisClient& Client() { return *client_; }
    // The logo shown (index of the registry's picture, 7 for a typed server).
    int LogoIndex() const { return logo_; }
    // The country codes list this window opened, while it is open.
    TForm23* CountryListWindow() const;

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;
    shell::TMemo* SavePane() const override { return Memo1; }
    QString SavePresetName() const override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowLogo(int index);
    void SetStatus(const std::string& text);
    void Ended();

    QComboBox* ComboBox1;
    QLineEdit* PortEdit;
    QLineEdit* DomainEdit;
    QPushButton* WhoisBt;
    QPushButton* CancelBt;
    QLabel* Image1;
    QToolButton* CodesBt;
    QToolButton* ProxyBt;
    shell::TProxyPanel* ProxyPanel;
    shell::TMemo* Memo1;
    QStatusBar* StatusBar1;

    std::unique_ptr<TWhoisClient> client_;
    QPointer<TForm23> codesList_;
    int logo_ = 0;
};

// The eight logos, 100 x 40 pixels, by index.
QPixmap WhoisLogo(int index);

} // namespace qordex::diag
