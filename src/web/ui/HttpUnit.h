#pragma once
// The HTTP client tool: one GET, HEAD or POST at a time, the request and
// answer headers in a log, the document stored in a temporary folder and
// shown when it is text, and a proxy panel that can import the system's
// proxy setting.

#include "shell/ToolForm.h"

#include <memory>
#include <string>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace qordex {
class TFileStream;
}
namespace qordex::shell {
class TMemo;
}

namespace qordex::web {

class THttpCli;

class TForm4 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm4(QWidget* parent = nullptr);
    ~TForm4() override;

    // The buttons and the clickable label, as the user triggers them.
    void GetBtClick();
    void HeadBtClick();
    void PostBtClick();
    void CancelBtClick();
    void ParseBtClick();
    void DecodeUrlBtClick();
    void NowBtClick();
    void GetTempBtClick();
    void SaveBodyBtClick();
    void ProxyBtClick();
    void Label15Click();

    THttpCli& HttpCli() { return *HttpCli_; }
    // The stored document's file name in the folder; empty when none.
    const std::string& DocFileName() const { return docFile_; }
    std::string DocFilePath() const { return docFolder_ + docFile_; }
    bool Running() const { return running_; }

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Kind { Get, Head, Post };
    void RunRequest(Kind kind);
    bool CopySettings(bool withDate);
    void SetRunning(bool running);
    void Log(const std::string& line);
    void DocBegin();
    void DocEnd();
    void DeleteDocFile();
    void ShowDocument(bool checkType);

    QLineEdit* URLEdit;
    QLineEdit* DataEdit;
    QLineEdit* UsernameEdit;
    QLineEdit* PasswordEdit;
    QLineEdit* DateTimeEdit;
    QLineEdit* FolderEdit;
    QLineEdit* RefererEdit;
    QLineEdit* AgentEdit;
    QLineEdit* ProgramEdit;
    QPushButton* GetBt;
    QPushButton* HeadBt;
    QPushButton* PostBt;
    QPushButton* CancelBt;
    QToolButton* ParseBt;
    QToolButton* DecodeUrlBt;
    QToolButton* NowBt;
    QToolButton* GetTempBt;
    QToolButton* ClearBt;
    QToolButton* SaveBodyBt;
    QToolButton* ProxyBt;
    shell::TMemo* DisplayMemo;
    shell::TMemo* DocumentMemo;
    QLabel* SizeLabel;
    QFrame* ProxyPanel;
    QCheckBox* PEnableCheck;
    QCheckBox* PAuthCheck;
    QLabel* Label15;
    QLineEdit* PAddressEdit;
    QLineEdit* PPortEdit;
    QLineEdit* PUserEdit;
    QLineEdit* PPassEdit;
    std::unique_ptr<THttpCli> HttpCli_;

    std::string docFolder_;               // where the stored document is
    std::string docFile_;                 // its name there; empty when none
    std::unique_ptr<TFileStream> docFile; // open while the document arrives
    bool docThisRequest_ = false;         // a document was stored for this request
    bool running_ = false;                // a blocking request is under way
    bool closeWanted_ = false;            // closed during a request: close after it
    QPoint dragFrom_;                     // where a drag of the proxy panel started
};

} // namespace qordex::web
