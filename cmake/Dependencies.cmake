# Every external library the project uses, found once, as imported targets.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.81.0 EXACT REQUIRED CONFIG COMPONENTS json url)
find_package(OpenSSL 3 REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Network DBus Test)
find_package(simdjson REQUIRED)

pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
pkg_check_modules(VIPS REQUIRED IMPORTED_TARGET vips-cpp)
pkg_check_modules(POPPLER REQUIRED IMPORTED_TARGET poppler-cpp)
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(SECRET REQUIRED IMPORTED_TARGET libsecret-1)

if(FW_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(FW_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
endif()
