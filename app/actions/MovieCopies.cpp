#include "app/actions/MovieCopies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <array>
#include <cerrno>
#include <system_error>

#include "platform/OpenBeneath.h"
#include "platform/PosixError.h"

namespace fw::actions {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 1 << 20;

platform::Error copyError(const platform::Error& why) {
    return platform::Error(platform::kFrameweaverErrorDomain, 1,
                           "The finished movie could not be copied. " + why.description,
                           std::make_shared<const platform::Error>(why));
}

// Writes the rest of `source` to `target`, checking `stop` between chunks. 0, ECANCELED when
// stopped, or the errno value of the failure.
int copyContents(int source, int target, const std::function<bool()>& stop) {
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        if (stop()) {
            return ECANCELED;
        }
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(source, nullptr, target, nullptr, kChunk, 0);
            if (n > 0) {
                continue;
            }
            if (n == 0) {
                return 0;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
                return errno;
            }
            kernelCopy = false;  // file systems that cannot: plain reads and writes
            buffer.resize(kChunk);
        }
        const ssize_t n = ::read(source, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t step =
                ::write(target, buffer.data() + written, static_cast<std::size_t>(n - written));
            if (step < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            written += step;
        }
    }
}

std::optional<platform::Error> copyMovie(const MovieCopyFolder& folder, int directory,
                                         const std::string& relativePath, const fs::path& copy,
                                         const std::function<bool()>& stop) {
    if (auto error = folder.prepare()) {
        return copyError(*error);
    }
    platform::OwnedFd source;
    if (auto error = platform::openBeneathWithoutLinks(directory, relativePath,
                                                       O_RDONLY | O_NONBLOCK | O_NOCTTY, source)) {
        return copyError(*error);
    }
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) {
        return copyError(platform::posixError(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return copyError(platform::Error(platform::kFrameweaverErrorDomain, 1,
                                         "It is no longer a regular file."));
    }
    // Opened without waiting; reading a regular file waits as it should.
    ::fcntl(source.get(), F_SETFL, ::fcntl(source.get(), F_GETFL) & ~O_NONBLOCK);

    platform::OwnedFd target(
        ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.valid()) {
        return copyError(platform::posixError(errno));
    }
    int error = copyContents(source.get(), target.get(), stop);
    if (error == 0 && ::close(target.release()) != 0) {
        error = errno;
    }
    if (error == 0) {
        return std::nullopt;
    }
    target.reset();
    ::unlink(copy.c_str());
    if (error == ECANCELED) {
        return platform::Error::userCancelled();
    }
    return copyError(platform::posixError(error));
}

}  // namespace

MovieCopies::MovieCopies(MovieCopyFolder folder)
    : folder_(std::move(folder)), stopping_(std::make_shared<std::atomic<bool>>(false)) {}

MovieCopies::~MovieCopies() {
    shutDown();
}

void MovieCopies::start(SharedDirectory directory, std::string relativePath, fs::path copy,
                        CancelSwitch cancelled, QObject* receiver, Done done) {
    if (stopping_->load()) {
        return;
    }
    std::function<void()> beforeOpen;
    {
        std::lock_guard lock(hookMutex_);
        beforeOpen = beforeOpen_;
    }
    threads_.start([folder = folder_, stopping = stopping_, directory = std::move(directory),
                    relativePath = std::move(relativePath), copy = std::move(copy),
                    cancelled = std::move(cancelled), receiver = QPointer<QObject>(receiver),
                    done = std::move(done), beforeOpen = std::move(beforeOpen)]() mutable {
        const auto stop = [&] { return stopping->load() || (cancelled && cancelled->load()); };
        if (beforeOpen) {
            beforeOpen();
        }
        std::optional<platform::Error> error =
            stop() ? std::optional(platform::Error::userCancelled())
                   : copyMovie(folder, directory->get(), relativePath, copy, stop);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [receiver, stopping, copy, error = std::move(error), done = std::move(done)] {
                if (!receiver || stopping->load()) {
                    std::error_code ignored;
                    fs::remove(copy, ignored);
                    return;
                }
                done(error);
            },
            Qt::QueuedConnection);
    });
}

void MovieCopies::shutDown() {
    stopping_->store(true);
    threads_.clear();
    threads_.waitForDone();
    folder_.removeAll();
}

void MovieCopies::TEST_setBeforeOpen(std::function<void()> hook) {
    std::lock_guard lock(hookMutex_);
    beforeOpen_ = std::move(hook);
}

}  // namespace fw::actions
