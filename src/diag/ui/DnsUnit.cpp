#include "diag/ui/DnsUnit.h"

#include "diag/DnsQuery.h"
#include "diag/DnsReport.h"
#include "diag/IpHlpError.h"
#include "diag/ui/CountryListUnit.h"
#include "diag/ui/DnsListUnit.h"
#include "net/WSocket.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Memo.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::diag {
namespace {

// The server list button's glyph, drawn like the frame's own.
QIcon ServerListGlyph() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(Qt::white);
    p.drawRect(1, 1, 13, 13); // a sheet with rows
    for (int y = 4; y <= 11; y += 3) {
        p.fillRect(3, y, 2, 2, QColor(30, 90, 200));
        p.fillRect(6, y, 7, 2, QColor(120, 120, 120));
    }
    return QIcon(pm);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
    auto* bt = new QPushButton(QString::fromLatin1(caption), parent);
    bt->setObjectName(QString::fromLatin1(name));
    return bt;
}

} // namespace

TForm3::TForm3(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm3"), parent) {
    setWindowTitle(QStringLiteral("DNS"));
    resize(780, 460);

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    // The response lines are aligned in columns and the dump in rows of 16.
    Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    HostEdit = new QLineEdit(this);
    HostEdit->setObjectName(QStringLiteral("HostEdit"));
    DNSServerEdit = new QLineEdit(this);
    DNSServerEdit->setObjectName(QStringLiteral("DNSServerEdit"));
    DNSServerEdit->setMaxLength(255);
    DNSServerEdit->setEnabled(false);
    PortEdit = new QLineEdit(QStringLiteral("53"), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setToolTip(QStringLiteral("Port"));
    PortEdit->setFixedWidth(48);
    PortEdit->setEnabled(false);
    DNSCheck = new QCheckBox(QStringLiteral("Specify DNS server"), this);
    DNSCheck->setObjectName(QStringLiteral("DNSCheck"));

    LookUpBt = MakeButton(this, "LookUpBt", "Lookup");
    ReverseLookUpBt = MakeButton(this, "ReverseLookUpBt", "Reverse");
    CancelBt = MakeButton(this, "CancelBt", "Cancel");
    CancelBt->setEnabled(false);
    ALookUpBt = MakeButton(this, "ALookUpBt", "A lookup");
    PTRLookUpBt = MakeButton(this, "PTRLookUpBt", "PTR lookup");
    MXLookUpBt = MakeButton(this, "MXLookUpBt", "MX lookup");

    // The country list does not exist yet: its button says so.
    CodesBt =
        shell::MakeFlatButton(this, QStringLiteral("CodesBt"),
                              QStringLiteral("Internet Country Codes"),
                              CountryCodesGlyph());
    DNSlistBt = shell::MakeFlatButton(this, QStringLiteral("DNSlistBt"),
                                      QStringLiteral("Select DNS server from list"),
                                      ServerListGlyph());
    QToolButton* clearBt = MakeClearButton();
    clearBt->setObjectName(QStringLiteral("SpeedButton1"));
    QToolButton* saveBt = MakeSaveButton();

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* form = new QGridLayout;
    form->addWidget(label("Host"), 0, 0);
    form->addWidget(HostEdit, 0, 1, 1, 3);
    form->addWidget(DNSCheck, 1, 1, 1, 3);
    form->addWidget(label("DNS server"), 2, 0);
    form->addWidget(DNSServerEdit, 2, 1);
    form->addWidget(PortEdit, 2, 2);
    form->addWidget(DNSlistBt, 2, 3);
    form->setColumnStretch(1, 1);

    auto* resolver = new QHBoxLayout;
    for (QPushButton* bt : {LookUpBt, ReverseLookUpBt, CancelBt})
        resolver->addWidget(bt);
    auto* queries = new QHBoxLayout;
    for (QPushButton* bt : {ALookUpBt, PTRLookUpBt, MXLookUpBt})
        queries->addWidget(bt);

    auto* tools = new QHBoxLayout;
    tools->addWidget(CodesBt);
    tools->addStretch(1);
    tools->addWidget(clearBt);
    tools->addWidget(saveBt);

    auto* right = new QVBoxLayout;
    right->addLayout(form);
    right->addLayout(resolver);
    right->addLayout(queries);
    right->addStretch(1);
    right->addLayout(tools);

    auto* top = new QHBoxLayout(this);
    top->addWidget(Memo1, 1);
    top->addLayout(right);

    connect(LookUpBt, &QPushButton::clicked, this, [this] { LookUpBtClick(); });
    connect(ReverseLookUpBt, &QPushButton::clicked, this, [this] { ReverseLookUpBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
    connect(ALookUpBt, &QPushButton::clicked, this, [this] { ALookUpBtClick(); });
    connect(PTRLookUpBt, &QPushButton::clicked, this, [this] { PTRLookUpBtClick(); });
    connect(MXLookUpBt, &QPushButton::clicked, this, [this] { MXLookUpBtClick(); });
    connect(DNSCheck, &QCheckBox::clicked, this, [this] { DNSCheckClick(); });
    connect(DNSlistBt, &QToolButton::clicked, this, [this] { DNSlistBtClick(); });
    connect(CodesBt, &QToolButton::clicked, this, [this] { CodesBtClick(); });

    WSocket1 = std::make_unique<TWSocket>();
    WSocket1->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) {
        WSocket1DnsLookupDone(e);
    };
    dnsQuery1_ = std::make_unique<TDnsQuery>();
    dnsQuery1_->SetPort("53");
    dnsQuery1_->SetProto("udp");
    dnsQuery1_->OnRequestDone = [this](TDnsQuery*, std::uint16_t e) { DnsQuery1RequestDone(e); };
}

TForm3::~TForm3() {
    delete dnsList_.data();
    WSocket1->OnDnsLookupDone = nullptr;
    dnsQuery1_->OnRequestDone = nullptr;
}

TForm21* TForm3::DnsListWindow() const {
    return dnsList_.data();
}

QString TForm3::SavePresetName() const {
    return HostEdit->text();
}

void TForm3::FirstShow() {
    FillDefaultServer();
}

void TForm3::Shutdown() {
    if (dnsList_)
        dnsList_->close();
    if (codesList_)
        codesList_->close();
    // The window is freed next: nothing may print into it any more.
    WSocket1->OnDnsLookupDone = nullptr;
    dnsQuery1_->OnRequestDone = nullptr;
    WSocket1->CancelLookup();
}

void TForm3::FillDefaultServer() {
    QString server = QString::fromLatin1(kDefaultDnsServer);
    try {
        server = QString::fromStdString(DefaultDnsServer());
    } catch (const EIpHlpError& e) {
        shell::ShowError(this, QString::fromStdString(e.what()));
    }
    DNSServerEdit->setText(server);
}

void TForm3::AddLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        Memo1->AddBytes(line);
}

void TForm3::LookUpBtClick() {
    StartResolver(false);
}

void TForm3::ReverseLookUpBtClick() {
    StartResolver(true);
}

void TForm3::StartResolver(bool reverse) {
    LookUpBt->setEnabled(false);
    ReverseLookUpBt->setEnabled(false);
    CancelBt->setEnabled(true);
    HostEdit->selectAll();
    HostEdit->setFocus();
    Memo1->AddLine(QString::fromLatin1(kWaitingForDns));
    // An empty host is refused at once and ends as a failed lookup, so the
    // buttons come back.
    StartResolverLookup(*WSocket1, reverse, HostEdit->text().toStdString());
}

void TForm3::WSocket1DnsLookupDone(std::uint16_t error) {
    AddLines(DnsLookupLines(*WSocket1, error));
    RestoreResolverButtons();
    CancelBt->setEnabled(false);
}

void TForm3::RestoreResolverButtons() {
    const bool usable = !DNSCheck->isChecked();
    LookUpBt->setEnabled(usable);
    ReverseLookUpBt->setEnabled(usable);
}

void TForm3::CancelBtClick() {
    RestoreResolverButtons();
    CancelBt->setEnabled(false);
    HostEdit->setFocus();
    WSocket1->CancelLookup(); // a pending lookup ends with 10004
}

void TForm3::ALookUpBtClick() {
    StartQuery(&TDnsQuery::ALookup);
}

void TForm3::PTRLookUpBtClick() {
    StartQuery(&TDnsQuery::PTRLookup);
}

void TForm3::MXLookUpBtClick() {
    StartQuery(&TDnsQuery::MXLookup);
}

void TForm3::StartQuery(int (TDnsQuery::*lookup)(const std::string&)) {
    dnsQuery1_->SetPort(PortEdit->text().toStdString());
    dnsQuery1_->SetAddr(DNSServerEdit->text().toStdString());
    int id = 0;
    try {
        id = ((*dnsQuery1_).*lookup)(HostEdit->text().toStdString());
    } catch (const std::exception& e) {
        // A server that does not resolve, a name that cannot be queried.
        shell::ShowError(this, QString::fromStdString(e.what()));
        return;
    }
    Memo1->AddLine(QString::fromStdString(DnsRequestIdLine(id)));
}

void TForm3::DnsQuery1RequestDone(std::uint16_t error) {
    AddLines(DnsResponseLines(*dnsQuery1_, error));
}

void TForm3::DNSCheckClick() {
    if (DNSCheck->isChecked()) {
        PortEdit->setEnabled(true);
        DNSServerEdit->setEnabled(true);
        LookUpBt->setEnabled(false);
        ReverseLookUpBt->setEnabled(false);
        DNSServerEdit->clear();
        DNSServerEdit->setFocus();
    } else {
        PortEdit->setEnabled(false);
        DNSServerEdit->setEnabled(false);
        LookUpBt->setEnabled(true);
        ReverseLookUpBt->setEnabled(true);
        FillDefaultServer();
    }
}

void TForm3::DNSlistBtClick() {
    if (dnsList_) {
        dnsList_->raise();
        return;
    }
    dnsList_ = new TForm21(this, DNSlistBt);
    dnsList_->show();
}

void TForm3::CodesBtClick() {
    OpenCountryList(this, CodesBt, codesList_);
}

TForm23* TForm3::CountryListWindow() const {
    return codesList_;
}

void TForm3::ServerPicked(const QString& address) {
    if (!DNSCheck->isChecked()) {
        DNSCheck->setChecked(true);
        DNSCheckClick();
    }
    DNSServerEdit->setEnabled(true);
    DNSServerEdit->setText(address);
}

} // namespace qordex::diag
