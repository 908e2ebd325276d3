#include "app/folders/AuthorizedFolder.h"

#include <QHashFunctions>

namespace fw {

std::string AuthorizedFolder::idString() const {
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

QUuid AuthorizedFolder::parseID(const std::string& text) {
    // Exactly 8-4-4-4-12 hexadecimal digits; QUuid would also take braces.
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return {};
    }
    return QUuid::fromString(QAnyStringView(QByteArrayView(text.data(), 36)));
}

}  // namespace fw

std::size_t std::hash<fw::AuthorizedFolder>::operator()(
    const fw::AuthorizedFolder& folder) const noexcept {
    std::size_t seed = qHash(folder.id);
    seed ^=
        std::hash<std::string>()(folder.name) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    seed ^= std::hash<bool>()(folder.writable) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
}
