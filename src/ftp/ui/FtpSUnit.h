#pragma once
// The FTP server window: serves one folder to one user, with a check box
// per kind of operation, and logs connections, commands and replies.

#include "ftp/FtpServerTool.h"
#include "shell/ToolForm.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qordex::shell {
class TMemo;
}

namespace qordex::ftp {

class TForm8 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm8(QWidget* parent = nullptr);
    ~TForm8() override;

    void StartBtClick();
    void ListCliBtClick();
    // The start button's tag: 1 while listening.
    int StartTag() const;
    TFtpServerTool& Tool() { return tool_; }

protected:
    void Shutdown() override;
    void ClearOutput() override;

private:
    void Log(const std::string& line);
    void ServerStarted();
    void ServerStopped();
    void RefreshCount();
    void EnableEdits(bool on);

    QLineEdit* AddressEdit;
    QLineEdit* PortEdit;
    QLineEdit* UserEdit;
    QLineEdit* PassEdit;
    QLineEdit* SharingEdit;
    QPushButton* StartBt;
    QPushButton* ListCliBt;
    QLabel* ClientCountLabel;
    shell::TMemo* InfoMemo;
    QCheckBox* GetCheck;
    QCheckBox* PutCheck;
    QCheckBox* RenameCheck;
    QCheckBox* DeleCheck;
    QCheckBox* ChangeDirCheck;
    QCheckBox* MakeDirCheck;
    QCheckBox* RemDirCheck;

    TFtpServerTool tool_; // owns FtpServer1
};

} // namespace qordex::ftp
