#include "OpenSsl.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <openssl/err.h>

#include "lumo/ddsSecurity/Enclave.h"

namespace lumo::ddsSecurity {

std::string TakeOpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
    return reason != nullptr ? reason : "no reason given";
}

std::string ReadEnclaveFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw EnclaveError(path + ": cannot be read: " + std::strerror(errno));
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (file.bad()) {
        throw EnclaveError(path + ": cannot be read: " + std::strerror(errno));
    }
    return bytes.str();
}

BioPtr MemoryBio(const std::string& bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

} // namespace lumo::ddsSecurity
