#include "app/render/SupportedImageTypes.h"

#include <QMimeDatabase>
#include <algorithm>

#include "platform/ImageDecoder.h"

namespace fw {

const QStringList& supportedImageContentTypes() {
    static const QStringList types = [] {
        QStringList candidates;
        for (const std::string& type : platform::decodableImageTypes()) {
            candidates.append(QString::fromStdString(type));
        }
        candidates.append(QStringLiteral("application/pdf"));
        QMimeDatabase database;
        QStringList result;
        for (const QString& candidate : candidates) {
            const QMimeType type = database.mimeTypeForName(candidate);
            if (type.isValid() && !result.contains(type.name())) {
                result.append(type.name());
            }
        }
        return result;
    }();
    return types;
}

bool isSupportedImageContentType(const QMimeType& type) {
    if (!type.isValid() || type.isDefault()) {
        return false;
    }
    const QStringList& supported = supportedImageContentTypes();
    return std::any_of(supported.begin(), supported.end(),
                       [&](const QString& name) { return type.inherits(name); });
}

}  // namespace fw
