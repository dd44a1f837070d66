#include "shell/WebAddress.h"

#include <QDesktopServices>
#include <QUrl>

namespace qordex::shell {
namespace {

std::function<void(const QString&)>& Opener() {
    static std::function<void(const QString&)> opener;
    return opener;
}

} // namespace

void OpenWebAddress(const QString& address) {
    if (auto& opener = Opener()) {
        opener(address);
        return;
    }
    QDesktopServices::openUrl(QUrl(address));
}

void SetWebAddressOpener(std::function<void(const QString&)> opener) {
    Opener() = std::move(opener);
}

} // namespace qordex::shell
