#pragma once
// The "Directory list" window: the lines of a listing file, one per row.
// It frees itself when closed and clears the opener's flag through the
// pointer it was handed.

#include "shell/SecondaryForm.h"

#include <string>

class QListWidget;

namespace qordex::ftp {

class TDirectoryForm : public shell::TSecondaryForm {
    Q_OBJECT
public:
    // `openFlag` (owned by the opener) is cleared when this window closes.
    TDirectoryForm(QWidget* opener, bool* openFlag);
    ~TDirectoryForm() override;

    // Empties the list, then loads the file line by line; a missing file
    // leaves it empty.
    void LoadFile(const std::string& path);
    QListWidget* List() const { return DirListBox; }
    // Called by the opener that goes away first: the flag is no longer there.
    void ForgetFlag() { openFlag_ = nullptr; }

private:
    QListWidget* DirListBox;
    bool* openFlag_;
};

} // namespace qordex::ftp
