#include "app/actions/ActionsBusService.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QMetaType>
#include <map>
#include <memory>
#include <utility>

#include "Logging/Logger.h"
#include "app/actions/AppEnums.h"
#include "app/actions/ExportMovieAction.h"
#include "app/actions/ExportStatusActions.h"
#include "app/actions/Identifiers.h"
#include "app/actions/MovieFolderEntity.h"
#include "app/actions/MovieJobEntity.h"
#include "app/folders/FileAccessError.h"

namespace fw::actions {

namespace {

using VariantMapList = QList<QVariantMap>;

QString qtext(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

QString errorName(const char* kind) {
    return QStringLiteral("%1.Error.%2").arg(QString::fromUtf8(ActionsBusService::kServiceName),
                                              QString::fromUtf8(kind));
}

// The D-Bus error for a failure: its text unchanged, its name after its kind.
QDBusMessage errorReply(const QDBusMessage& call, const ExportFailure& failure) {
    const char* kind = "Failed";
    if (const ExportError* own = failure.exportError()) {
        switch (own->kind()) {
            case ExportError::Kind::invalid:
                kind = "Invalid";
                break;
            case ExportError::Kind::busy:
                kind = "Busy";
                break;
            case ExportError::Kind::unknownJob:
                kind = "UnknownJob";
                break;
            case ExportError::Kind::cancelled:
                kind = "Cancelled";
                break;
        }
    } else if (const platform::Error* error = failure.error()) {
        if (error->isUserCancelled()) {
            kind = "UserCancelled";
        } else if (FileAccessError::kindOf(*error)) {
            kind = "FileAccess";
        }
    }
    return call.createErrorReply(errorName(kind), QString::fromStdString(failure.description()));
}

QDBusMessage invalidArgs(const QDBusMessage& call, const QString& text) {
    return call.createErrorReply(QDBusError::InvalidArgs, text);
}

QVariantMap folderFields(const MovieFolderEntity& folder) {
    return {{QStringLiteral("id"), QString::fromStdString(folder.id)},
            {QStringLiteral("name"), QString::fromStdString(folder.name)},
            {QStringLiteral("writable"), folder.writable},
            {QStringLiteral("title"),
             QString::fromStdString(folder.displayRepresentation().title)}};
}

QVariantMap jobFields(const MovieJobEntity& job) {
    const DisplayRepresentation display = job.displayRepresentation();
    QVariantMap fields{{QStringLiteral("id"), QString::fromStdString(job.id)},
                       {QStringLiteral("state"), QString::fromStdString(job.state)},
                       {QStringLiteral("progress"), job.progress},
                       {QStringLiteral("completedFrames"), qlonglong(job.completedFrames)},
                       {QStringLiteral("totalFrames"), qlonglong(job.totalFrames)},
                       {QStringLiteral("outputURL"), job.outputURL.toString(QUrl::FullyEncoded)},
                       {QStringLiteral("title"), QString::fromStdString(display.title)},
                       {QStringLiteral("subtitle"),
                        QString::fromStdString(display.subtitle.value_or(""))}};
    if (job.error) {
        fields.insert(QStringLiteral("error"), QString::fromStdString(*job.error));
    }
    return fields;
}

template <class Entity>
QVariant entityList(const std::vector<Entity>& entities, QVariantMap (*fields)(const Entity&)) {
    VariantMapList list;
    list.reserve(static_cast<qsizetype>(entities.size()));
    for (const Entity& entity : entities) {
        list.append(fields(entity));
    }
    return QVariant::fromValue(list);
}

template <class Enum, std::size_t N>
QVariant choices(const std::array<Enum, N>& cases) {
    VariantMapList list;
    for (Enum value : cases) {
        list.append({{QStringLiteral("value"), qtext(rawValue(value))},
                     {QStringLiteral("title"), qtext(caseTitle(value))}});
    }
    return QVariant::fromValue(list);
}

QVariantMap properties() {
    QMap<QString, QString> titles{
        {QStringLiteral("state"), qtext(MovieJobEntity::kStateTitle)},
        {QStringLiteral("progress"), qtext(MovieJobEntity::kProgressTitle)},
        {QStringLiteral("completedFrames"), qtext(MovieJobEntity::kCompletedFramesTitle)},
        {QStringLiteral("totalFrames"), qtext(MovieJobEntity::kTotalFramesTitle)},
        {QStringLiteral("outputURL"), qtext(MovieJobEntity::kOutputTitle)},
        {QStringLiteral("error"), qtext(MovieJobEntity::kErrorTitle)}};
    return {{QStringLiteral("Codecs"), choices(kAllExportCodecs)},
            {QStringLiteral("CodecTypeName"), qtext(kCodecTypeName)},
            {QStringLiteral("Qualities"), choices(kAllExportQualities)},
            {QStringLiteral("QualityTypeName"), qtext(kQualityTypeName)},
            {QStringLiteral("FolderTypeName"), qtext(MovieFolderEntity::kTypeName)},
            {QStringLiteral("JobTypeName"), qtext(MovieJobEntity::kTypeName)},
            {QStringLiteral("JobPropertyTitles"), QVariant::fromValue(titles)}};
}

bool isInteger(const QVariant& value) {
    switch (value.metaType().id()) {
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            return true;
        default:
            return false;
    }
}

std::vector<std::string> stringList(const QVariant& value) {
    std::vector<std::string> list;
    for (const QString& text : value.toStringList()) {
        list.push_back(text.toStdString());
    }
    return list;
}

// Reads ExportMovie's arguments; an error text for arguments that do not fit.
std::optional<QString> readExportMovie(const QDBusMessage& call, ExportMovieParameters& out) {
    const QVariantList args = call.arguments();
    out.images = stringList(args[0]);
    out.folder = args[1].toString().toStdString();
    out.filename = args[2].toString().toStdString();
    out.width = args[3].toLongLong();
    out.height = args[4].toLongLong();
    const QVariantMap options = qdbus_cast<QVariantMap>(args[5]);
    for (auto it = options.begin(); it != options.end(); ++it) {
        const QString& key = it.key();
        const QVariant& value = it.value();
        if (key == QLatin1String("frameRate") && isInteger(value)) {
            out.frameRate = value.toLongLong();
        } else if (key == QLatin1String("codec") && value.metaType().id() == QMetaType::QString) {
            auto codec = exportCodecFromRawValue(value.toString().toStdString());
            if (!codec) {
                return QStringLiteral("The codec must be h264, hevc or prores422.");
            }
            out.codec = *codec;
        } else if (key == QLatin1String("quality") &&
                   value.metaType().id() == QMetaType::QString) {
            auto quality = exportQualityFromRawValue(value.toString().toStdString());
            if (!quality) {
                return QStringLiteral("The quality must be standard, high or custom.");
            }
            out.quality = *quality;
        } else if (key == QLatin1String("customBitrateMbps") &&
                   (value.metaType().id() == QMetaType::Double || isInteger(value))) {
            out.customBitrateMbps = value.toDouble();
        } else if (key == QLatin1String("overwrite") && value.metaType().id() == QMetaType::Bool) {
            out.overwrite = value.toBool();
        } else {
            return QStringLiteral("Unknown option or wrong type: %1.").arg(key);
        }
    }
    return std::nullopt;
}

}  // namespace

// The object on the bus: dispatches calls to the actions, answers the property calls and
// keeps the running "ExportMovie" calls until they end.
class ActionsBusObject : public QDBusVirtualObject {
public:
    ActionsBusObject(ActionsBusService::Services services, MovieCopies& copies)
        : services_(services), copies_(copies) {}

    ~ActionsBusObject() override {
        // Quitting: what still runs is cancelled; its callers get no answer from us. The
        // actions go here, while what their ends touch is still alive.
        const auto running = std::exchange(running_, {});
        for (const auto& [action, call] : running) {
            action->disconnect();
            delete action;
        }
    }

    void attach(const QDBusConnection& connection) {
        connection_ = std::make_unique<QDBusConnection>(connection);
        watcher_ = std::make_unique<QDBusServiceWatcher>();
        watcher_->setConnection(connection);
        watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(watcher_.get(), &QDBusServiceWatcher::serviceUnregistered, this,
                         [this](const QString& caller) { callerLeft(caller); });
    }

    QString introspect(const QString&) const override { return ActionsBusService::interfaceXml(); }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage) {
            return false;
        }
        const QString interface = message.interface();
        if (interface == QLatin1String("org.freedesktop.DBus.Properties")) {
            return handleProperties(message, connection);
        }
        if (!interface.isEmpty() && interface != QLatin1String(ActionsBusService::kInterface)) {
            return false;
        }
        const QString member = message.member();
        const QString signature = message.signature();
        auto expect = [&](const char* wanted) {
            if (signature == QLatin1String(wanted)) {
                return true;
            }
            connection.send(invalidArgs(
                message, QStringLiteral("%1 takes arguments of type (%2).")
                             .arg(member, QString::fromLatin1(wanted))));
            return false;
        };
        if (member == QLatin1String("ExportMovie")) {
            if (expect("asssxxa{sv}")) {
                exportMovie(message, connection);
            }
        } else if (member == QLatin1String("GetExportStatus")) {
            if (expect("s")) {
                auto status = GetExportStatusAction::perform(services_.coordinator,
                                                             message.arguments()[0].toString().toStdString());
                connection.send(status ? message.createReply(QVariant(jobFields(status.value())))
                                       : errorReply(message, status.failure()));
            }
        } else if (member == QLatin1String("CancelExport")) {
            if (expect("s")) {
                auto cancelled = CancelExportAction::perform(
                    services_.coordinator, message.arguments()[0].toString().toStdString());
                connection.send(cancelled ? message.createReply()
                                          : errorReply(message, cancelled.failure()));
            }
        } else if (member == QLatin1String("SuggestedFolders")) {
            if (expect("")) {
                connection.send(message.createReply(entityList(
                    MovieFolderQuery(services_.files).suggestedEntities(), &folderFields)));
            }
        } else if (member == QLatin1String("Folders")) {
            if (expect("as")) {
                connection.send(message.createReply(
                    entityList(MovieFolderQuery(services_.files)
                                   .entities(stringList(message.arguments()[0])),
                               &folderFields)));
            }
        } else if (member == QLatin1String("SuggestedJobs")) {
            if (expect("")) {
                connection.send(message.createReply(entityList(
                    MovieJobQuery(services_.coordinator).suggestedEntities(), &jobFields)));
            }
        } else if (member == QLatin1String("Jobs")) {
            if (expect("as")) {
                connection.send(message.createReply(
                    entityList(MovieJobQuery(services_.coordinator)
                                   .entities(stringList(message.arguments()[0])),
                               &jobFields)));
            }
        } else {
            return false;
        }
        return true;
    }

private:
    bool handleProperties(const QDBusMessage& message, const QDBusConnection& connection) {
        const QVariantList args = message.arguments();
        const QString member = message.member();
        const bool ours = !args.isEmpty() &&
                          args[0].toString() == QLatin1String(ActionsBusService::kInterface);
        if (member == QLatin1String("GetAll") && message.signature() == QLatin1String("s")) {
            connection.send(ours ? message.createReply(QVariant(properties()))
                                 : message.createReply(QVariant(QVariantMap())));
            return true;
        }
        if (member == QLatin1String("Get") && message.signature() == QLatin1String("ss")) {
            const QVariantMap all = properties();
            const auto found = all.find(args[1].toString());
            if (!ours || found == all.end()) {
                connection.send(message.createErrorReply(
                    QDBusError::UnknownProperty,
                    QStringLiteral("No such property: %1.").arg(args[1].toString())));
            } else {
                connection.send(
                    message.createReply(QVariant::fromValue(QDBusVariant(found.value()))));
            }
            return true;
        }
        if (member == QLatin1String("Set")) {
            connection.send(message.createErrorReply(QDBusError::PropertyReadOnly,
                                                     QStringLiteral("The properties are read-only.")));
            return true;
        }
        return false;
    }

    void exportMovie(const QDBusMessage& call, const QDBusConnection& connection) {
        ExportMovieParameters parameters;
        if (auto problem = readExportMovie(call, parameters)) {
            connection.send(invalidArgs(call, *problem));
            return;
        }
        auto* action = new ExportMovieAction(
            {services_.files, services_.coordinator, copies_, services_.grants},
            std::move(parameters), this);
        const QString caller = call.service();
        QObject::connect(action, &ExportMovieAction::progressChanged, this,
                         [this, action](qint64 completed, qint64 total) {
                             if (!action->jobID() || !connection_) {
                                 return;
                             }
                             QDBusMessage signal = QDBusMessage::createSignal(
                                 QString::fromLatin1(ActionsBusService::kObjectPath),
                                 QString::fromLatin1(ActionsBusService::kInterface),
                                 QStringLiteral("ExportProgress"));
                             signal << QString::fromStdString(
                                           identifierText(*action->jobID()))
                                    << completed << total;
                             connection_->send(signal);
                         });
        running_[action] = call;
        if (!caller.isEmpty()) {
            watcher_->addWatchedService(caller);
        }
        QDBusConnection replyConnection = connection;
        action->perform([this, action, call, replyConnection](ExportResult<MovieFile> outcome) {
            QDBusConnection sender = replyConnection;
            if (outcome) {
                const MovieFile& file = outcome.value();
                sender.send(call.createReply(
                    {QString::fromStdString(file.url.string()),
                     QString::fromStdString(file.filename),
                     QString::fromStdString(file.contentType)}));
            } else {
                sender.send(errorReply(call, outcome.failure()));
            }
            running_.erase(action);
            action->deleteLater();
            unwatchIfIdle(call.service());
        });
        // A caller gone before the watch was set would never be noticed.
        if (running_.count(action) != 0 && !caller.isEmpty() && connection.interface() != nullptr &&
            !connection.interface()->isServiceRegistered(caller).value()) {
            callerLeft(caller);
        }
    }

    // Stops watching `caller` once none of its calls runs any more.
    void unwatchIfIdle(const QString& caller) {
        if (caller.isEmpty() || !watcher_) {
            return;
        }
        for (const auto& [action, call] : running_) {
            if (call.service() == caller) {
                return;
            }
        }
        watcher_->removeWatchedService(caller);
    }

    void callerLeft(const QString& caller) {
        for (auto& [action, call] : running_) {
            if (call.service() == caller) {
                action->cancel();
            }
        }
    }

    ActionsBusService::Services services_;
    MovieCopies& copies_;
    std::unique_ptr<QDBusConnection> connection_;
    std::unique_ptr<QDBusServiceWatcher> watcher_;
    std::map<ExportMovieAction*, QDBusMessage> running_;
};

ActionsBusService::ActionsBusService(Services services, QObject* parent)
    : QObject(parent), copies_(services.copies) {
    object_ = std::make_unique<ActionsBusObject>(services, copies_);
}

ActionsBusService::~ActionsBusService() {
    if (registered_) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(QString::fromLatin1(kObjectPath));
        bus.unregisterService(QString::fromLatin1(kServiceName));
    }
    // The actions go first (cancelling their exports and copies), then the copies are
    // stopped and waited for, and only then does the folder they write into go.
    object_.reset();
    copies_.shutDown();
}

bool ActionsBusService::start() {
    qDBusRegisterMetaType<VariantMapList>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
    copies_.folder().removeStaleCopies();
    const logging::Logger logger("frameweaver.actions");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        logger.warning(kNoSessionBusLine);
        return false;
    }
    object_->attach(bus);
    if (!bus.registerVirtualObject(QString::fromLatin1(kObjectPath), object_.get())) {
        logger.warning("The scripted actions could not be published on the D-Bus session bus.");
        return false;
    }
    registered_ = true;
    if (!bus.registerService(QString::fromLatin1(kServiceName))) {
        logger.warning("The D-Bus name com.Quillbrookstudio.Frameweaver is taken: the scripted "
                       "actions are not available under it.");
        return false;
    }
    return true;
}

}  // namespace fw::actions
