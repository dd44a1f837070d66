#pragma once
// The FTP client tool: every operation of its TFtpClient as a button, run
// asynchronously or through its blocking twin, the dialogue in a log, and
// listings in a separate "Directory list" window.

#include "ftp/FtpCli.h"
#include "ftp/ui/DirUnit.h"
#include "shell/ToolForm.h"

#include <QPointer>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace qordex::shell {
class TMemo;
}

namespace qordex::ftp {

class TForm7 : public shell::TToolForm {
    Q_OBJECT
public:
    explicit TForm7(QWidget* parent = nullptr);
    ~TForm7() override;

    TFtpClient& FtpClient1() { return *client_; }
    // The listing work file, in a folder of this window's own.
    const std::string& ListingFile() const { return listingFile_; }
    TDirectoryForm* DirectoryForm() const { return dirForm_; }
    // Adds a line to the log: past 200 lines the oldest 50 go first.
    void Log(const QString& line);

protected:
    void FirstShow() override;
    void Shutdown() override;
    void ClearOutput() override;

private:
    // What a button copies into the client before it runs; false stops it.
    using Copy = std::function<bool()>;
    QPushButton* AddButton(QWidget* box, const char* name, const char* caption, Copy copy,
                           void (TCustomFtpCli::*op)());
    void Execute(const Copy& copy, void (TCustomFtpCli::*op)());
    bool FullSettings();
    bool CopyResumeAt();
    void BindDisplay();
    void DeleteListingFile();
    void ShowListing();
    void RequestDone(TFtpRequest rq, int error);

    std::unique_ptr<TFtpClient> client_;
    QLineEdit* HostNameEdit;
    QLineEdit* PortEdit;
    QLineEdit* UserNameEdit;
    QLineEdit* PassWordEdit;
    QLineEdit* HostDirEdit;
    QLineEdit* HostFileEdit;
    QLineEdit* LocalFileEdit;
    QLineEdit* ResumeAtEdit;
    QCheckBox* cbBinary;
    QCheckBox* cbDisplay;
    QCheckBox* PassiveCheckBox;
    QCheckBox* SyncCheckBox;
    QCheckBox* NoAutoResumeAtCheckBox;
    QLabel* InfoLabel;
    QLabel* StateLabel;
    shell::TMemo* DisplayMemo;
    QToolButton* ProxyBt;
    QFrame* ProxyPanel;
    QCheckBox* FtpCheck;
    QComboBox* ProxyCombo;
    QLineEdit* ProxyServerEdit;
    QLineEdit* SocksServerEdit;
    QLineEdit* SocksPortEdit;
    QLineEdit* SocksUserEdit;
    QLineEdit* SocksPassEdit;
    QCheckBox* PAuthCheck;

    QTemporaryDir work_;      // private: nobody else can plant the listing file
    std::string listingFile_; // work_ + "FTPTEMP.TXT"
    bool dirFormOpen_ = false;
    QPointer<TDirectoryForm> dirForm_;
    std::chrono::steady_clock::time_point nextProgress_{};
    std::int64_t lastProgress_ = 0;
};

} // namespace qordex::ftp
