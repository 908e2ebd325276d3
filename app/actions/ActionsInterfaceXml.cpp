// The introspection data of the actions interface, built from the actions' own titles,
// descriptions and parameters so that the two cannot drift apart.
#include <QString>
#include <string>
#include <string_view>

#include "app/actions/ActionsBusService.h"
#include "app/actions/ExportMovieAction.h"
#include "app/actions/ExportStatusActions.h"
#include "app/actions/MovieFolderEntity.h"
#include "app/actions/MovieJobEntity.h"

namespace fw::actions {

namespace {

constexpr const char* kTitleAnnotation = "com.Quillbrookstudio.Frameweaver.Title";
constexpr const char* kDescriptionAnnotation = "org.freedesktop.DBus.Description";
constexpr const char* kSummaryAnnotation = "com.Quillbrookstudio.Frameweaver.ParameterSummary";

constexpr std::string_view kExportMovieTimeoutNote =
    "The call lasts as long as the export and the copy of its movie, so callers must raise "
    "their reply timeout above the usual 25 seconds (gdbus call --timeout 3600, for "
    "example): a caller that gives up leaves the bus, and that cancels the export.";

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())).toHtmlEscaped();
}

QString annotations(std::string_view title, std::string_view description, const QString& indent) {
    QString xml;
    if (!title.empty()) {
        xml += indent + QStringLiteral("<annotation name=\"%1\" value=\"%2\"/>\n")
                            .arg(kTitleAnnotation, text(title));
    }
    if (!description.empty()) {
        xml += indent + QStringLiteral("<annotation name=\"%1\" value=\"%2\"/>\n")
                            .arg(kDescriptionAnnotation, text(description));
    }
    return xml;
}

QString arg(std::string_view name, std::string_view type, std::string_view direction,
            std::string_view title, std::string_view description) {
    QString xml = QStringLiteral("      <arg name=\"%1\" type=\"%2\" direction=\"%3\"")
                      .arg(text(name), text(type), text(direction));
    if (title.empty() && description.empty()) {
        return xml + QStringLiteral("/>\n");
    }
    return xml + QStringLiteral(">\n") +
           annotations(title, description, QStringLiteral("        ")) +
           QStringLiteral("      </arg>\n");
}

QString method(std::string_view name, std::string_view title, std::string_view description,
               const QString& args, std::string_view summary = {}) {
    QString xml = QStringLiteral("    <method name=\"%1\">\n").arg(text(name)) +
                  annotations(title, description, QStringLiteral("      "));
    if (!summary.empty()) {
        xml += QStringLiteral("      <annotation name=\"%1\" value=\"%2\"/>\n")
                   .arg(kSummaryAnnotation, text(summary));
    }
    return xml + args + QStringLiteral("    </method>\n");
}

QString propertyXml(std::string_view name, std::string_view type, std::string_view description) {
    return QStringLiteral("    <property name=\"%1\" type=\"%2\" access=\"read\">\n")
               .arg(text(name), text(type)) +
           annotations({}, description, QStringLiteral("      ")) +
           QStringLiteral("    </property>\n");
}

QString exportMovieArgs() {
    QString xml;
    for (const ActionParameter& parameter : ExportMovieAction::kParameters) {
        const std::string_view key = parameter.key;
        std::string_view type;
        std::string_view note;
        if (key == "images") {
            type = "as";
            note = "Absolute paths of the image files handed over, in movie order; each becomes one frame.";
        } else if (key == "folder") {
            type = "s";
            note = "The identifier of an authorized folder (see SuggestedFolders).";
        } else if (key == "filename") {
            type = "s";
            note = "The movie's path inside the folder; without an extension, .mov is added for "
                   "ProRes 422 and .mp4 otherwise.";
        } else if (key == "width" || key == "height") {
            type = "x";
            note = "In pixels; required.";
        } else {
            continue;  // the optional ones travel in "options"
        }
        xml += arg(key, type, "in", parameter.title, note);
    }
    QString options = QStringLiteral(
        "Optional settings by key; a missing key takes its default:");
    for (const ActionParameter& parameter : ExportMovieAction::kParameters) {
        const std::string_view key = parameter.key;
        if (key == "images" || key == "folder" || key == "filename" || key == "width" ||
            key == "height") {
            continue;
        }
        options += QStringLiteral(" \"%1\" (%2")
                       .arg(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                            QString::fromUtf8(parameter.title.data(),
                                              static_cast<qsizetype>(parameter.title.size())));
        if (key == "frameRate") {
            options += QStringLiteral(", integer");
        } else if (key == "codec") {
            options += QStringLiteral(", text: h264, hevc or prores422");
        } else if (key == "quality") {
            options += QStringLiteral(", text: standard, high or custom");
        } else if (key == "customBitrateMbps") {
            options += QStringLiteral(", double");
        } else if (key == "overwrite") {
            options += QStringLiteral(", boolean");
        }
        options += parameter.defaultValue.empty()
                       ? QStringLiteral(", no default)")
                       : QStringLiteral(", default %1)").arg(QString::fromUtf8(
                             parameter.defaultValue.data(),
                             static_cast<qsizetype>(parameter.defaultValue.size())));
        options += key == "overwrite" ? QStringLiteral(".") : QStringLiteral(";");
    }
    const QByteArray optionsText = options.toUtf8();
    xml += arg("options", "a{sv}", "in", "Options",
               std::string_view(optionsText.constData(), static_cast<std::size_t>(optionsText.size())));
    xml += arg("path", "s", "out", "Movie",
               "The path of the finished movie's copy, named Frameweaver-<UUID>.<extension>.");
    xml += arg("filename", "s", "out", "Filename", "The movie's own file name.");
    xml += arg("contentType", "s", "out", "Type", "video/quicktime or video/mp4.");
    return xml;
}

}  // namespace

QString ActionsBusService::interfaceXml() {
    const std::string_view jobNote =
        "An export job's identifier; the empty text names no job. Text that is not an "
        "identifier names an unknown job.";
    QString xml = QStringLiteral("  <interface name=\"%1\">\n").arg(QString::fromUtf8(kInterface));
    xml += annotations(
        "Frameweaver",
        "The scripted actions of Frameweaver. ExportMovie returns a copy of the finished movie, "
        "kept in a private folder of the application (mode 0700) that is removed when "
        "Frameweaver quits and, at its next start, once the copy is older than a day; the "
        "movie itself stays in the authorized folder. A caller that leaves the bus while its "
        "export runs cancels that export.",
        QStringLiteral("    "));
    // The reply comes only when the movie and its copy are done: a caller that keeps the
    // usual 25-second reply timeout gives up on a longer export, leaves the bus and so
    // cancels it.
    const std::string exportDescription =
        std::string(ExportMovieAction::kDescription) + " " + std::string(kExportMovieTimeoutNote);
    xml += method("ExportMovie", ExportMovieAction::kTitle, exportDescription, exportMovieArgs(),
                  ExportMovieAction::kParameterSummary);
    xml += method("GetExportStatus", GetExportStatusAction::kTitle,
                  GetExportStatusAction::kDescription,
                  arg("job", "s", "in", kJobParameterTitle, jobNote) +
                      arg("status", "a{sv}", "out", MovieJobEntity::kTypeName,
                          "The job's fields: id, state, progress, completedFrames, totalFrames, "
                          "outputURL, error (failed or cancelled jobs), title, subtitle."),
                  GetExportStatusAction::kParameterSummary);
    xml += method("CancelExport", CancelExportAction::kTitle, CancelExportAction::kDescription,
                  arg("job", "s", "in", kJobParameterTitle, jobNote),
                  CancelExportAction::kParameterSummary);
    xml += method("SuggestedFolders", MovieFolderEntity::kTypeName,
                  "The folders authorized for output, in the order they were authorized.",
                  arg("folders", "aa{sv}", "out", {},
                      "Each folder's fields: id, name, writable, title."));
    xml += method("Folders", MovieFolderEntity::kTypeName,
                  "The authorized folders of the given identifiers (exact, upper-case), in the "
                  "order they were authorized.",
                  arg("ids", "as", "in", {}, {}) + arg("folders", "aa{sv}", "out", {}, {}));
    xml += method("SuggestedJobs", MovieJobEntity::kTypeName,
                  "The running export, then the recent ones, newest first.",
                  arg("jobs", "aa{sv}", "out", {}, {}));
    xml += method("Jobs", MovieJobEntity::kTypeName,
                  "The export jobs of the given identifiers, in the order asked; unknown ones "
                  "are left out.",
                  arg("ids", "as", "in", {}, {}) + arg("jobs", "aa{sv}", "out", {}, {}));
    xml += QStringLiteral("    <signal name=\"ExportProgress\">\n") +
           annotations("Progress",
                       "Sent while ExportMovie runs: the job, the frames completed and the "
                       "number of images.",
                       QStringLiteral("      ")) +
           QStringLiteral("      <arg name=\"job\" type=\"s\"/>\n"
                          "      <arg name=\"completed\" type=\"x\"/>\n"
                          "      <arg name=\"total\" type=\"x\"/>\n"
                          "    </signal>\n");
    xml += propertyXml("Codecs", "aa{sv}", "The codec choices in order, each with value and title.");
    xml += propertyXml("CodecTypeName", "s", "The name of the codec type.");
    xml += propertyXml("Qualities", "aa{sv}",
                    "The quality choices in order, each with value and title.");
    xml += propertyXml("QualityTypeName", "s", "The name of the quality type.");
    xml += propertyXml("FolderTypeName", "s", "The name of the authorized-folder type.");
    xml += propertyXml("JobTypeName", "s", "The name of the export-job type.");
    xml += propertyXml("JobPropertyTitles", "a{ss}", "The title of each field of an export job.");
    xml += QStringLiteral("  </interface>\n");
    return xml;
}

}  // namespace fw::actions
