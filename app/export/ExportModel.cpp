#include "app/export/ExportModel.h"

namespace mcp {

Value Coder<QUuid>::encode(const QUuid& id) {
    return Value(id.toString(QUuid::WithoutBraces).toUpper().toStdString());
}

QUuid Coder<QUuid>::decode(const Value& value) {
    const std::string text = Coder<std::string>::decode(value);
    const QUuid id = QUuid::fromString(QString::fromStdString(text));
    // fromString also takes the braced form; only the bare 36-character form is a coded UUID.
    if (text.size() != 36 || id.isNull()) {
        throw DecodingError::dataCorrupted({},
                                           "Attempted to decode UUID from invalid UUID string.");
    }
    return id;
}

void Coder<QUuid>::hash(Hasher& hasher, const QUuid& id) {
    hasher.combineText(id.toString(QUuid::WithoutBraces).toUpper().toStdString());
}

Value Coder<QUrl>::encode(const QUrl& url) {
    return Coder<std::string>::encode(url.toString(QUrl::FullyEncoded).toStdString());
}

QUrl Coder<QUrl>::decode(const Value& value) {
    const std::string text = Coder<std::string>::decode(value);
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (text.empty() || !url.isValid()) {
        throw DecodingError::dataCorrupted({}, "Invalid URL string.");
    }
    return url;
}

void Coder<QUrl>::hash(Hasher& hasher, const QUrl& url) {
    hasher.combineText(url.toString(QUrl::FullyEncoded).toStdString());
}

}  // namespace mcp
