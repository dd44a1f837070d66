#include "shell/SecondaryForm.h"

namespace qordex::shell {

TSecondaryForm::TSecondaryForm(const QString& className, QWidget* opener)
    : QWidget(nullptr, Qt::Window), opener_(opener) {
    setObjectName(className);
    setAttribute(Qt::WA_DeleteOnClose);
}

} // namespace qordex::shell
