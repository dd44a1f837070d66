#include "tools/ui/BroadSendUnit.h"

#include "platform/DisplayText.h"
#include "shell/Dialogs.h"
#include "tools/FailureText.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace qordex::tools {

TForm12::TForm12(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm12"), parent) {
    setWindowTitle(QStringLiteral("Broadcast sender"));
    SetFixedToolSize(394, 144);
    SetToolColours(QColor(210, 220, 230), QColor(237, 239, 243));

    PortEdit = new QLineEdit(QStringLiteral("600"), this);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setFixedWidth(60);
    LocalPortEdit = new QLineEdit(QStringLiteral("0"), this);
    LocalPortEdit->setObjectName(QStringLiteral("LocalPortEdit"));
    LocalPortEdit->setFixedWidth(60);
    LocalPortEdit->setEnabled(false);
    AnyPortCheckBox = new QCheckBox(QStringLiteral("Auto"), this);
    AnyPortCheckBox->setObjectName(QStringLiteral("AnyPortCheckBox"));
    AnyPortCheckBox->setChecked(true);
    MessageEdit = new QLineEdit(this);
    MessageEdit->setObjectName(QStringLiteral("MessageEdit"));
    SendBt = new QPushButton(QStringLiteral("Send"), this);
    SendBt->setObjectName(QStringLiteral("SendBt"));

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->addWidget(label("Dest Port"), 0, 0);
    grid->addWidget(PortEdit, 0, 1);
    grid->addWidget(label("UDP"), 0, 2);
    grid->addWidget(label("Local Port"), 1, 0);
    grid->addWidget(LocalPortEdit, 1, 1);
    grid->addWidget(AnyPortCheckBox, 1, 2);
    grid->setColumnStretch(3, 1);
    auto* send = new QHBoxLayout;
    send->addWidget(MessageEdit, 1);
    send->addWidget(SendBt);
    grid->addLayout(send, 2, 0, 1, 4);
    grid->setRowStretch(3, 1);

    connect(SendBt, &QPushButton::clicked, this, [this] { SendBtClick(); });
    connect(MessageEdit, &QLineEdit::returnPressed, this, [this] { SendBtClick(); });
    connect(AnyPortCheckBox, &QCheckBox::clicked, this, [this] { AnyPortCheckBoxClick(); });
    connect(LocalPortEdit, &QLineEdit::textChanged, this, [this] { LocalPortEditChange(); });
}

void TForm12::SendBtClick() {
    try {
        sender_.Send("255.255.255.255", PortEdit->text().toStdString(),
                     LocalPortEdit->text().toStdString(), DisplayToBytes(MessageEdit->text()));
    } catch (const ESocketException& e) {
        // The window is left as it was, the message still there to retry.
        QStringList lines;
        for (const std::string& line : FailureLines(e, LocalPortEdit->text().toStdString()))
            lines << QString::fromStdString(line);
        shell::ShowError(this, lines.join(u'\n'));
        return;
    }
    MessageEdit->clear();
    MessageEdit->setFocus();
}

void TForm12::AnyPortCheckBoxClick() {
    if (AnyPortCheckBox->isChecked()) {
        LocalPortEdit->setText(QStringLiteral("0"));
        LocalPortEdit->setEnabled(false);
    } else {
        LocalPortEdit->setEnabled(true);
        LocalPortEdit->clear();
        LocalPortEdit->setFocus();
    }
}

void TForm12::LocalPortEditChange() {
    AnyPortCheckBox->setChecked(LocalPortEdit->text() == QStringLiteral("0"));
}

} // namespace qordex::tools
