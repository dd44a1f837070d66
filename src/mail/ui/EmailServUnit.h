#pragma once
// The SMTP server window: receives mail, lists the connected clients with
// what they said, and stores each message in the destination folder.

#include "mail/SmtpServerTool.h"
#include "shell/ToolForm.h"

class QAction;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace qordex::shell {
class TMemo;
}

namespace qordex::mail {

class TForm18 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm18(QWidget* parent = nullptr);
    ~TForm18() override;

    void StartBtClick();
    void Disconnect1Click();

    TSmtpServerTool& Tool() { return tool_; }

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;

private:
    void Log(const std::string& line);
    void SetEditsEnabled(bool on);
    void RowAdded(const TSmtpServerTool::Row& row);
    void RowChanged(const TSmtpServerTool::Row& row);
    void RowRemoved(const std::string& id);

    QLineEdit* AddressEdit;
    QLineEdit* PortEdit;
    QLineEdit* WelcomeEdit;
    QLineEdit* FolderEdit;
    QPushButton* StartBt;
    QTreeWidget* ClientList;
    QAction* Disconnect1;
    shell::TMemo* Memo1;

    TSmtpServerTool tool_; // owns the server
};

} // namespace qordex::mail
