#include "StoredText.h"

#include <QStringDecoder>

QString StoredText(std::string_view bytes) {
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // A leading byte order mark is text like any other: it is kept, never skipped.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                    QStringConverter::Flag::ConvertInitialBom);
    QString text = utf8(view);
    if (utf8.hasError())
        return QString::fromLatin1(view);
    return text;
}

std::string StoredTextUtf8(std::string_view bytes) {
    return StoredText(bytes).toUtf8().toStdString();
}

std::string StoredBytes(const QString& text, const std::string& original) {
    if (text == StoredText(original))
        return original;
    return text.toUtf8().toStdString();
}

bool StorableText(const QString& text) {
    return !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QChar(u'\0'));
}
