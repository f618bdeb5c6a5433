#include "host/form_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace varnel::host {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void ThrowSystemError(const std::string& what, const fs::path& file, int error) {
    throw FormError(what + " " + Quoted(file.string()) + ": " + std::strerror(error));
}

[[noreturn]] void ThrowNotRegular(const fs::path& file) {
    throw FormError("cannot read form file " + Quoted(file.string()) + ": not a regular file");
}

// Where a save writes: the file, or the file a symbolic link in its place points to.
fs::path SaveTarget(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(file, ec))) return file;
    fs::path target = fs::weakly_canonical(file, ec);
    if (ec)
        throw FormError("cannot write form file " + Quoted(file.string()) + ": " + ec.message());
    return target;
}

fs::path DirectoryOf(const fs::path& target) {
    fs::path dir = target.parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

std::string ReadFormFile(const fs::path& file, std::size_t limit) {
    // Opened without blocking and checked once open, so that nothing swapped in after a check
    // (a FIFO, a device) can hold the read; the check before keeps devices from being opened.
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) ThrowSystemError("cannot read form file", file, errno);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(file);
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("cannot read form file", file, errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0) ThrowSystemError("cannot read form file", file, errno);
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(file);
    std::string text(limit + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowSystemError("cannot read form file", file, errno);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

FormFileLock::FormFileLock(const fs::path& file, std::chrono::milliseconds limit) {
    const int fd = ::open(DirectoryOf(SaveTarget(file)).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;  // the save reports a directory that cannot be written
    const auto end = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(fd);  // no locks on this file system
            return;
        }
        if (std::chrono::steady_clock::now() >= end) {
            ::close(fd);
            throw FormError("cannot lock form file " + Quoted(file.string()) +
                            ": another program keeps editing a form in its directory");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(32));
    }
}

FormFileLock::~FormFileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

void WriteFileAtomically(const fs::path& file, std::string_view text) {
    const fs::path target = SaveTarget(file);
    const fs::path dir = DirectoryOf(target);

    // ".NAME.tmp-PID-N", with NAME shortened when the whole would exceed the name limit.
    static std::atomic<unsigned> counter{0};
    const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const std::size_t limit = nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255;
    const std::string name = target.filename().string();
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const std::string suffix =
            ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const std::size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
        temp = dir / ("." + name.substr(0, room) + suffix);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) ThrowSystemError("cannot write form file", file, errno);
    }
    if (fd < 0) ThrowSystemError("cannot write form file", file, EEXIST);

    auto abandon = [&](int error) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        ThrowSystemError("cannot write form file", file, error);
    };
    // An existing file keeps its owner and group where this process may set them, and its
    // permissions (set last: a change of owner clears the set-id bits).
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (::fchown(fd, st.st_uid, st.st_gid) != 0 &&
            ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
            // Neither permitted: the new file keeps this process's owner and group.
        }
        if (::fchmod(fd, st.st_mode & 07777) != 0) abandon(errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            abandon(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) abandon(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) abandon(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) abandon(errno);
    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        (void)::fsync(dirfd);
        ::close(dirfd);
    }
}

}  // namespace varnel::host
