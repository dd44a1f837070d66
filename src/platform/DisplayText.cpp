#include "platform/DisplayText.h"

#include <QStringDecoder>

namespace qordex {

QString BytesToDisplay(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

std::string DisplayToBytes(const QString& text) { return text.toStdString(); }

} // namespace qordex
