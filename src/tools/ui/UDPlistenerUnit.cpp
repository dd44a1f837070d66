#include "tools/ui/UDPlistenerUnit.h"

#include "shell/Memo.h"
#include "tools/FailureText.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::tools {
namespace {
const char* const kTag = "tag";
} // namespace

TForm11::TForm11(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm11"), parent) {
    setWindowTitle(QStringLiteral("UDP listener"));
    SetFixedToolSize(394, 276);
    SetToolColours(QColor(210, 220, 230), QColor(237, 239, 243));

    Memo1 = new shell::TMemo(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    DataAvailable = new shell::TMemo(this);
    DataAvailable->setObjectName(QStringLiteral("DataAvailable"));
    Memo1->setMaximumBlockCount(kMaxPaneLines);
    DataAvailable->setMaximumBlockCount(kMaxPaneLines);

    PortEdit = new QLineEdit(QStringLiteral("600"), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setFixedWidth(60);
    AddressEdit = new QLineEdit(QStringLiteral("0.0.0.0"), this);
    AddressEdit->setObjectName(QStringLiteral("AddressEdit"));
    AddressEdit->setEnabled(false);
    AddressEdit->setFixedWidth(110);
    AnyServerCheckBox = new QCheckBox(QStringLiteral("Any"), this);
    AnyServerCheckBox->setObjectName(QStringLiteral("AnyServerCheckBox"));
    AnyServerCheckBox->setChecked(true);
    LineEndCheck = new QCheckBox(QStringLiteral("Use line-end"), this);
    LineEndCheck->setObjectName(QStringLiteral("LineEndCheck"));
    LineEndCheck->setChecked(true);
    StartBt = new QPushButton(QStringLiteral("Start"), this);
    StartBt->setObjectName(QStringLiteral("StartBt"));
    StartBt->setProperty(kTag, 0);

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* fields = new QGridLayout;
    fields->addWidget(label("Port"), 0, 0);
    auto* port = new QHBoxLayout;
    port->addWidget(PortEdit);
    port->addWidget(label("UDP"));
    port->addStretch(1);
    fields->addLayout(port, 0, 1);
    fields->addWidget(label("Address"), 1, 0);
    fields->addWidget(AddressEdit, 1, 1);
    fields->addWidget(AnyServerCheckBox, 2, 1);
    fields->addWidget(LineEndCheck, 3, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StartBt);
    buttons->addStretch(1);
    buttons->addWidget(MakeClearButton());

    auto* right = new QVBoxLayout;
    right->addLayout(fields);
    right->addStretch(1);
    right->addLayout(buttons);

    auto* top = new QHBoxLayout;
    top->addWidget(Memo1, 1);
    top->addLayout(right);

    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 8, 8, 8);
    all->setSpacing(4);
    all->addLayout(top, 3);
    all->addWidget(label("Data received"));
    all->addWidget(DataAvailable, 2);

    connect(StartBt, &QPushButton::clicked, this, [this] { StartBtClick(); });
    connect(AnyServerCheckBox, &QCheckBox::clicked, this, [this] { AnyServerCheckBoxClick(); });
    connect(AddressEdit, &QLineEdit::textChanged, this, [this] { AddressEditChange(); });
    connect(LineEndCheck, &QCheckBox::toggled, this, [this](bool on) { listener_.LineEnd = on; });

    listener_.OnStarted = [this] { SessionConnected(); };
    listener_.OnClosed = [this] { SessionClosed(); };
    listener_.OnDatagram = [this](const std::string& s, const std::vector<std::string>& e) {
        Datagram(s, e);
    };
}

TForm11::~TForm11() {
    // The socket goes with the window and raises nothing more.
    listener_.OnStarted = nullptr;
    listener_.OnClosed = nullptr;
    listener_.OnDatagram = nullptr;
}

int TForm11::StartTag() const {
    return StartBt->property(kTag).toInt();
}

void TForm11::StartBtClick() {
    if (StartTag() == 1) {
        EnableFields();
        listener_.Stop();
        return;
    }
    listener_.LineEnd = LineEndCheck->isChecked();
    try {
        listener_.Start(PortEdit->text().toStdString(), AddressEdit->text().toStdString());
    } catch (const ESocketException& e) {
        // The window stays stopped with its fields enabled.
        for (const std::string& line : FailureLines(e, PortEdit->text().toStdString()))
            Memo1->AddLine(QString::fromStdString(line));
        return;
    }
    PortEdit->setEnabled(false);
    AddressEdit->setEnabled(false);
    AnyServerCheckBox->setEnabled(false);
}

void TForm11::EnableFields() {
    PortEdit->setEnabled(true);
    AddressEdit->setEnabled(!AnyServerCheckBox->isChecked());
    AnyServerCheckBox->setEnabled(true);
}

void TForm11::SessionConnected() {
    StartBt->setProperty(kTag, 1);
    Memo1->AddLine(QStringLiteral("Server started"));
    StartBt->setText(QStringLiteral("Stop"));
}

void TForm11::SessionClosed() {
    StartBt->setProperty(kTag, 0);
    EnableFields();
    Memo1->AddLine(QStringLiteral("Server closed."));
    StartBt->setText(QStringLiteral("Start"));
    DataAvailable->Clear();
}

void TForm11::Datagram(const std::string& sender, const std::vector<std::string>& entries) {
    Memo1->AddLine(QString::fromStdString(sender));
    for (const std::string& e : entries)
        DataAvailable->AddBytes(e);
}

void TForm11::AnyServerCheckBoxClick() {
    if (AnyServerCheckBox->isChecked()) {
        AddressEdit->setText(QStringLiteral("0.0.0.0"));
        AddressEdit->setEnabled(false);
    } else {
        AddressEdit->clear();
        AddressEdit->setEnabled(true);
        AddressEdit->setFocus();
    }
}

void TForm11::AddressEditChange() {
    AnyServerCheckBox->setChecked(AddressEdit->text().trimmed() == QStringLiteral("0.0.0.0"));
}

void TForm11::ClearOutput() {
    DataAvailable->Clear();
    Memo1->Clear();
}

void TForm11::Shutdown() {
    if (listener_.Listening()) {
        EnableFields();
        listener_.Stop();
    }
}

} // namespace qordex::tools
