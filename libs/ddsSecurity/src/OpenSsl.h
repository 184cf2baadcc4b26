// OpenSSL objects owned by unique_ptr, and what OpenSSL says went wrong.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace lumo::ddsSecurity {

template <auto Free>
struct OpenSslFree
{
    template <typename T>
    void operator()(T* object) const
    {
        Free(object);
    }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslFree<PKCS7_free>>;

// The oldest error OpenSSL queued, as its reason text; the queue is emptied.
std::string TakeOpenSslError();

// The most an enclave file may hold: far more than any certificate, key or
// document of one participant needs, and a bound on what a wrong path (a
// device, a log) makes the check read.
inline constexpr size_t MAX_ENCLAVE_FILE_BYTES = 1024 * 1024;

// The bytes of a regular file (after symbolic links) of at most
// MAX_ENCLAVE_FILE_BYTES; an EnclaveError naming the file and the reason
// otherwise. Never blocks on a FIFO or reads from a device.
std::string ReadEnclaveFile(const std::string& path);

// A memory BIO over `bytes`, which must outlive it.
BioPtr MemoryBio(const std::string& bytes);

} // namespace lumo::ddsSecurity
