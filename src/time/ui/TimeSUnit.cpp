#include "time/ui/TimeSUnit.h"

#include "shell/Memo.h"
#include "time/TimeCodec.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::timetools {
namespace {
const char* const kTag = "tag";
} // namespace

TForm10::TForm10(QWidget* parent, TClock& clock)
    : shell::TToolForm(QStringLiteral("TForm10"), parent), server_(clock) {
    setWindowTitle(QStringLiteral("Time server"));
    SetFixedToolSize(420, 230);
    SetToolColours(QColor(226, 220, 206), QColor(244, 242, 236));

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    StartBt->setProperty(kTag, 0);
    CheckBox1 = new QCheckBox(QStringLiteral("TCP"), this);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setChecked(true);
    CheckBox2 = new QCheckBox(QStringLiteral("UDP"), this);
    CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
    CheckBox2->setChecked(true);
    Label4 = new QLabel(QStringLiteral("GetTime - 32bit - port 37"), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    TCPConnects = new QLabel(QStringLiteral("0"), this);
    TCPConnects->setObjectName(QStringLiteral("TCPConnects"));
    UDPConnects = new QLabel(QStringLiteral("0"), this);
    UDPConnects->setObjectName(QStringLiteral("UDPConnects"));

    auto* boxes = new QHBoxLayout;
    boxes->addWidget(CheckBox1);
    boxes->addWidget(CheckBox2);
    boxes->addStretch(1);
    auto* counters = new QGridLayout;
    counters->addWidget(new QLabel(QStringLiteral("TCP requests:"), this), 0, 0);
    counters->addWidget(TCPConnects, 0, 1);
    counters->addWidget(new QLabel(QStringLiteral("UDP requests:"), this), 1, 0);
    counters->addWidget(UDPConnects, 1, 1);
    counters->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addStretch(1);
    buttons->addWidget(MakeClearButton());

    auto* right = new QVBoxLayout;
    right->addLayout(boxes);
    right->addWidget(new QLabel(QStringLiteral("Response format"), this));
    right->addWidget(Label4);
    right->addLayout(counters);
    right->addStretch(1);
    right->addLayout(buttons);

    auto* all = new QHBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->addWidget(Memo1, 1);
    all->addLayout(right);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { CheckBoxClick(); });
    connect(CheckBox2, &QCheckBox::clicked, this, [this] { CheckBoxClick(); });

    server_.OnStart = [this](TTimeServ*) { ServerStarted(); };
    server_.OnStop = [this](TTimeServ*) { ServerStopped(); };
    server_.OnQuery = [this](TTimeServ*, const TSockAddrIn&, TTimeProtocol p, bool&) { Query(p); };
}

TForm10::~TForm10() {
    server_.OnStart = nullptr;
    server_.OnStop = nullptr;
    server_.OnQuery = nullptr;
}

int TForm10::StartTag() const {
    return StartBt->property(kTag).toInt();
}

void TForm10::StartBtClick() {
    if (StartTag() == 1) {
        server_.Stop();
        return;
    }
    TTimeProtocols set;
    set.tcp = CheckBox1->isChecked();
    set.udp = CheckBox2->isChecked();
    server_.SetTimeProtocol(set);
    if (set.Empty()) {
        Memo1->AddLine(QStringLiteral("No protocol selected to start"));
        return;
    }
    Memo1->AddLine(QStringLiteral("Waiting for socket"));
    try {
        server_.Start();
    } catch (const ESocketException& e) {
        // Nothing listens: the window stays stopped and says why.
        const std::string msg = e.what();
        Memo1->AddLine(QString::fromStdString(msg.substr(0, msg.find_first_of("\r\n"))));
    }
}

void TForm10::CheckBoxClick() {
    StartBt->setEnabled(CheckBox1->isChecked() || CheckBox2->isChecked());
}

void TForm10::ServerStarted() {
    StartBt->setProperty(kTag, 1);
    StartBt->setText(QStringLiteral("Stop"));
    Memo1->AddLine(QStringLiteral("Server started"));
    TCPConnects->setText(QStringLiteral("0"));
    UDPConnects->setText(QStringLiteral("0"));
}

void TForm10::ServerStopped() {
    StartBt->setProperty(kTag, 0);
    StartBt->setText(QStringLiteral("Start"));
    Memo1->AddLine(QStringLiteral("Server closed."));
}

void TForm10::Query(TTimeProtocol p) {
    QLabel* counter = p == tpTCP ? TCPConnects : UDPConnects;
    counter->setText(QString::fromStdString(NextCounterText(counter->text().toStdString())));
}

void TForm10::Shutdown() {
    server_.Stop();
}

} // namespace qordex::timetools
