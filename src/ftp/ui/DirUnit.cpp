#include "ftp/ui/DirUnit.h"

#include "platform/DisplayText.h"

#include <QFile>
#include <QListWidget>
#include <QVBoxLayout>

namespace qordex::ftp {

TDirectoryForm::TDirectoryForm(QWidget* opener, bool* openFlag)
    : TSecondaryForm(QStringLiteral("TDirectoryForm"), opener), openFlag_(openFlag) {
    setWindowTitle(QStringLiteral("Directory list"));
    setWindowFlags(Qt::Window | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    resize(534, 314);
    DirListBox = new QListWidget(this);
    DirListBox->setObjectName(QStringLiteral("DirListBox"));
    DirListBox->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(DirListBox);
    if (openFlag_)
        *openFlag_ = true;
}

TDirectoryForm::~TDirectoryForm() {
    if (openFlag_)
        *openFlag_ = false;
}

void TDirectoryForm::LoadFile(const std::string& path) {
    DirListBox->clear();
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Listings end their lines with CR LF (or LF); neither is shown.
    while (!file.atEnd()) {
        QByteArray line = file.readLine(1 << 20);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        DirListBox->addItem(BytesToDisplay(std::string_view(line.constData(), line.size())));
    }
}

} // namespace qordex::ftp
