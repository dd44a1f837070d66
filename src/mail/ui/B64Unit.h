#pragma once
// The Encoder / Decoder window: turns a file, or the text of its own viewer,
// into Base64, UUencode or "Quoted" lines and back.  A secondary window of
// the POP3 client; the codec itself is mail/UUEnc.

#include "shell/SecondaryForm.h"

#include <QPointer>
#include <QString>
#include <string>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace qordex::mail {

class TForm22 : public shell::TSecondaryForm {
    Q_OBJECT
public:
    // `opener` is the window that opened this one; null when there is none
    // (tests, a start from the command line).
    explicit TForm22(QWidget* opener = nullptr);

    // With release false: remembers the opener's button and disables it.
    // With release true: enables the remembered button again.  The opener
    // calls it right after creating the window; closing the window releases.
    void Bt(QWidget* button, bool release);

    // The buttons' actions.
    void InputBtClick();
    void OutputBtClick();
    void EncodeBtClick() { Convert(true); }
    void DecodeBtClick() { Convert(false); }
    void LoadBtClick();
    void SaveBtClick();
    void ClearBtClick();

    // The codec mode of the checked radio button.
    int Mode() const;

    // The viewer's lines, each followed by CR LF (the "from viewer" source and
    // what "Save to file" writes).
    std::string ViewerBytes() const;
    // Replaces the viewer's text by the bytes, split into lines at CR, LF or CR LF.
    void SetViewerBytes(const std::string& bytes);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Convert(bool encode);
    void FromBoxClick(bool checked);
    void ToBoxClick(bool checked);

    QLineEdit* InputEdit;
    QToolButton* InputBt;
    QLineEdit* OutputEdit;
    QToolButton* OutputBt;
    QCheckBox* FromBox;
    QCheckBox* ToBox;
    QRadioButton* Base64Radio;
    QRadioButton* UUencodeRadio;
    QRadioButton* QuotedRadio;
    QPushButton* EncodeBt;
    QPushButton* DecodeBt;
    QPlainTextEdit* Memo1;
    QToolButton* LoadBt;
    QToolButton* SaveBt;
    QToolButton* ClearBt;

    QPointer<QWidget> openerBt_; // the opener's button, disabled while we are open
    // The viewer's text came from bytes that are not UTF-8 and shows them one
    // character per byte; they go back as those bytes while that still holds.
    bool viewerLatin1_ = false;
    // An existing output file whose replacement the output dialog confirmed.
    QString confirmedOutput_;
};

} // namespace qordex::mail
