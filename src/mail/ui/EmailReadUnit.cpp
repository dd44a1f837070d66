#include "mail/ui/EmailReadUnit.h"

#include "base/Text.h"
#include "mail/EmailRead.h"
#include "mail/MailSocks.h"
#include "mail/Pop3Prot.h"
#include "mail/ui/B64Unit.h"
#include "platform/DisplayText.h"
#include "platform/MessageLoop.h"
#include "shell/Dialogs.h"
#include "shell/FlatButton.h"
#include "shell/Glyphs.h"
#include "shell/Memo.h"
#include "shell/PanelDrag.h"
#include "shell/ProxyPanel.h"

#include <QCheckBox>
#include <QDir>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolButton>
#include <algorithm>
#include <climits>

namespace qordex::mail {
namespace {

QString Q(const std::string& s) {
    return BytesToDisplay(s);
}

std::string S(const QString& s) {
    return DisplayToBytes(s);
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text, int x, int y, int w) {
    auto* e = new QLineEdit(QString::fromUtf8(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, 22);
    return e;
}

QLineEdit* Shown(QWidget* parent, const char* name, int x, int y, int w) {
    QLineEdit* e = Edit(parent, name, "", x, y, w);
    e->setReadOnly(true);
    return e;
}

QLabel* Label(QWidget* parent, const char* text, int x, int y, int w) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setGeometry(x, y, w, 22);
    return l;
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, int x, int y,
                    const char* hint = nullptr) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, 62, 25);
    if (hint)
        b->setToolTip(QString::fromLatin1(hint));
    return b;
}

shell::TMemo* Memo(QWidget* parent, const char* name, int x, int y, int w, int h) {
    auto* m = new shell::TMemo(parent);
    m->setObjectName(QString::fromLatin1(name));
    m->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m->setGeometry(x, y, w, h);
    m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return m;
}

} // namespace

TForm5::TForm5(QWidget* parent) : shell::TToolForm(QStringLiteral("TForm5"), parent) {
    setWindowTitle(QStringLiteral("POP3 client"));
    SetFixedToolSize(744, 484);

    Label(this, "Host", 8, 8, 40);
    HostEdit = Edit(this, "HostEdit", "", 50, 8, 160);
    PortEdit = Edit(this, "PortEdit", "110", 214, 8, 50);
    Label(this, "Username", 274, 8, 62);
    UsernameEdit = Edit(this, "UsernameEdit", "", 338, 8, 120);
    Label(this, "Password", 466, 8, 62);
    PasswordEdit = Edit(this, "PasswordEdit", "", 530, 8, 120);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    ProxyBt = shell::MakeProxyButton(this);
    ProxyBt->setGeometry(664, 8, 70, 22);

    Label(this, "Msg. Num.", 8, 36, 62);
    MsgNumEdit = Edit(this, "MsgNumEdit", "1", 72, 36, 50);
    Label(this, "Lines", 132, 36, 36);
    MsgLinesEdit = Edit(this, "MsgLinesEdit", "0", 170, 36, 50);
    Label(this, "Msg. Path", 230, 36, 62);
    MsgPathEdit = Edit(this, "MsgPathEdit", "", 294, 36, 330);
    GetPathBt = shell::MakeFlatButton(this, QStringLiteral("GetPathBt"),
                                      QStringLiteral("Get application path"),
                                      shell::Glyph(shell::GlyphKind::Tool, u'P', 40));
    GetPathBt->move(630, 34);

    int x = 8;
    auto next = [&x] {
        const int at = x;
        x += 66;
        return at;
    };
    ConnectBt = Button(this, "ConnectBt", "Connect", next(), 66);
    OpenBt = Button(this, "OpenBt", "Open+", next(), 66, "Connect, Auth");
    UserNameBt = Button(this, "UserNameBt", "Username", next(), 66);
    PasswordBt = Button(this, "PasswordBt", "Password", next(), 66);
    ApopBt = Button(this, "ApopBt", "Apop", next(), 66);
    RpopBt = Button(this, "RpopBt", "Rpop", next(), 66);
    StatBt = Button(this, "StatBt", "Stat", next(), 66);
    ListBt = Button(this, "ListBt", "List", next(), 66);
    ListAllBt = Button(this, "ListAllBt", "ListAll", next(), 66);
    UidlBt = Button(this, "UidlBt", "Uidl", next(), 66);
    LastBt = Button(this, "LastBt", "Last", next(), 66);
    x = 8;
    RetrBt = Button(this, "RetrBt", "Retr", next(), 94);
    TopBt = Button(this, "TopBt", "Top", next(), 94);
    DeleteBt = Button(this, "DeleteBt", "Delete", next(), 94);
    ResetBt = Button(this, "ResetBt", "Reset", next(), 94);
    NextBt = Button(this, "NextBt", "Next", next(), 94);
    GetAllBt = Button(this, "GetAllBt", "GetAll", next(), 94);
    QuitBt = Button(this, "QuitBt", "Quit", next(), 94);
    AbortBt = Button(this, "AbortBt", "Abort", next(), 94);
    QuitBt->setEnabled(false);
    AbortBt->setEnabled(false);
    B64Bt = new QToolButton(this);
    B64Bt->setObjectName(QStringLiteral("B64Bt"));
    B64Bt->setText(QStringLiteral("B64/UU Encoder/Decoder"));
    B64Bt->setToolTip(QStringLiteral("Encoder / Decoder (Base64, UUencode, Quoted)"));
    B64Bt->setAutoRaise(true);
    B64Bt->setGeometry(536, 94, 200, 25);
    ClearBt = MakeClearButton();
    ClearBt->move(670, 34);
    SaveBt = MakeSaveButton();
    SaveBt->setToolTip(QStringLiteral("Save body to file"));
    SaveBt->move(698, 34);

    Label(this, "From", 8, 126, 40);
    FromEdit = Shown(this, "FromEdit", 60, 126, 300);
    Label(this, "To", 372, 126, 50);
    ToEdit = Shown(this, "ToEdit", 426, 126, 310);
    Label(this, "Subject", 8, 152, 50);
    SubjectEdit = Shown(this, "SubjectEdit", 60, 152, 300);
    Label(this, "Msg. ID", 372, 152, 50);
    MsgIdEdit = Shown(this, "MsgIdEdit", 426, 152, 310);

    Label(this, "Body", 8, 176, 60);
    MsgMemo = Memo(this, "MsgMemo", 8, 196, 728, 118);
    MsgMemo->setReadOnly(true);
    Label(this, "Status", 8, 316, 60);
    DisplayMemo = Memo(this, "DisplayMemo", 8, 336, 728, 122);
    DisplayMemo->setReadOnly(true);
    DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, 462, 744, 22);

    ProxyPanel = new shell::TProxyPanel(this, QStringLiteral("Proxy Socks5 Configuration"),
                                        QRect(440, 180, 290, 166));
    PEnableCheck = ProxyPanel->PEnableCheck;
    PAuthCheck = ProxyPanel->PAuthCheck;
    PAddressEdit = ProxyPanel->PAddressEdit;
    PPortEdit = ProxyPanel->PPortEdit;
    PUserEdit = ProxyPanel->PUserEdit;
    PPassEdit = ProxyPanel->PPassEdit;

    Pop3Cli1_ = std::make_unique<TPop3Cli>();
    Pop3Cli1_->SetPort("pop3");
    Pop3Cli1_->SetAuthType(popAuthNone);
    Pop3Cli1_->SetMsgLines(0);
    Pop3Cli1_->SetMsgNum(0);
    Pop3Cli1_->OnDisplay = [this](TCustomPop3Cli*, const std::string& msg) { Log(msg); };
    Pop3Cli1_->OnHeaderEnd = [this](TCustomPop3Cli* p) {
        SubjectEdit->setText(Q(p->MsgSubject()));
        FromEdit->setText(Q(p->MsgFrom()));
        ToEdit->setText(Q(p->MsgTo()));
        MsgIdEdit->setText(Q(p->MsgId()));
    };
    Pop3Cli1_->OnListBegin = [this](TCustomPop3Cli*) { Log(kListBeginText); };
    Pop3Cli1_->OnListLine = [this](TCustomPop3Cli* p) { Log(ListLineText(*p)); };
    Pop3Cli1_->OnListEnd = [this](TCustomPop3Cli*) { Log(kListEndText); };
    Pop3Cli1_->OnUidlBegin = [this](TCustomPop3Cli*) { Log(kUidlBeginText); };
    Pop3Cli1_->OnUidlLine = [this](TCustomPop3Cli* p) { Log(UidlLineText(*p)); };
    Pop3Cli1_->OnUidlEnd = [this](TCustomPop3Cli*) { Log(kUidlEndText); };
    Pop3Cli1_->OnSessionConnected = [this](TCustomPop3Cli*, std::uint16_t) {
        ConnectBt->setEnabled(false);
        QuitBt->setEnabled(true);
        AbortBt->setEnabled(true);
    };
    Pop3Cli1_->OnSessionClosed = [this](TCustomPop3Cli*, std::uint16_t) {
        ConnectBt->setEnabled(true);
        QuitBt->setEnabled(false);
        AbortBt->setEnabled(false);
    };
    StandardHandlers();
    getAll_ = std::make_unique<TPop3GetAll>(*Pop3Cli1_, [this](const std::string& l) { Log(l); });
    getAll_->OnFinished = [this](bool, const std::string& error, bool fileError) {
        if (fileError)
            shell::ShowError(this, Q(error));
    };

    const std::pair<QPushButton*, void (TForm5::*)()> buttons[] = {
        {ConnectBt, &TForm5::ConnectBtClick},   {OpenBt, &TForm5::OpenBtClick},
        {UserNameBt, &TForm5::UserNameBtClick}, {PasswordBt, &TForm5::PasswordBtClick},
        {ApopBt, &TForm5::ApopBtClick},         {RpopBt, &TForm5::RpopBtClick},
        {StatBt, &TForm5::StatBtClick},         {ListBt, &TForm5::ListBtClick},
        {ListAllBt, &TForm5::ListAllBtClick},   {UidlBt, &TForm5::UidlBtClick},
        {LastBt, &TForm5::LastBtClick},         {RetrBt, &TForm5::RetrBtClick},
        {TopBt, &TForm5::TopBtClick},           {DeleteBt, &TForm5::DeleteBtClick},
        {ResetBt, &TForm5::ResetBtClick},       {NextBt, &TForm5::NextBtClick},
        {GetAllBt, &TForm5::GetAllBtClick},     {QuitBt, &TForm5::QuitBtClick},
        {AbortBt, &TForm5::AbortBtClick},
    };
    for (const auto& [bt, fn] : buttons)
        connect(bt, &QPushButton::clicked, this, [this, fn = fn] { (this->*fn)(); });
    connect(GetPathBt, &QToolButton::clicked, this, [this] { GetPathBtClick(); });
    connect(B64Bt, &QToolButton::clicked, this, [this] { B64BtClick(); });
    connect(ProxyBt, &QToolButton::clicked, this, [this] { ProxyBtClick(); });
    connect(MsgPathEdit, &QLineEdit::editingFinished, this, [this] { MsgPathEditExit(); });
}

TForm5::~TForm5() {
    // The chain goes before the engine whose events it holds.
    getAll_.reset();
    Pop3Cli1_.reset();
}

TForm22* TForm5::EncoderWindow() const {
    return b64Form_.data();
}

QString TForm5::DefaultMsgPath() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/pop3/");
}

void TForm5::Log(const std::string& line) {
    DisplayMemo->AddBytes(line);
}

void TForm5::FirstShow() {
    GetPathBtClick();
}

void TForm5::GetPathBtClick() {
    MsgPathEdit->setText(DefaultMsgPath());
}

void TForm5::MsgPathEditExit() {
    const QString path = MsgPathEdit->text();
    if (!path.isEmpty() && !path.endsWith(u'/'))
        MsgPathEdit->setText(path + u'/');
}

shell::TMemo* TForm5::SavePane() const {
    return DisplayMemo;
}

QString TForm5::SavePresetName() const {
    return SubjectEdit->text();
}

QString TForm5::SaveFilter() const {
    return shell::kLongFilter;
}

void TForm5::ClearOutput() {
    FromEdit->clear();
    SubjectEdit->clear();
    ToEdit->clear();
    MsgIdEdit->clear();
    MsgMemo->Clear();
    DisplayMemo->Clear();
}

void TForm5::StandardHandlers() {
    TPop3Cli& p = *Pop3Cli1_;
    p.OnRequestDone = [this](TCustomPop3Cli* s, TPop3Request rq, std::uint16_t error) {
        Log(Pop3RequestDoneLine(rq, error));
        if (rq == pop3Stat)
            StatusBar1->showMessage(Q(StatDoneText(*s)));
        else if (rq == pop3List)
            StatusBar1->showMessage(Q(ListDoneText(*s)));
        else if (rq == pop3Last)
            StatusBar1->showMessage(Q(LastDoneText(*s)));
    };
    p.OnMessageBegin = [this](TCustomPop3Cli* s) { MsgMemo->AddBytes(MessageBeginText(*s)); };
    p.OnMessageEnd = [this](TCustomPop3Cli* s) { MsgMemo->AddBytes(MessageEndText(*s)); };
    p.OnMessageLine = [this](TCustomPop3Cli* s) { MsgMemo->AddBytes(s->LastResponse()); };
}

bool TForm5::CopySettings() {
    TPop3Cli& p = *Pop3Cli1_;
    p.SetHost(S(HostEdit->text()));
    p.SetPort(S(PortEdit->text()));
    p.SetUserName(S(UsernameEdit->text()));
    p.SetPassWord(S(PasswordEdit->text()));
    for (QLineEdit* e : {MsgNumEdit, MsgLinesEdit}) {
        const auto v = ParseDecimal(S(e->text().trimmed()), INT_MIN, INT_MAX);
        if (!v) {
            shell::ShowError(this, Q(NotAnIntegerMessage(S(e->text()))));
            return false;
        }
        if (e == MsgNumEdit)
            p.SetMsgNum(int(*v));
        else
            p.SetMsgLines(int(*v));
    }
    return true;
}

void TForm5::ApplyProxy() {
    ApplyMailSocks(Pop3Cli1_->ConnectionSocket(), ProxyPanel->Socks5());
}

void TForm5::RunCommand(const char* name, const std::function<void()>& op, bool proxy) {
    SubjectEdit->clear();
    FromEdit->clear();
    ToEdit->clear();
    if (!CopySettings())
        return;
    // A request still running (GetAll's, say) keeps its handlers: the new
    // operation is refused anyway, or is Abort, which that request must see.
    const TPop3State state = Pop3Cli1_->State();
    if (state == pop3Ready || state == pop3InternalReady)
        StandardHandlers();
    const QString what = QString::fromLatin1(name);
    StatusBar1->showMessage(what + QStringLiteral(" started"));
    try {
        if (proxy)
            ApplyProxy();
        op();
        StatusBar1->showMessage(what + QStringLiteral(" ok"));
    } catch (const std::exception& e) {
        StatusBar1->showMessage(what + QStringLiteral(" failed (") + Q(e.what()) + u')');
    }
}

void TForm5::ConnectBtClick() {
    RunCommand(
        "Connect", [this] { Pop3Cli1_->Connect(); }, true);
}

void TForm5::OpenBtClick() {
    RunCommand(
        "Open", [this] { Pop3Cli1_->Open(); }, true);
}

void TForm5::UserNameBtClick() {
    RunCommand("User", [this] { Pop3Cli1_->User(); });
}

void TForm5::PasswordBtClick() {
    RunCommand("Pass", [this] { Pop3Cli1_->Pass(); });
}

void TForm5::RpopBtClick() {
    RunCommand("Rpop", [this] { Pop3Cli1_->RPop(); });
}

void TForm5::ApopBtClick() {
    RunCommand("Apop", [this] { Pop3Cli1_->APop(); });
}

void TForm5::StatBtClick() {
    RunCommand("Stat", [this] { Pop3Cli1_->Stat(); });
}

void TForm5::ListBtClick() {
    RunCommand("List", [this] { Pop3Cli1_->List(); });
}

void TForm5::ListAllBtClick() {
    MsgNumEdit->setText(QStringLiteral("0"));
    RunCommand("List All", [this] { Pop3Cli1_->List(); });
}

void TForm5::UidlBtClick() {
    RunCommand("Uidl", [this] { Pop3Cli1_->Uidl(); });
}

void TForm5::LastBtClick() {
    RunCommand("Last", [this] { Pop3Cli1_->Last(); });
}

void TForm5::RetrBtClick() {
    RunCommand("Retr", [this] { Pop3Cli1_->Retr(); });
}

void TForm5::TopBtClick() {
    RunCommand("Top", [this] { Pop3Cli1_->Top(); });
}

void TForm5::DeleteBtClick() {
    RunCommand("Delete", [this] { Pop3Cli1_->Dele(); });
}

void TForm5::ResetBtClick() {
    RunCommand("Rset", [this] { Pop3Cli1_->RSet(); });
}

void TForm5::QuitBtClick() {
    RunCommand("Quit", [this] { Pop3Cli1_->Quit(); });
}

void TForm5::AbortBtClick() {
    RunCommand("Abort", [this] { Pop3Cli1_->Abort(); });
}

void TForm5::NextBtClick() {
    TPop3Cli& p = *Pop3Cli1_;
    if (p.State() != pop3Ready && p.State() != pop3InternalReady) {
        shell::ShowError(this, QStringLiteral("POP3 component not ready"));
        return;
    }
    MsgMemo->Clear();
    p.OnMessageBegin = [](TCustomPop3Cli*) {};
    p.OnMessageEnd = nullptr;
    p.OnMessageLine = [this](TCustomPop3Cli* s) { MsgMemo->AddBytes(s->LastResponse()); };
    p.OnRequestDone = [this](TCustomPop3Cli*, TPop3Request, std::uint16_t error) {
        if (error != 0)
            return;
        if (const auto n = ParseDecimal(S(MsgNumEdit->text().trimmed()), INT_MIN, INT_MAX - 1))
            MsgNumEdit->setText(QString::number(*n + 1));
    };
    try {
        const auto n = ParseDecimal(S(MsgNumEdit->text().trimmed()), INT_MIN, INT_MAX);
        if (!n)
            throw std::runtime_error(NotAnIntegerMessage(S(MsgNumEdit->text())));
        p.SetMsgNum(int(*n));
        p.Retr();
    } catch (const std::exception& e) {
        shell::ShowError(this, Q(e.what()));
    }
}

void TForm5::GetAllBtClick() {
    if (Pop3Cli1_->State() != pop3Ready && Pop3Cli1_->State() != pop3InternalReady) {
        shell::ShowError(this, QStringLiteral("POP3 component not ready"));
        return;
    }
    const QString folder = MsgPathEdit->text();
    // The proposed folder is ours to make; any other must exist.
    if (folder == DefaultMsgPath())
        QDir().mkpath(folder);
    try {
        getAll_->Start(S(folder));
    } catch (const std::exception& e) {
        StandardHandlers();
        shell::ShowError(this, Q(e.what()));
    }
}

void TForm5::B64BtClick() {
    auto* form = new TForm22(this);
    b64Form_ = form;
    form->Bt(B64Bt, false);
    form->show();
    PumpMessages();
}

void TForm5::ProxyBtClick() {
    ProxyPanel->Toggle();
}

void TForm5::Shutdown() {
    Pop3Cli1_->OnRequestDone = nullptr;
    Pop3Cli1_->OnSessionClosed = nullptr;
    Pop3Cli1_->Abort();
    if (!B64Bt->isEnabled() && b64Form_)
        b64Form_->close();
}

} // namespace qordex::mail
