# Run at install time: writes the installation's D-Bus activation service into
# <prefix>/share/dbus-1/services/, as LocalAutomation/ActivationService.cpp makes it (the
# companion writes the same file into the user's services folder before it activates it): the
# bus name is "com.Quillbrookstudio.Frameweaver.Installation.h" and the first 16 bytes of
# SHA-256 of the bundle's canonical path in lower-case hex, and the command line is the
# application's executable, quoted for the service file, with the automation-launch argument.
set(fw_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(fw_bundle "${CMAKE_INSTALL_PREFIX}/lib/frameweaver/Frameweaver.app")
if(EXISTS "${fw_bundle}")
    file(REAL_PATH "${fw_bundle}" fw_bundle)
endif()
string(SHA256 fw_digest "${fw_bundle}")
string(SUBSTRING "${fw_digest}" 0 32 fw_digest)
set(fw_bus_name "com.Quillbrookstudio.Frameweaver.Installation.h${fw_digest}")
# A backslash is doubled (the file is a key file); a single quote is closed over, given in
# double quotes, and reopened.
set(fw_executable "${fw_bundle}/Contents/MacOS/Frameweaver")
string(REPLACE "\\" "\\\\" fw_executable "${fw_executable}")
string(REPLACE "'" "'\"'\"'" fw_executable "${fw_executable}")
set(fw_service "${fw_root}/share/dbus-1/services/${fw_bus_name}.service")
file(WRITE "${fw_service}"
    "[D-BUS Service]\nName=${fw_bus_name}\nExec='${fw_executable}' --frameweaver-automation-launch\n")
message(STATUS "Installing: ${fw_service}")
