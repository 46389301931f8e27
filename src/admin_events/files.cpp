// File-system helpers of the configuration transfer.
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <utility>

namespace zelta::transfer {

using rooted::Fd;
using rooted::join_path;
using rooted::raise_os_error;

Ref fs_text(std::string_view bytes) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::string fs_bytes(Borrowed path) {
    Ref fspath = Ref::steal(PyOS_FSPath(path.get()));
    Ref encoded = PyBytes_Check(fspath.get()) ? fspath.copy() : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
    std::string bytes(data, static_cast<size_t>(size));
    if (bytes.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return bytes;
}

std::string parent_directory(std::string_view path) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

// The process's file-creation mask. Linux reports it in /proc, which leaves
// it untouched; elsewhere it is set and put back at once.
mode_t current_umask() {
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask);
    }
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

void sync_fd(int fd, std::string_view path) {
    if (interruptible([&] { return ::fsync(fd); }) != 0) raise_os_error(errno, path);
}

void sync_directory_fd(int directory, std::string_view path) {
    Fd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable) raise_os_error(errno, path);
    if (interruptible([&] { return ::fsync(readable.get()); }) != 0 && errno != EINVAL) raise_os_error(errno, path);
}

void sync_directory(const std::string& directory) {
    Fd fd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) raise_os_error(errno, directory);
    sync_directory_fd(fd.get(), directory);
}

void write_all(int fd, const char* data, size_t size, std::string_view path) {
    while (size > 0) {
        ssize_t written = interruptible([&] { return ::write(fd, data, size); });
        if (written < 0) raise_os_error(errno, path);
        data += written;
        size -= static_cast<size_t>(written);
    }
}

std::string random_name(std::string_view prefix) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    std::random_device source;
    std::uniform_int_distribution<size_t> pick(0, sizeof letters - 2);
    std::string name(prefix);
    for (int i = 0; i < 10; ++i) name += letters[pick(source)];
    return name.append(temp_suffix);
}

TempFile::TempFile(std::string directory, std::string destination)
    : directory_(std::move(directory)), destination_(std::move(destination)) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = join_path(directory_, random_name(export_temp_prefix));
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ >= 0) return;
        if (errno != EEXIST) raise_os_error(errno, destination_);
    }
    raise_os_error(EEXIST, destination_);
}
TempFile::~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!moved_) ::unlink(path_.c_str());
}

void TempFile::replace(const std::string& target, mode_t mode) {
    if (::fchmod(fd_, mode) != 0) raise_os_error(errno, target);
    sync_fd(fd_, target);
    if (::close(std::exchange(fd_, -1)) != 0) raise_os_error(errno, target);
    if (::rename(path_.c_str(), target.c_str()) != 0) raise_os_error(errno, target);
    moved_ = true;
    sync_directory(directory_);
}

}  // namespace zelta::transfer
