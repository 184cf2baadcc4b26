#include "SignedDocument.h"

#include <memory>

#include <openssl/pkcs7.h>

#include "OpenSsl.h"
#include "lumo/ddsSecurity/Enclave.h"

namespace lumo::ddsSecurity {

namespace {

// A stack of borrowed certificates: freeing it leaves them alone.
struct StackFree
{
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

} // namespace

std::string VerifiedContent(const std::string& path, X509* ca, const std::string& caPath)
{
    const std::string bytes = ReadEnclaveFile(path);
    const auto in = MemoryBio(bytes);
    BIO* detached = nullptr;
    Pkcs7Ptr document(SMIME_read_PKCS7(in.get(), &detached));
    const BioPtr content(detached);
    if (!document) {
        throw EnclaveError(path + ": not an S/MIME signed document (" + TakeOpenSslError() + ")");
    }
    CertStackPtr signers(sk_X509_new_null());
    const BioPtr out(BIO_new(BIO_s_mem()));
    if (!signers || !out || sk_X509_push(signers.get(), ca) <= 0) {
        throw EnclaveError(path + ": cannot be verified (" + TakeOpenSslError() + ")");
    }
    if (PKCS7_verify(document.get(), signers.get(), nullptr, content.get(), out.get(),
                     PKCS7_TEXT | PKCS7_NOVERIFY | PKCS7_NOINTERN) != 1) {
        throw EnclaveError(path + ": S/MIME signature does not verify against the permissions CA " + caPath + " (" +
                           TakeOpenSslError() + ")");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

} // namespace lumo::ddsSecurity
