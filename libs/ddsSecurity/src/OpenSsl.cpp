#include "OpenSsl.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>

#include "lumo/ddsSecurity/Enclave.h"

namespace lumo::ddsSecurity {

namespace {

struct FdClose
{
    void operator()(const int* fd) const { close(*fd); }
};

// What the file is, said of one that is not a regular file; where a
// symbolic link leads too.
std::string NotRegularFile(const std::string& path, mode_t mode)
{
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a file of an unknown kind";
    std::error_code error;
    if (std::filesystem::is_symlink(path, error)) {
        const auto target = std::filesystem::canonical(path, error);
        if (!error) {
            return "a symbolic link to " + target.string() + ", " + kind + ", not a regular file";
        }
    }
    return std::string(kind) + ", not a regular file";
}

} // namespace

std::string TakeOpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
    return reason != nullptr ? reason : "no reason given";
}

std::string ReadEnclaveFile(const std::string& path)
{
    const auto refusal = [&path](const std::string& why) { return EnclaveError(path + ": cannot be read: " + why); };
    // Stat before opening: opening a FIFO blocks, and a device may never end.
    struct stat status
    {
    };
    if (stat(path.c_str(), &status) != 0) {
        throw refusal(std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw refusal(NotRegularFile(path, status.st_mode));
    }
    // Non-blocking, and checked again: the path may have been replaced since.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw refusal(std::strerror(errno));
    }
    const std::unique_ptr<const int, FdClose> closer(&fd);
    if (fstat(fd, &status) != 0) {
        throw refusal(std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw refusal(NotRegularFile(path, status.st_mode));
    }
    // One byte past the bound tells a file that exceeds it.
    std::string bytes(MAX_ENCLAVE_FILE_BYTES + 1, '\0');
    size_t size = 0;
    while (size < bytes.size()) {
        const ssize_t got = read(fd, bytes.data() + size, bytes.size() - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw refusal(std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        size += static_cast<size_t>(got);
    }
    if (size > MAX_ENCLAVE_FILE_BYTES) {
        throw refusal("larger than " + std::to_string(MAX_ENCLAVE_FILE_BYTES / (1024 * 1024)) +
                      " MiB, the most an enclave file may hold");
    }
    bytes.resize(size);
    return bytes;
}

BioPtr MemoryBio(const std::string& bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

} // namespace lumo::ddsSecurity
