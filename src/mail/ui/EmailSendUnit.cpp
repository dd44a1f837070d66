#include "mail/ui/EmailSendUnit.h"

#include "mail/EmailSend.h"
#include "mail/SmtpProt.h"
#include "platform/DisplayText.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"
#include "shell/PanelDrag.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qordex::mail {
namespace {

constexpr int kLogLines = 401; // the pane keeps 400 lines, then adds one

enum class SmtpGlyph { Connect, Quit, Abort, Load };

QIcon MakeSmtpGlyph(SmtpGlyph kind) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case SmtpGlyph::Connect: // two plugs meeting
        p.setPen(QPen(QColor(20, 120, 40), 2));
        p.drawLine(1, 8, 6, 8);
        p.drawLine(10, 8, 15, 8);
        p.setBrush(QColor(40, 170, 70));
        p.drawRect(5, 4, 3, 8);
        p.drawRect(9, 4, 2, 8);
        break;
    case SmtpGlyph::Quit: // an open door
        p.setPen(QPen(QColor(40, 60, 140), 1.5));
        p.drawRect(3, 2, 8, 12);
        p.drawLine(11, 8, 15, 8);
        p.drawLine(13, 6, 15, 8);
        p.drawLine(13, 10, 15, 8);
        break;
    case SmtpGlyph::Abort: // a red cross
        p.setPen(QPen(QColor(200, 30, 30), 2.5));
        p.drawLine(3, 3, 13, 13);
        p.drawLine(13, 3, 3, 13);
        break;
    case SmtpGlyph::Load: // an opening folder
        p.setPen(QColor(120, 90, 20));
        p.setBrush(QColor(240, 200, 90));
        p.drawRect(1, 4, 13, 10);
        p.drawRect(1, 2, 5, 2);
        break;
    }
    return QIcon(pm);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption,
                        const char* hint = nullptr) {
    auto* bt = new QPushButton(QString::fromLatin1(caption), parent);
    bt->setObjectName(QString::fromLatin1(name));
    if (hint)
        bt->setToolTip(QString::fromLatin1(hint));
    return bt;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text = "") {
    auto* edit = new QLineEdit(QString::fromLatin1(text), parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

bool FitsLatin1(const QString& text) {
    for (QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

} // namespace

TForm6::TForm6(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm6"), parent) {
    setWindowTitle(QStringLiteral("SMTP client"));
    SetFixedToolSize(744, 454);
    SetToolColours(QColor(214, 222, 214), QColor(244, 246, 242));

    HostEdit = MakeEdit(this, "HostEdit");
    PortEdit = MakeEdit(this, "PortEdit", "25");
    PortEdit->setFixedWidth(48);
    UserEdit = MakeEdit(this, "UserEdit");
    PassEdit = MakeEdit(this, "PassEdit");
    PassEdit->setEchoMode(QLineEdit::Password);
    AuthComboBox = new QComboBox(this);
    AuthComboBox->setObjectName(QStringLiteral("AuthComboBox"));
    AuthComboBox->addItems({QStringLiteral("smtpAuthNone"), QStringLiteral("smtpAuthPlain"),
                            QStringLiteral("smtpAuthLogin"), QStringLiteral("smtpAuthCramMD5")});
    ToEdit = MakeEdit(this, "ToEdit");
    CcEdit = MakeEdit(this, "CcEdit");
    BccEdit = MakeEdit(this, "BccEdit");
    FromAddrEdit = MakeEdit(this, "FromAddrEdit");
    FromNameEdit = MakeEdit(this, "FromNameEdit");
    ReplyToEdit = MakeEdit(this, "ReplyToEdit");
    ReturnPathEdit = MakeEdit(this, "ReturnPathEdit");
    SignOnEdit = MakeEdit(this, "SignOnEdit");
    SubjectEdit = MakeEdit(this, "SubjectEdit");

    OpenBt = MakeButton(this, "OpenBt", "Open+", "Connect, Helo/Ehlo, Auth");
    EhloBt = MakeButton(this, "EhloBt", "Ehlo");
    HeloBt = MakeButton(this, "HeloBt", "Helo");
    MailFromBt = MakeButton(this, "MailFromBt", "MailFrom");
    RecptToBt = MakeButton(this, "RecptToBt", "RcptTo");
    AuthBt = MakeButton(this, "AuthBt", "Auth");
    DataBt = MakeButton(this, "DataBt", "Data");
    MailBt = MakeButton(this, "MailBt", "Mail+", "MailFrom, RcptTo, Data");
    AllInOneBt = MakeButton(this, "AllInOneBt", "All in one+", "Connect, Send, Quit");
    auto glyphButton = [this](const char* name, const char* caption, SmtpGlyph g) {
        auto* bt = new QToolButton(this);
        bt->setObjectName(QString::fromLatin1(name));
        bt->setText(QString::fromLatin1(caption));
        bt->setIcon(MakeSmtpGlyph(g));
        bt->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        bt->setMinimumWidth(78);
        return bt;
    };
    ConnectBt = glyphButton("ConnectBt", "Connect", SmtpGlyph::Connect);
    QuitBt = glyphButton("QuitBt", "Quit", SmtpGlyph::Quit);
    QuitBt->setEnabled(false);
    AbortBt = glyphButton("AbortBt", "Abort", SmtpGlyph::Abort);
    AbortBt->setEnabled(false);

    FileAttachList = new QListWidget(this);
    FileAttachList->setObjectName(QStringLiteral("FileAttachList"));
    FileAttachList->installEventFilter(this);
    LoadBt =
        shell::MakeFlatButton(this, QStringLiteral("LoadBt"), QStringLiteral("Load body from file"),
                              MakeSmtpGlyph(SmtpGlyph::Load));
    MsgMemo = new QPlainTextEdit(this);
    MsgMemo->setObjectName(QStringLiteral("MsgMemo"));
    MsgMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MsgMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DisplayMemo = new shell::TMemo(this);
    DisplayMemo->setObjectName(QStringLiteral("DisplayMemo"));
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setMaximumBlockCount(kLogLines);
    ClearBt = MakeClearButton();
    ProxyBt = shell::MakeProxyButton(this);

    // The proxy panel floats over the window and can be dragged about.
    ProxyPanel = new QFrame(this);
    ProxyPanel->setObjectName(QStringLiteral("ProxyPanel"));
    ProxyPanel->setFrameShape(QFrame::Panel);
    ProxyPanel->setFrameShadow(QFrame::Raised);
    ProxyPanel->setAutoFillBackground(true);
    auto* drag = new shell::TPanelDrag(ProxyPanel);
    PEnableCheck = new QCheckBox(QStringLiteral("Use Proxy"), ProxyPanel);
    PEnableCheck->setObjectName(QStringLiteral("PEnableCheck"));
    PAuthCheck = new QCheckBox(QStringLiteral("Authenticate"), ProxyPanel);
    PAuthCheck->setObjectName(QStringLiteral("PAuthCheck"));
    PAddressEdit = MakeEdit(ProxyPanel, "PAddressEdit");
    PPortEdit = MakeEdit(ProxyPanel, "PPortEdit");
    PUserEdit = MakeEdit(ProxyPanel, "PUserEdit");
    PPassEdit = MakeEdit(ProxyPanel, "PPassEdit");
    PPassEdit->setEchoMode(QLineEdit::Password);
    auto panelLabel = [this, drag](const char* text) {
        auto* l = new QLabel(QString::fromLatin1(text), ProxyPanel);
        drag->AddHandle(l);
        return l;
    };
    auto* pgrid = new QGridLayout(ProxyPanel);
    QLabel* title = panelLabel("Proxy Socks5 Configuration");
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    pgrid->addWidget(title, 0, 0, 1, 2);
    pgrid->addWidget(PEnableCheck, 1, 0);
    pgrid->addWidget(PAuthCheck, 1, 1);
    pgrid->addWidget(panelLabel("Address"), 2, 0);
    pgrid->addWidget(PAddressEdit, 2, 1);
    pgrid->addWidget(panelLabel("Port"), 3, 0);
    pgrid->addWidget(PPortEdit, 3, 1);
    pgrid->addWidget(panelLabel("UserCode"), 4, 0);
    pgrid->addWidget(PUserEdit, 4, 1);
    pgrid->addWidget(panelLabel("Password"), 5, 0);
    pgrid->addWidget(PPassEdit, 5, 1);
    ProxyPanel->setFixedSize(250, 170);
    ProxyPanel->move(250, 60);
    ProxyPanel->hide();

    auto label = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };
    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(6);
    fields->setVerticalSpacing(3);
    auto* hostRow = new QHBoxLayout;
    hostRow->addWidget(HostEdit, 1);
    hostRow->addWidget(PortEdit);
    auto* userRow = new QHBoxLayout;
    userRow->addWidget(UserEdit, 1);
    userRow->addWidget(PassEdit, 1);
    fields->addWidget(label("Host"), 0, 0);
    fields->addLayout(hostRow, 0, 1);
    fields->addWidget(label("User/Pass"), 1, 0);
    fields->addLayout(userRow, 1, 1);
    fields->addWidget(label("Auth. Type"), 2, 0);
    fields->addWidget(AuthComboBox, 2, 1);
    fields->addWidget(label("To Address"), 3, 0);
    fields->addWidget(ToEdit, 3, 1);
    fields->addWidget(label("To CC"), 4, 0);
    fields->addWidget(CcEdit, 4, 1);
    fields->addWidget(label("To BCC"), 5, 0);
    fields->addWidget(BccEdit, 5, 1);
    fields->addWidget(label("From Addr."), 0, 2);
    fields->addWidget(FromAddrEdit, 0, 3);
    fields->addWidget(label("From Name"), 1, 2);
    fields->addWidget(FromNameEdit, 1, 3);
    fields->addWidget(label("Reply To"), 2, 2);
    fields->addWidget(ReplyToEdit, 2, 3);
    fields->addWidget(label("Return Path"), 3, 2);
    fields->addWidget(ReturnPathEdit, 3, 3);
    fields->addWidget(label("Local Host"), 4, 2);
    fields->addWidget(SignOnEdit, 4, 3);
    fields->addWidget(label("Subject"), 5, 2);
    fields->addWidget(SubjectEdit, 5, 3);
    fields->setColumnStretch(1, 1);
    fields->setColumnStretch(3, 1);

    auto* buttons = new QGridLayout;
    buttons->setSpacing(3);
    QPushButton* order[] = {OpenBt,    EhloBt, HeloBt, AuthBt,    MailFromBt,
                            RecptToBt, DataBt, MailBt, AllInOneBt};
    for (int i = 0; i < 9; ++i)
        buttons->addWidget(order[i], i / 3, i % 3);
    auto* connection = new QVBoxLayout;
    connection->setSpacing(3);
    connection->addWidget(ConnectBt);
    connection->addWidget(QuitBt);
    connection->addWidget(AbortBt);

    auto* top = new QHBoxLayout;
    top->addLayout(fields, 1);

    auto* commands = new QHBoxLayout;
    commands->addLayout(buttons);
    commands->addLayout(connection);
    commands->addStretch(1);
    commands->addWidget(ProxyBt, 0, Qt::AlignBottom);

    auto* attachCol = new QVBoxLayout;
    attachCol->setSpacing(2);
    attachCol->addWidget(label("Attachment (press INS/DEL)"));
    attachCol->addWidget(FileAttachList, 1);
    auto* bodyHead = new QHBoxLayout;
    bodyHead->addWidget(label("Body"));
    bodyHead->addStretch(1);
    bodyHead->addWidget(LoadBt);
    auto* bodyCol = new QVBoxLayout;
    bodyCol->setSpacing(2);
    bodyCol->addLayout(bodyHead);
    bodyCol->addWidget(MsgMemo, 1);
    auto* statusHead = new QHBoxLayout;
    statusHead->addWidget(label("Status"));
    statusHead->addStretch(1);
    statusHead->addWidget(ClearBt);
    auto* statusCol = new QVBoxLayout;
    statusCol->setSpacing(2);
    statusCol->addLayout(statusHead);
    statusCol->addWidget(DisplayMemo, 1);
    auto* panes = new QHBoxLayout;
    panes->addLayout(attachCol, 2);
    panes->addLayout(bodyCol, 3);
    panes->addLayout(statusCol, 4);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->setSpacing(4);
    outer->addLayout(top);
    outer->addLayout(commands);
    outer->addLayout(panes, 1);
    ProxyPanel->raise();

    auto click = [this](auto* bt, void (TForm6::*handler)()) {
        connect(bt, &std::remove_pointer_t<decltype(bt)>::clicked, this,
                [this, handler] { (this->*handler)(); });
    };
    click(ConnectBt, &TForm6::ConnectBtClick);
    click(OpenBt, &TForm6::OpenBtClick);
    click(HeloBt, &TForm6::HeloBtClick);
    click(EhloBt, &TForm6::EhloBtClick);
    click(AuthBt, &TForm6::AuthBtClick);
    click(MailFromBt, &TForm6::MailFromBtClick);
    click(RecptToBt, &TForm6::RecptToBtClick);
    click(DataBt, &TForm6::DataBtClick);
    click(MailBt, &TForm6::MailBtClick);
    click(AllInOneBt, &TForm6::AllInOneBtClick);
    click(QuitBt, &TForm6::QuitBtClick);
    click(AbortBt, &TForm6::AbortBtClick);
    click(LoadBt, &TForm6::LoadBtClick);
    click(ProxyBt, &TForm6::ProxyBtClick);
    // Leaving these edits copies the address, changed or not.
    for (QLineEdit* edit : {ReplyToEdit, ReturnPathEdit, FromAddrEdit, PassEdit})
        edit->installEventFilter(this);

    smtp_ = std::make_unique<TSmtpCli>();
    smtp_->SetShareMode(smtpShareDenyWrite);
    smtp_->SetLocalAddr("0.0.0.0");
    smtp_->SetPort("smtp");
    smtp_->SetAuthType(smtpAuthNone);
    smtp_->SetConfirmReceipt(false);
    smtp_->SetHdrPriority(smtpPriorityNone);
    smtp_->SetCharSet("iso-8859-1");
    smtp_->SetSendMode(smtpToSocket);
    smtp_->SetDefaultEncoding(smtpEnc7bit);
    smtp_->SetAllow8bitChars(true);
    smtp_->SetFoldHeaders(false);
    smtp_->SetWrapMessageText(false);
    smtp_->SetContentType(smtpPlainText);
    smtp_->SetOwnHeaders(false);
    smtp_->OnDisplay = [this](TCustomSmtpClient*, const std::string& msg) {
        Display(BytesToDisplay(msg));
    };
    smtp_->OnGetData = [this](TCustomSmtpClient*, int n, std::string& line, int maxLen,
                              bool& more) { BodyLineForGetData(body_, n, line, maxLen, more); };
    smtp_->OnRequestDone = [this](TCustomSmtpClient*, TSmtpRequest rq, std::uint16_t e) {
        RequestDone(rq, e);
    };
    smtp_->OnSessionConnected = [this](TCustomSmtpClient*, std::uint16_t) { SessionConnected(); };
    smtp_->OnSessionClosed = [this](TCustomSmtpClient*, std::uint16_t) { SessionClosed(); };
}

TForm6::~TForm6() {
    smtp_->OnDisplay = nullptr;
    smtp_->OnRequestDone = nullptr;
    smtp_->OnSessionConnected = nullptr;
    smtp_->OnSessionClosed = nullptr;
}

void TForm6::Shutdown() {
    // The window is freed next: nothing may print into it any more.
    smtp_->OnDisplay = nullptr;
    smtp_->OnRequestDone = nullptr;
    smtp_->OnSessionConnected = nullptr;
    smtp_->OnSessionClosed = nullptr;
    smtp_->Abort();
}

QStringList TForm6::LogLines() const {
    return DisplayMemo->Lines();
}

void TForm6::Display(const QString& line) {
    DisplayMemo->AddLine(line);
}

void TForm6::ClearOutput() {
    for (QLineEdit* edit : {ToEdit, CcEdit, BccEdit, SubjectEdit})
        edit->clear();
    FileAttachList->clear();
    MsgMemo->clear();
    DisplayMemo->Clear();
}

void TForm6::Guard(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        shell::ShowError(this, QString::fromStdString(e.what()));
    }
}

// ---- what the buttons copy into the client ------------------------------------

void TForm6::ChooseCharSet() {
    // Latin-1 as the window always said, unless some text needs more: then
    // the whole message goes as UTF-8 rather than losing characters.
    bool latin1 = FitsLatin1(MsgMemo->toPlainText());
    for (QLineEdit* edit : {ToEdit, CcEdit, BccEdit, FromAddrEdit, FromNameEdit, ReplyToEdit,
                            ReturnPathEdit, SubjectEdit})
        latin1 = latin1 && FitsLatin1(edit->text());
    utf8_ = !latin1;
    smtp_->SetCharSet(utf8_ ? "utf-8" : "iso-8859-1");
}

std::string TForm6::Bytes(const QString& text) const {
    if (utf8_)
        return text.toStdString();
    const QByteArray latin1 = text.toLatin1();
    return std::string(latin1.constData(), std::size_t(latin1.size()));
}

void TForm6::SetRecipients() {
    ChooseCharSet();
    TSmtpMessageFields f;
    f.to = Bytes(ToEdit->text());
    f.cc = Bytes(CcEdit->text());
    f.bcc = Bytes(BccEdit->text());
    ApplyRecipients(*smtp_, f);
}

void TForm6::SetHeaders() {
    ChooseCharSet();
    TSmtpMessageFields f;
    f.to = Bytes(ToEdit->text());
    f.cc = Bytes(CcEdit->text());
    f.fromAddr = Bytes(FromAddrEdit->text());
    f.fromName = Bytes(FromNameEdit->text());
    f.replyTo = Bytes(ReplyToEdit->text());
    f.returnPath = Bytes(ReturnPathEdit->text());
    f.subject = Bytes(SubjectEdit->text());
    for (int i = 0; i < FileAttachList->count(); ++i)
        f.files.push_back(FileAttachList->item(i)->text().toStdString());
    ApplyHeaders(*smtp_, f);
    SetBody();
}

void TForm6::SetBody() {
    body_.clear();
    const QString text = MsgMemo->toPlainText();
    if (!text.isEmpty())
        for (const QString& line : text.split(u'\n'))
            body_.push_back(Bytes(line));
    // A line that could not go out as it is makes the body go encoded.
    if (ApplyBody(*smtp_, body_))
        body_.clear();
}

void TForm6::SetProxy() {
    TSmtpSocksSettings s;
    s.use = PEnableCheck->isChecked();
    s.authenticate = PAuthCheck->isChecked();
    s.address = PAddressEdit->text().toStdString();
    s.port = PPortEdit->text().toStdString();
    s.user = PUserEdit->text().toStdString();
    s.password = PPassEdit->text().toStdString();
    ApplySocks(*smtp_, s);
}

// ---- buttons ---------------------------------------------------------------------

void TForm6::ConnectBtClick() {
    allInOne_ = false;
    Guard([this] {
        smtp_->SetHost(HostEdit->text().toStdString());
        smtp_->SetPort(PortEdit->text().toStdString());
        SetProxy();
        smtp_->Connect();
    });
}

void TForm6::OpenBtClick() {
    allInOne_ = false;
    Guard([this] {
        smtp_->SetHost(HostEdit->text().toStdString());
        smtp_->SetPort(PortEdit->text().toStdString());
        smtp_->SetSignOn(SignOnEdit->text().toStdString());
        SetProxy();
        smtp_->Open();
    });
}

void TForm6::HeloBtClick() {
    allInOne_ = false;
    Guard([this] {
        smtp_->SetSignOn(SignOnEdit->text().toStdString());
        smtp_->Helo();
    });
}

void TForm6::EhloBtClick() {
    allInOne_ = false;
    Guard([this] {
        smtp_->SetSignOn(SignOnEdit->text().toStdString());
        smtp_->Ehlo();
    });
}

void TForm6::AuthBtClick() {
    allInOne_ = false;
    Guard([this] {
        smtp_->SetUsername(UserEdit->text().toStdString());
        smtp_->SetPassword(PassEdit->text().toStdString());
        smtp_->SetAuthType(TSmtpAuthType(AuthComboBox->currentIndex()));
        smtp_->Auth();
    });
}

void TForm6::MailFromBtClick() {
    allInOne_ = false;
    Guard([this] {
        ChooseCharSet();
        smtp_->SetFromName(Bytes(FromAddrEdit->text()));
        smtp_->MailFrom();
    });
}

void TForm6::RecptToBtClick() {
    allInOne_ = false;
    Guard([this] {
        SetRecipients();
        smtp_->RcptTo();
    });
}

void TForm6::DataBtClick() {
    allInOne_ = false;
    Guard([this] {
        SetRecipients();
        SetHeaders();
        smtp_->Data();
    });
}

void TForm6::MailBtClick() {
    allInOne_ = false;
    Guard([this] {
        SetRecipients();
        SetHeaders();
        smtp_->SetFromName(Bytes(FromAddrEdit->text()));
        smtp_->SetHost(HostEdit->text().toStdString());
        smtp_->SetPort(PortEdit->text().toStdString());
        smtp_->SetSignOn(SignOnEdit->text().toStdString());
        smtp_->Mail();
    });
}

void TForm6::AllInOneBtClick() {
    if (smtp_->Connected()) {
        QApplication::beep();
        Display(QStringLiteral("All-In-One starts in non connected state."));
        Display(QStringLiteral("Please quit or abort the connection first."));
        return;
    }
    Guard([this] {
        SetHeaders();
        smtp_->SetFromName(Bytes(FromAddrEdit->text()));
        smtp_->SetHost(HostEdit->text().toStdString());
        smtp_->SetPort(PortEdit->text().toStdString());
        smtp_->SetSignOn(SignOnEdit->text().toStdString());
        SetRecipients();
        SetProxy();
        allInOne_ = true;
        smtp_->Connect();
    });
}

void TForm6::QuitBtClick() {
    allInOne_ = false;
    Guard([this] { smtp_->Quit(); });
}

void TForm6::AbortBtClick() {
    allInOne_ = false;
    Guard([this] { smtp_->Abort(); });
}

void TForm6::LoadBtClick() {
    const auto path = shell::Dialogs().OpenFileName(
        this, QStringLiteral("Load body"), {}, QStringLiteral("Text (*.txt)|*.txt|All (*.*)|*.*"));
    if (!path)
        return;
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly)) {
        shell::ShowError(this, QStringLiteral("Cannot open ") + *path);
        return;
    }
    const QByteArray bytes = file.readAll();
    QStringList lines;
    for (const std::string& line :
         SplitBodyText(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
        lines << BytesToDisplay(line);
    MsgMemo->setPlainText(lines.join(u'\n'));
}

void TForm6::ProxyBtClick() {
    ProxyPanel->setVisible(!ProxyPanel->isVisible());
    if (ProxyPanel->isVisible()) {
        ProxyPanel->raise();
        PEnableCheck->setFocus();
    }
}

void TForm6::FromAddrEditExit() {
    ReplyToEdit->setText(FromAddrEdit->text());
    ReturnPathEdit->setText(FromAddrEdit->text());
}

void TForm6::PassEditExit() {
    FromAddrEditExit();
}

void TForm6::FileAttachListKey(int key) {
    if (key == Qt::Key_Insert) {
        const auto path = shell::Dialogs().OpenFileName(this, QStringLiteral("Attach a file"), {},
                                                        QStringLiteral("All (*.*)|*.*"));
        if (path)
            FileAttachList->addItem(*path);
    } else if (key == Qt::Key_Delete) {
        delete FileAttachList->currentItem();
    }
}

bool TForm6::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FileAttachList && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Insert || key == Qt::Key_Delete) {
            FileAttachListKey(key);
            return true;
        }
    }
    if (event->type() == QEvent::FocusOut) {
        if (watched == FromAddrEdit)
            FromAddrEditExit();
        else if (watched == PassEdit)
            PassEditExit();
    }
    if ((watched == ReplyToEdit || watched == ReturnPathEdit) &&
        event->type() == QEvent::MouseButtonRelease) {
        auto* edit = static_cast<QLineEdit*>(watched);
        edit->selectAll();
        return true;
    }
    return shell::TToolForm::eventFilter(watched, event);
}

// ---- client events -----------------------------------------------------------------

void TForm6::SessionConnected() {
    ConnectBt->setEnabled(false);
    QuitBt->setEnabled(true);
    AbortBt->setEnabled(true);
}

void TForm6::SessionClosed() {
    ConnectBt->setEnabled(true);
    QuitBt->setEnabled(false);
    AbortBt->setEnabled(false);
}

void TForm6::RequestDone(TSmtpRequest rq, std::uint16_t error) {
    Display(QString::fromStdString(RequestDoneLine(rq, error)));
    if (allInOne_)
        ContinueAllInOne(rq, error);
}

void TForm6::ContinueAllInOne(TSmtpRequest rq, std::uint16_t error) {
    if (error != 0 && rq != smtpQuit) {
        // A failed step ends the chain: nothing more is sent but the goodbye.
        allInOne_ = false;
        Display(QStringLiteral("All-In-One stopped: ") +
                BytesToDisplay(smtp_->ErrorMessage().empty() ? smtp_->LastResponse()
                                                             : smtp_->ErrorMessage()));
        Guard([this] { smtp_->Quit(); });
        return;
    }
    try {
        switch (rq) {
        case smtpConnect:
            smtp_->Helo();
            break;
        case smtpHelo:
            smtp_->MailFrom();
            break;
        case smtpMailFrom:
            smtp_->RcptTo();
            break;
        case smtpRcptTo:
            smtp_->Data();
            break;
        case smtpData:
            smtp_->Quit();
            break;
        case smtpQuit:
            allInOne_ = false;
            Display(QStringLiteral("All-In-One done"));
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        allInOne_ = false;
        shell::ShowError(this, QString::fromStdString(e.what()));
    }
}

} // namespace qordex::mail
