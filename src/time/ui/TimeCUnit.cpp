#include "time/ui/TimeCUnit.h"

#include "shell/Memo.h"
#include "shell/PanelDrag.h"
#include "shell/ProxyPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::timetools {
namespace {

// Public servers of the Time protocol offered by the address list.
const char* const kTimeServers[] = {
    "time.nist.gov",        "time-a-g.nist.gov",   "time-b-g.nist.gov",
    "time-c-g.nist.gov",    "time-d-g.nist.gov",   "time-a-wwv.nist.gov",
    "time-b-wwv.nist.gov",  "time-c-wwv.nist.gov", "time-d-wwv.nist.gov",
    "time-a-b.nist.gov",    "time-b-b.nist.gov",
};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TForm9::TForm9(QWidget* parent, TClock& clock)
    : shell::TToolForm(QStringLiteral("TForm9"), parent), tool_(clock) {
    setWindowTitle(QStringLiteral("Time client"));
    SetFixedToolSize(460, 260);
    SetToolColours(QColor(214, 226, 214), QColor(240, 244, 240));

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));

    Addr = new QComboBox(this);
    Addr->setObjectName(QStringLiteral("Addr"));
    Addr->setEditable(true);
    for (const char* s : kTimeServers)
        Addr->addItem(QString::fromLatin1(s));
    Addr->setCurrentIndex(-1);
    Addr->setEditText(QString());
    Addr->setMinimumWidth(170);

    TCPradio = new QRadioButton(QStringLiteral("TCP"), this);
    TCPradio->setObjectName(QStringLiteral("TCPradio"));
    TCPradio->setChecked(true);
    UDPradio = new QRadioButton(QStringLiteral("UDP"), this);
    UDPradio->setObjectName(QStringLiteral("UDPradio"));

    GetTimeBt = new QPushButton(QStringLiteral("Get Time"), this);
    GetTimeBt->setObjectName(QStringLiteral("GetTimeBt"));
    GetDayTimeBt = new QPushButton(QStringLiteral("Get DayTime"), this);
    GetDayTimeBt->setObjectName(QStringLiteral("GetDayTimeBt"));
    CancelBt = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBt->setObjectName(QStringLiteral("CancelBt"));
    CancelBt->setEnabled(false);
    SyncCheck = new QCheckBox(QStringLiteral("Synchonize local clock"), this);
    SyncCheck->setObjectName(QStringLiteral("SyncCheck"));
    TimeEdit = new QLineEdit(this);
    TimeEdit->setObjectName(QStringLiteral("TimeEdit"));
    ProxyBt = shell::MakeProxyButton(this);

    auto* address = new QHBoxLayout;
    address->addWidget(new QLabel(QStringLiteral("Address"), this));
    address->addWidget(Addr, 1);
    auto* proto = new QHBoxLayout;
    proto->addWidget(TCPradio);
    proto->addWidget(UDPradio);
    proto->addStretch(1);
    proto->addWidget(ProxyBt);
    auto* buttons = new QGridLayout;
    buttons->addWidget(GetTimeBt, 0, 0);
    buttons->addWidget(GetDayTimeBt, 0, 1);
    buttons->addWidget(CancelBt, 1, 0);
    buttons->addWidget(MakeClearButton(), 1, 1, Qt::AlignRight);

    auto* right = new QVBoxLayout;
    right->addLayout(address);
    right->addLayout(proto);
    right->addLayout(buttons);
    right->addWidget(SyncCheck);
    right->addWidget(TimeEdit);
    right->addStretch(1);

    auto* all = new QHBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->addWidget(Memo1, 1);
    all->addLayout(right);

    ProxyPanel = new shell::TProxyPanel(this, QStringLiteral("Proxy Socks5 Configuration"),
                                        QRect(160, 60, 290, 166));

    connect(GetTimeBt, &QPushButton::clicked, this, [this] { GetTimeBtClick(); });
    connect(GetDayTimeBt, &QPushButton::clicked, this, [this] { GetDayTimeBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
    connect(SyncCheck, &QCheckBox::clicked, this, [this] { SyncCheckClick(); });
    connect(ProxyBt, &QToolButton::clicked, this, [this] { ProxyBtClick(); });

    tool_.OnLog = [this](const std::string& line) { Memo1->AddLine(Q(line)); };
    tool_.OnTimeEdit = [this](const std::string& text) {
        TimeEdit->setText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    };
    tool_.OnIdle = [this] { ResetButtons(); };
}

TForm9::~TForm9() {
    tool_.OnLog = nullptr;
    tool_.OnTimeEdit = nullptr;
    tool_.OnIdle = nullptr;
}

void TForm9::GetTimeBtClick() {
    Request(false);
}

void TForm9::GetDayTimeBtClick() {
    Request(true);
}

void TForm9::Request(bool daytime) {
    CancelBt->setEnabled(true);
    GetTimeBt->setEnabled(false);
    GetDayTimeBt->setEnabled(false);
    TTimeRequest r;
    r.server = Addr->currentText().trimmed().toStdString();
    r.udp = !TCPradio->isChecked();
    r.daytime = daytime;
    r.socks = ProxyPanel->Socks5();
    tool_.Sync = SyncCheck->isChecked();
    tool_.Start(r);
}

void TForm9::ResetButtons() {
    GetTimeBt->setEnabled(true);
    GetDayTimeBt->setEnabled(!SyncCheck->isChecked());
    CancelBt->setEnabled(false);
}

void TForm9::CancelBtClick() {
    tool_.Cancel();
}

void TForm9::SyncCheckClick() {
    // A set clock comes only from a Time answer.
    GetDayTimeBt->setEnabled(!SyncCheck->isChecked() && !CancelBt->isEnabled());
}

void TForm9::ProxyBtClick() {
    ProxyPanel->Toggle();
}

void TForm9::ClearOutput() {
    TimeEdit->clear();
    Memo1->Clear();
}

void TForm9::Shutdown() {
    if (tool_.Busy())
        tool_.Cancel();
}

} // namespace qordex::timetools
