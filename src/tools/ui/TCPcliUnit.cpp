#include "tools/ui/TCPcliUnit.h"

#include "platform/DisplayText.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"
#include "shell/PanelDrag.h"
#include "shell/ProxyPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

namespace qordex::tools {
namespace {

const char* const kTag = "tag";
// Lines each pane keeps: a peer that never stops must not fill the memory.
constexpr int kPaneLines = 100000;

QLabel* Label(QWidget* parent, const char* text, int x, int y, int w) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->setGeometry(x, y, w, 18);
    return l;
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text, int x, int y, int w) {
    auto* e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, 22);
    return e;
}

QCheckBox* Check(QWidget* parent, const char* name, const char* text, bool on, int x, int y,
                 int w) {
    auto* c = new QCheckBox(QString::fromLatin1(text), parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setChecked(on);
    c->setGeometry(x, y, w, 20);
    return c;
}

shell::TMemo* Pane(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* m = new shell::TMemo(parent);
    m->setObjectName(QString::fromLatin1(name));
    m->setGeometry(x, y, w, h);
    m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m->setMaximumBlockCount(kPaneLines);
    return m;
}

} // namespace

TForm13::TForm13(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm13"), parent) {
    setWindowTitle(QStringLiteral("TCP/UDP client"));
    SetFixedToolSize(574, 454);
    SetToolColours(QColor(210, 220, 230), QColor(237, 239, 243));

    Label(this, "Status / Data sent", 8, 4, 200);
    Memo2 = Pane(this, "Memo2", 8, 22, 370, 150);
    Label(this, "Data received", 8, 176, 200);
    Memo1 = Pane(this, "Memo1", 8, 194, 370, 252);

    const int x = 390;
    Label(this, "Server", x, 4, 60);
    ServerEdit = Edit(this, "ServerEdit", "localhost", x, 22, 176);
    Label(this, "Port", x, 48, 60);
    PortEdit = Edit(this, "PortEdit", "", x, 66, 70);
    ProtTCP = new QRadioButton(QStringLiteral("TCP"), this);
    ProtTCP->setObjectName(QStringLiteral("ProtTCP"));
    ProtTCP->setGeometry(x + 80, 66, 48, 22);
    ProtTCP->setChecked(true);
    ProtUDP = new QRadioButton(QStringLiteral("UDP"), this);
    ProtUDP->setObjectName(QStringLiteral("ProtUDP"));
    ProtUDP->setGeometry(x + 128, 66, 48, 22);
    Label(this, "Line end", x, 92, 60);
    LineEndBox = new QComboBox(this);
    LineEndBox->setObjectName(QStringLiteral("LineEndBox"));
    for (const char* item : kLineEndItems)
        LineEndBox->addItem(QString::fromLatin1(item));
    LineEndBox->setCurrentIndex(kDefaultLineEndItem);
    LineEndBox->setGeometry(x, 110, 120, 22);

    ConnectBt = new QPushButton(QStringLiteral("Connect"), this);
    ConnectBt->setObjectName(QStringLiteral("ConnectBt"));
    ConnectBt->setProperty(kTag, 0);
    ConnectBt->setGeometry(x, 140, 90, 25);
    AbortBt = shell::MakeFlatButton(this, QStringLiteral("AbortBt"), QStringLiteral("Abort"),
                                    shell::Glyph(shell::GlyphKind::Tool, u'X', 0));
    AbortBt->move(x + 96, 141);
    AbortBt->setEnabled(false);
    ProxyBt = shell::MakeProxyButton(this);
    ProxyBt->move(x + 126, 143);

    NumericBox = Check(this, "NumericBox", "Show frame binary data", false, x, 172, 176);
    TextCheck = Check(this, "TextCheck", "Force text mode", true, x, 194, 176);

    Label(this, "Message", x, 220, 60);
    SendMemo = new QPlainTextEdit(this);
    SendMemo->setObjectName(QStringLiteral("SendMemo"));
    SendMemo->setGeometry(x, 238, 176, 130);
    SendMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    SendMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SendMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SendMemo->installEventFilter(this);
    MultilineCheck = Check(this, "MultilineCheck", "multiline", false, x, 372, 100);
    SendBt = new QPushButton(QStringLiteral("Send"), this);
    SendBt->setObjectName(QStringLiteral("SendBt"));
    SendBt->setGeometry(x, 398, 90, 25);
    SendBt->setEnabled(false);
    ClearBt = MakeClearButton();
    ClearBt->move(x + 120, 400);
    SaveBt = MakeSaveButton();
    SaveBt->move(x + 148, 400);

    ProxyPanel = new shell::TProxyPanel(this, QStringLiteral("Proxy Socks5 Configuration"),
                                        QRect(96, 120, 290, 166));

    connect(ConnectBt, &QPushButton::clicked, this, [this] { ConnectBtClick(); });
    connect(AbortBt, &QToolButton::clicked, this, [this] { AbortBtClick(); });
    connect(SendBt, &QPushButton::clicked, this, [this] { SendBtClick(); });
    connect(MultilineCheck, &QCheckBox::clicked, this, [this] { MultilineCheckClick(); });
    connect(ProxyBt, &QToolButton::clicked, this, [this] { ProxyBtClick(); });
    connect(NumericBox, &QCheckBox::toggled, this, [this](bool on) { tool_.ShowFrame = on; });
    connect(TextCheck, &QCheckBox::toggled, this, [this](bool on) { tool_.TextMode = on; });

    tool_.OnStatus = [this](const std::string& line) { Memo2->AddBytes(line); };
    tool_.OnConnected = [this] { Connected(); };
    tool_.OnConnectEnabled = [this] { ConnectBt->setEnabled(true); };
    tool_.OnReset = [this] { ResetWindow(); };
    tool_.OnReceived = [this](const std::string* frame, const std::vector<std::string>& e) {
        Received(frame, e);
    };
}

TForm13::~TForm13() {
    // The socket goes with the window and must reach none of its controls.
    tool_.OnStatus = nullptr;
    tool_.OnConnected = nullptr;
    tool_.OnConnectEnabled = nullptr;
    tool_.OnReset = nullptr;
    tool_.OnReceived = nullptr;
}

int TForm13::ConnectTag() const {
    return ConnectBt->property(kTag).toInt();
}

void TForm13::SetFieldsEnabled(bool on) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{ProtTCP, ProtUDP, LineEndBox, ServerEdit, PortEdit})
        w->setEnabled(on);
}

void TForm13::ConnectBtClick() {
    if (ConnectTag() == 1) {
        tool_.Disconnect();
        return;
    }
    if (tool_.Connected())
        return;
    TcpClientSettings s;
    s.server = DisplayToBytes(ServerEdit->text());
    s.port = DisplayToBytes(PortEdit->text());
    if (s.server.empty() || s.port.empty())
        return;
    s.udp = ProtUDP->isChecked();
    s.lineEnd = LineEndFromItem(LineEndBox->currentText().toStdString());
    s.useProxy = ProxyPanel->PEnableCheck->isChecked();
    s.proxyAddress = DisplayToBytes(ProxyPanel->PAddressEdit->text());
    s.proxyPort = DisplayToBytes(ProxyPanel->PPortEdit->text());
    s.proxyAuth = ProxyPanel->PAuthCheck->isChecked();
    s.proxyUser = DisplayToBytes(ProxyPanel->PUserEdit->text());
    s.proxyPassword = DisplayToBytes(ProxyPanel->PPassEdit->text());
    ConnectBt->setEnabled(false);
    AbortBt->setEnabled(true);
    // The wait pumps the loop; nothing of the window is touched after it.
    tool_.Connect(s);
}

void TForm13::Connected() {
    ConnectBt->setProperty(kTag, 1);
    ConnectBt->setText(QStringLiteral("Disconnect"));
    SendBt->setEnabled(true);
    SetFieldsEnabled(false);
}

void TForm13::ResetWindow() {
    ConnectBt->setText(QStringLiteral("Connect"));
    ConnectBt->setProperty(kTag, 0);
    SendBt->setEnabled(false);
    AbortBt->setEnabled(false);
    SetFieldsEnabled(true);
}

void TForm13::AbortBtClick() {
    tool_.Abort();
}

void TForm13::Received(const std::string* frame, const std::vector<std::string>& entries) {
    Memo1->setUpdatesEnabled(false);
    if (frame)
        Memo1->AddBytes(*frame);
    for (const std::string& e : entries)
        Memo1->AddBytes(e);
    Memo1->setUpdatesEnabled(true);
}

void TForm13::SendBtClick() {
    std::vector<std::string> shown;
    if (tool_.Send(DisplayToBytes(SendMemo->toPlainText()), MultilineCheck->isChecked(), &shown))
        for (const std::string& line : shown)
            Memo2->AddBytes(line);
    SendMemo->clear();
    SendMemo->repaint();
    SendMemo->setFocus();
}

void TForm13::MultilineCheckClick() {
    const Qt::ScrollBarPolicy bars =
        MultilineCheck->isChecked() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    SendMemo->setVerticalScrollBarPolicy(bars);
    SendMemo->setHorizontalScrollBarPolicy(bars);
    SendMemo->setFocus();
}

bool TForm13::eventFilter(QObject* watched, QEvent* event) {
    if (watched == SendMemo && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !MultilineCheck->isChecked()) {
            // One line only: Enter sends instead of breaking the line.
            SendBtClick();
            return true;
        }
    }
    return shell::TToolForm::eventFilter(watched, event);
}

void TForm13::ProxyBtClick() {
    ProxyPanel->Toggle();
}

void TForm13::ClearOutput() {
    Memo1->Clear();
    Memo2->Clear();
    SendMemo->clear();
}

shell::TMemo* TForm13::SavePane() const {
    return Memo1;
}

QString TForm13::SavePresetName() const {
    return ServerEdit->text() + QStringLiteral(".txt");
}

QString TForm13::SaveFilter() const {
    return shell::kLongFilter;
}

void TForm13::Shutdown() {
    if (ConnectTag() == 1)
        tool_.Disconnect();
    // A connection still being made goes too, silently.
    tool_.OnReset = nullptr;
    tool_.OnStatus = nullptr;
    tool_.Socket().Abort();
}

} // namespace qordex::tools
