#pragma once
// The SMTP client window: compose a message with attachments and send it
// step by step (one SMTP command per button) or in one go, every command,
// reply and request end logged in the status pane.

#include "mail/SmtpProt.h"
#include "shell/ToolForm.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace qordex::shell {
class TMemo;
}

namespace qordex::mail {

class TForm6 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm6(QWidget* parent = nullptr);
    ~TForm6() override;

    // The controls' handlers, as the user triggers them.  A refusal of the
    // client (not ready, not connected, missing file...) shows the error box.
    void ConnectBtClick();
    void OpenBtClick();
    void HeloBtClick();
    void EhloBtClick();
    void AuthBtClick();
    void MailFromBtClick();
    void RecptToBtClick();
    void DataBtClick();
    void MailBtClick();
    void AllInOneBtClick();
    void QuitBtClick();
    void AbortBtClick();
    void LoadBtClick();
    void ProxyBtClick();
    void FromAddrEditExit();
    void PassEditExit();
    // Insert asks for a file to attach; Delete removes the selected one.
    void FileAttachListKey(int key);

    TSmtpCli& SmtpClient() { return *smtp_; }
    // The status pane's lines.
    QStringList LogLines() const;
    // Adds a line to the status pane, which keeps the last 401.
    void Display(const QString& line);

protected:
    void ClearOutput() override;
    void Shutdown() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Guard(const std::function<void()>& action);
    // Text of the controls as bytes, in the message's charset.
    std::string Bytes(const QString& text) const;
    void ChooseCharSet();
    void SetRecipients();
    void SetHeaders();
    void SetBody();
    void SetProxy();
    void RequestDone(TSmtpRequest rq, std::uint16_t error);
    void ContinueAllInOne(TSmtpRequest rq, std::uint16_t error);
    void SessionConnected();
    void SessionClosed();

    QLineEdit* HostEdit;
    QLineEdit* PortEdit;
    QLineEdit* UserEdit;
    QLineEdit* PassEdit;
    QComboBox* AuthComboBox;
    QLineEdit* ToEdit;
    QLineEdit* CcEdit;
    QLineEdit* BccEdit;
    QLineEdit* FromAddrEdit;
    QLineEdit* FromNameEdit;
    QLineEdit* ReplyToEdit;
    QLineEdit* ReturnPathEdit;
    QLineEdit* SignOnEdit;
    QLineEdit* SubjectEdit;
    QPushButton* OpenBt;
    QPushButton* EhloBt;
    QPushButton* HeloBt;
    QPushButton* MailFromBt;
    QPushButton* RecptToBt;
    QPushButton* AuthBt;
    QPushButton* DataBt;
    QPushButton* MailBt;
    QPushButton* AllInOneBt;
    QToolButton* ConnectBt;
    QToolButton* QuitBt;
    QToolButton* AbortBt;
    QListWidget* FileAttachList;
    QToolButton* LoadBt;
    QPlainTextEdit* MsgMemo;
    shell::TMemo* DisplayMemo;
    QToolButton* ClearBt;
    QToolButton* ProxyBt;
    QFrame* ProxyPanel;
    QCheckBox* PEnableCheck;
    QCheckBox* PAuthCheck;
    QLineEdit* PAddressEdit;
    QLineEdit* PPortEdit;
    QLineEdit* PUserEdit;
    QLineEdit* PPassEdit;

    std::unique_ptr<TSmtpCli> smtp_;
    bool allInOne_ = false;         // the all-in-one chain is running
    bool utf8_ = false;             // the message goes as UTF-8 (some text is not Latin-1)
    std::vector<std::string> body_; // the body lines OnGetData hands out
    QPoint dragFrom_;               // where a drag of the proxy panel started
    bool dragging_ = false;
};

} // namespace qordex::mail
