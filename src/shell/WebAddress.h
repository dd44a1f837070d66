#pragma once
// Opening a web address with the desktop's browser goes through this seam,
// so that tests see the address instead of starting a browser.

#include <QString>
#include <functional>

namespace qordex::shell {

// Opens `address` with the default browser (or hands it to the test's opener).
void OpenWebAddress(const QString& address);

// The opener in force; a test installs its own and restores {} afterwards.
void SetWebAddressOpener(std::function<void(const QString&)> opener);

} // namespace qordex::shell
