#include "app/tools/ExportModelCoding.h"

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "MCP/JSON/Record.h"

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

namespace {

// The field tables: keys in writing order.
constexpr auto settingsFields() {
    using fw::ExportSettings;
    return std::tuple{field("width", &ExportSettings::width),
                      field("height", &ExportSettings::height),
                      field("frameRate", &ExportSettings::frameRate),
                      field("codec", &ExportSettings::codec),
                      field("quality", &ExportSettings::quality),
                      optionalField("customBitrateMbps", &ExportSettings::customBitrateMbps)};
}

constexpr auto jobFields() {
    using fw::ExportJob;
    return std::tuple{field("id", &ExportJob::id),
                      field("state", &ExportJob::state),
                      field("progress", &ExportJob::progress),
                      field("completedFrames", &ExportJob::completedFrames),
                      field("totalFrames", &ExportJob::totalFrames),
                      field("settings", &ExportJob::settings),
                      field("outputURL", &ExportJob::outputURL),
                      optionalField("error", &ExportJob::error)};
}

template <class F, class T>
void encodeMember(std::vector<Object::Entry>& entries, const F& f, const T& record) {
    const auto& member = record.*(f.member);
    if (f.rule == FieldRule::optional) {
        if constexpr (requires { member.has_value(); }) {
            if (member) {
                entries.emplace_back(std::string(f.key), encodeValue(*member));
            }
        }
    } else {
        entries.emplace_back(std::string(f.key), encodeValue(member));
    }
}

template <class T, class Fields>
Value encodeFields(const T& record, const Fields& fields) {
    std::vector<Object::Entry> entries;
    entries.reserve(std::tuple_size_v<Fields>);
    std::apply([&](const auto&... f) { (encodeMember(entries, f, record), ...); }, fields);
    return Value(Object::fromEntries(std::move(entries)));
}

template <class F, class T>
void decodeMember(T& record, const F& f, const Object& object) {
    using M = typename F::Member;
    const Value* found = object.find(f.key);
    if (f.rule == FieldRule::optional) {
        if constexpr (requires { typename M::value_type; }) {
            if (found == nullptr || found->isNull()) {
                record.*(f.member) = std::nullopt;
            } else {
                record.*(f.member) =
                    decodingAt(f.key, [&] { return decodeValue<typename M::value_type>(*found); });
            }
        }
        return;
    }
    if (found == nullptr) {
        throw DecodingError::keyNotFound({}, f.key);
    }
    record.*(f.member) = decodingAt(f.key, [&] { return decodeValue<M>(*found); });
}

template <class T, class Fields>
T decodeFields(const Value& value, const Fields& fields) {
    const Object* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    T record{};
    std::apply([&](const auto&... f) { (decodeMember(record, f, *object), ...); }, fields);
    return record;
}

template <class T, class Fields>
bool fieldsEqual(const T& a, const T& b, const Fields& fields) {
    return std::apply(
        [&](const auto&... f) { return (codingEquals(a.*(f.member), b.*(f.member)) && ...); },
        fields);
}

template <class T, class Fields>
void hashFields(Hasher& hasher, const T& record, const Fields& fields) {
    std::apply([&](const auto&... f) { (hashInto(hasher, record.*(f.member)), ...); }, fields);
}

}  // namespace

Value Coder<fw::ExportSettings>::encode(const fw::ExportSettings& settings) {
    return encodeFields(settings, settingsFields());
}

fw::ExportSettings Coder<fw::ExportSettings>::decode(const Value& value) {
    return decodeFields<fw::ExportSettings>(value, settingsFields());
}

bool Coder<fw::ExportSettings>::equals(const fw::ExportSettings& a, const fw::ExportSettings& b) {
    return fieldsEqual(a, b, settingsFields());
}

void Coder<fw::ExportSettings>::hash(Hasher& hasher, const fw::ExportSettings& settings) {
    hashFields(hasher, settings, settingsFields());
}

Value Coder<fw::ExportJob>::encode(const fw::ExportJob& job) {
    return encodeFields(job, jobFields());
}

fw::ExportJob Coder<fw::ExportJob>::decode(const Value& value) {
    return decodeFields<fw::ExportJob>(value, jobFields());
}

bool Coder<fw::ExportJob>::equals(const fw::ExportJob& a, const fw::ExportJob& b) {
    return fieldsEqual(a, b, jobFields());
}

void Coder<fw::ExportJob>::hash(Hasher& hasher, const fw::ExportJob& job) {
    hashFields(hasher, job, jobFields());
}

}  // namespace mcp
