#pragma once
// The POP3 client tool: one button per POP3 command, a one-click login, a
// "Next" button that reads the messages one after the other, a "GetAll"
// button that saves every message of the mailbox into a folder, a SOCKS 5
// panel, and the Encoder / Decoder window at hand.

#include "shell/ToolForm.h"

#include <QPointer>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QToolButton;

namespace qordex::shell {
class TMemo;
class TProxyPanel;
} // namespace qordex::shell

namespace qordex::mail {

class TPop3Cli;
class TPop3GetAll;
class TForm22;

class TForm5 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);
    ~TForm5() override;

    // The buttons, as the user presses them.
    void ConnectBtClick();
    void OpenBtClick();
    void UserNameBtClick();
    void PasswordBtClick();
    void ApopBtClick();
    void RpopBtClick();
    void StatBtClick();
    void ListBtClick();
    void ListAllBtClick();
    void UidlBtClick();
    void LastBtClick();
    void RetrBtClick();
    void TopBtClick();
    void DeleteBtClick();
    void ResetBtClick();
    void QuitBtClick();
    void AbortBtClick();
    void NextBtClick();
    void GetAllBtClick();
    void GetPathBtClick();
    void B64BtClick();
    void ProxyBtClick();

    TPop3Cli& Pop3Cli1() { return *Pop3Cli1_; }
    // The Encoder / Decoder window opened by B64Bt; null when none is open.
    TForm22* EncoderWindow() const;
    // The folder GetPathBt proposes: the application's data folder + "/pop3/".
    static QString DefaultMsgPath();

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;
    shell::TMemo* SavePane() const override;
    QString SavePresetName() const override;
    QString SaveFilter() const override;

private:
    void RunCommand(const char* name, const std::function<void()>& op, bool proxy = false);
    bool CopySettings();
    void StandardHandlers();
    void ApplyProxy();
    void Log(const std::string& line);
    void MsgPathEditExit();

    QLineEdit* HostEdit;
    QLineEdit* PortEdit;
    QLineEdit* UsernameEdit;
    QLineEdit* PasswordEdit;
    QLineEdit* MsgNumEdit;
    QLineEdit* MsgLinesEdit;
    QLineEdit* MsgPathEdit;
    QToolButton* GetPathBt;
    QLineEdit* FromEdit;
    QLineEdit* ToEdit;
    QLineEdit* SubjectEdit;
    QLineEdit* MsgIdEdit;
    shell::TMemo* MsgMemo;
    shell::TMemo* DisplayMemo;
    QStatusBar* StatusBar1;
    QPushButton* ConnectBt;
    QPushButton* OpenBt;
    QPushButton* UserNameBt;
    QPushButton* PasswordBt;
    QPushButton* ApopBt;
    QPushButton* RpopBt;
    QPushButton* StatBt;
    QPushButton* ListBt;
    QPushButton* ListAllBt;
    QPushButton* UidlBt;
    QPushButton* LastBt;
    QPushButton* RetrBt;
    QPushButton* TopBt;
    QPushButton* DeleteBt;
    QPushButton* ResetBt;
    QPushButton* NextBt;
    QPushButton* GetAllBt;
    QPushButton* QuitBt;
    QPushButton* AbortBt;
    QToolButton* B64Bt;
    QToolButton* ClearBt;
    QToolButton* SaveBt;
    QToolButton* ProxyBt;
    shell::TProxyPanel* ProxyPanel;
    QCheckBox* PEnableCheck;
    QCheckBox* PAuthCheck;
    QLineEdit* PAddressEdit;
    QLineEdit* PPortEdit;
    QLineEdit* PUserEdit;
    QLineEdit* PPassEdit;

    std::unique_ptr<TPop3Cli> Pop3Cli1_;
    std::unique_ptr<TPop3GetAll> getAll_;
    QPointer<TForm22> b64Form_;
};

} // namespace qordex::mail
