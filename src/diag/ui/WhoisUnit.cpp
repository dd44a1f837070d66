#include "diag/ui/WhoisUnit.h"

#include "diag/Whois.h"
#include "diag/ui/CountryListUnit.h"
#include "platform/DisplayText.h"
#include "shell/FlatButton.h"
#include "shell/Memo.h"
#include "shell/PanelDrag.h"
#include "shell/ProxyPanel.h"
#include "shell/WebAddress.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::diag {
QPixmap WhoisLogo(int index) {
    struct Look {
        const char* text;
        QColor back, fore;
    };
    static const Look looks[] = {
        {"InterNIC", QColor(20, 60, 130), Qt::white},   {"NetSol", QColor(0, 110, 70), Qt::white},
        {"ARIN", QColor(0, 80, 150), Qt::white},        {"AfriNIC", QColor(200, 120, 0), Qt::white},
        {"APNIC", QColor(0, 120, 160), Qt::white},      {"LACNIC", QColor(30, 140, 60), Qt::white},
        {"RIPE NCC", QColor(0, 60, 120), QColor(250, 200, 0)},
        {"whois", QColor(225, 225, 225), QColor(90, 90, 90)},
    };
    const Look& look = looks[index >= 0 && index < 8 ? index : 7];
    QPixmap pm(100, 40);
    pm.fill(look.back);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(look.fore);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(16);
    p.setFont(f);
    p.drawText(pm.rect(), Qt::AlignCenter, QString::fromLatin1(look.text));
    return pm;
}

TForm17::TForm17(QWidget* parent)
    : shell::TToolForm(QStringLiteral("TForm17"), parent),
      client_(std::make_unique<TWhoisClient>()) {
    setWindowTitle(QStringLiteral("Whois"));
    resize(560, 420);

    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(true);
    for (const WhoisRegistry& r : WhoisRegistries())
        ComboBox1->addItem(QString::fromLatin1(r.name));
    ComboBox1->addItem(QString());
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setMinimumWidth(160);

    PortEdit = new QLineEdit(QStringLiteral("43"), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setFixedWidth(50);
    DomainEdit = new QLineEdit(this);
    DomainEdit->setObjectName(QStringLiteral("DomainEdit"));
    DomainEdit->installEventFilter(this);

    WhoisBt = new QPushButton(QStringLiteral("Request"), this);
    WhoisBt->setObjectName(QStringLiteral("WhoisBt"));
    CancelBt = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBt->setObjectName(QStringLiteral("CancelBt"));
    CancelBt->setEnabled(false);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setFixedSize(100, 40);
    Image1->installEventFilter(this);

    CodesBt = shell::MakeFlatButton(this, QStringLiteral("CodesBt"),
                                    QStringLiteral("Internet Country Codes"), CountryCodesGlyph());
    ProxyBt = shell::MakeProxyButton(this);

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* form = new QGridLayout;
    form->addWidget(label("Server"), 0, 0);
    form->addWidget(ComboBox1, 0, 1);
    form->addWidget(PortEdit, 0, 2);
    form->addWidget(label("Domain"), 1, 0);
    form->addWidget(DomainEdit, 1, 1, 1, 2);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(WhoisBt);
    buttons->addWidget(CancelBt);

    auto* tools = new QHBoxLayout;
    tools->addWidget(CodesBt);
    tools->addWidget(MakeClearButton());
    tools->addWidget(MakeSaveButton());
    tools->addWidget(ProxyBt);

    auto* right = new QVBoxLayout;
    right->addWidget(Image1, 0, Qt::AlignRight);
    right->addLayout(tools);

    auto* top = new QHBoxLayout;
    top->addLayout(form, 1);
    top->addLayout(buttons);
    top->addLayout(right);

    auto* box = new QVBoxLayout(this);
    box->addLayout(top);
    box->addWidget(Memo1, 1);
    box->addWidget(StatusBar1);

    // Over the other controls, where the user drags it.
    ProxyPanel = new shell::TProxyPanel(this, QStringLiteral("Proxy Socks5 Configuration"),
                                        QRect(250, 80, 290, 166));

    client_->OnStatus = [this](const std::string& text) { SetStatus(text); };
    client_->OnLine = [this](const std::string& line) { Memo1->AddBytes(line); };
    client_->OnDone = [this](TWhoisEnd) { Ended(); };

    connect(WhoisBt, &QPushButton::clicked, this, [this] { WhoisBtClick(); });
    connect(DomainEdit, &QLineEdit::returnPressed, this, [this] { WhoisBtClick(); });
    connect(CancelBt, &QPushButton::clicked, this, [this] { CancelBtClick(); });
    connect(ComboBox1, &QComboBox::currentTextChanged, this, [this] { ComboBox1Change(); });
    connect(CodesBt, &QToolButton::clicked, this, [this] { CodesBtClick(); });
    connect(ProxyBt, &QToolButton::clicked, this, [this] { ProxyBtClick(); });
    ShowLogo(0);
}

TForm17::~TForm17() {
    // The socket goes first: none of its events reaches the controls freed after.
    client_.reset();
}

void TForm17::FirstShow() {
    ShowLogo(0);
    SetStatus(WhoisRegistries().front().status);
}

void TForm17::Shutdown() {
    if (codesList_)
        codesList_->close();
    client_->OnStatus = nullptr;
    client_->OnLine = nullptr;
    client_->OnDone = nullptr;
    client_->Abort();
}

void TForm17::ClearOutput() {
    Memo1->Clear();
    StatusBar1->clearMessage();
    DomainEdit->setFocus();
}

QString TForm17::SavePresetName() const {
    return DomainEdit->text();
}

TForm23* TForm17::CountryListWindow() const {
    return codesList_;
}

void TForm17::ShowLogo(int index) {
    logo_ = index;
    Image1->setPixmap(WhoisLogo(index));
    const bool registry = index != kWhoisTypedLogo;
    Image1->setCursor(registry ? Qt::PointingHandCursor : Qt::ArrowCursor);
    Image1->setToolTip(registry ? QStringLiteral("Open home page") : QString());
}

void TForm17::SetStatus(const std::string& text) {
    StatusBar1->showMessage(BytesToDisplay(text));
}

void TForm17::ComboBox1Change() {
    WhoisBt->setEnabled(true);
    const WhoisRegistry* r = FindWhoisRegistry(DisplayToBytes(ComboBox1->currentText()));
    ShowLogo(r ? r->logo : kWhoisTypedLogo);
    SetStatus(r ? r->status : "");
}

void TForm17::Image1Click() {
    if (const WhoisRegistry* r = FindWhoisRegistry(DisplayToBytes(ComboBox1->currentText())))
        shell::OpenWebAddress(QString::fromLatin1(r->homePage));
}

void TForm17::CodesBtClick() {
    OpenCountryList(this, CodesBt, codesList_);
}

void TForm17::ProxyBtClick() {
    ProxyPanel->Toggle();
}

void TForm17::WhoisBtClick() {
    if (DomainEdit->text().isEmpty() || ComboBox1->currentText().isEmpty() ||
        PortEdit->text().isEmpty() || client_->Busy())
        return;
    TWhoisClient::Request request;
    request.server = WhoisServerFor(DisplayToBytes(ComboBox1->currentText()));
    request.port = DisplayToBytes(PortEdit->text());
    request.query = DisplayToBytes(DomainEdit->text());
    request.socks = ProxyPanel->Socks5();
    Memo1->Clear();
    StatusBar1->clearMessage();
    WhoisBt->setEnabled(false);
    CancelBt->setEnabled(true);
    client_->Start(request);
}

void TForm17::CancelBtClick() {
    client_->Cancel();
}

void TForm17::Ended() {
    WhoisBt->setEnabled(true);
    CancelBt->setEnabled(false);
    Memo1->setFocus();
}

bool TForm17::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
        Image1Click();
        return true;
    }
    if (watched == DomainEdit && event->type() == QEvent::MouseButtonRelease) {
        // A click selects the whole query, ready to be typed over.
        QTimer::singleShot(0, DomainEdit, [edit = DomainEdit] { edit->selectAll(); });
    }
    return shell::TToolForm::eventFilter(watched, event);
}

} // namespace qordex::diag
