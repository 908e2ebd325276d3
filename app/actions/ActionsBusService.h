// ActionsBusService: publishes the scripted actions on the D-Bus session bus.
//
// Well-known name "com.Quillbrookstudio.Frameweaver", object
// "/com/Quillbrookstudio/Frameweaver/Actions", interface
// "com.Quillbrookstudio.Frameweaver.Actions": one method per action ("ExportMovie",
// "GetExportStatus", "CancelExport") and per entity query ("SuggestedFolders", "Folders",
// "SuggestedJobs", "Jobs"), read-only properties for the choices and type names, and the
// signal "ExportProgress" while an "ExportMovie" runs. Entities travel as a{sv} with their
// fields; the introspection data documents every member with its title and description.
//
// A caller that leaves the bus while its "ExportMovie" runs cancels that export, or the copy
// of its movie; a caller is watched only while it has a call running. When the service goes
// away it cancels what still runs, waits for the copies to stop, and then removes the copy
// folder.
//
// Thread-safety: a QObject of the main thread.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "app/actions/MovieCopies.h"
#include "app/actions/MovieCopyFolder.h"

namespace fw {
class ExportCoordinator;
class FileAccessManager;
namespace platform {
class AccessGrants;
}
}  // namespace fw

namespace fw::actions {

class ActionsBusObject;

class ActionsBusService : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kServiceName = "com.Quillbrookstudio.Frameweaver";
    static constexpr const char* kObjectPath = "/com/Quillbrookstudio/Frameweaver/Actions";
    static constexpr const char* kInterface = "com.Quillbrookstudio.Frameweaver.Actions";
    // The line logged when there is no session bus to publish on.
    static constexpr const char* kNoSessionBusLine =
        "No D-Bus session bus: the scripted actions are not available.";

    struct Services {
        FileAccessManager& files;
        ExportCoordinator& coordinator;
        platform::AccessGrants& grants;
        MovieCopyFolder copies;
    };

    explicit ActionsBusService(Services services, QObject* parent = nullptr);
    ~ActionsBusService() override;

    // Removes stale copies, then registers the object and the name on the session bus. False,
    // with one line logged, when there is no session bus or the name is taken.
    bool start();

    // The interface's introspection data (the <interface> element).
    static QString interfaceXml();

private:
    std::unique_ptr<ActionsBusObject> object_;
    MovieCopies copies_;
    bool registered_ = false;
};

}  // namespace fw::actions
