#pragma once
// Protocol data is bytes; windows show it as UTF-8 when it is valid, else as Latin-1.

#include <QString>
#include <string>
#include <string_view>

namespace qordex {

QString BytesToDisplay(std::string_view bytes);

// The inverse for text typed by the user: UTF-8 bytes.
std::string DisplayToBytes(const QString& text);

} // namespace qordex
