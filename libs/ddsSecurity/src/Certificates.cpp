#include "Certificates.h"

#include <ctime>

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include "lumo/ddsSecurity/Enclave.h"

namespace lumo::ddsSecurity {

namespace {

std::string TimeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (ASN1_TIME_to_tm(time, &tm) != 1) {
        return "(unreadable date)";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

} // namespace

X509Ptr LoadCertificate(const std::string& path)
{
    const std::string bytes = ReadEnclaveFile(path);
    const auto bio = MemoryBio(bytes);
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        throw EnclaveError(path + ": not a PEM certificate (" + TakeOpenSslError() + ")");
    }
    return cert;
}

void CheckSignedBy(X509* cert, const std::string& certPath, X509* ca, const std::string& caPath,
                   const std::string& caRole)
{
    StorePtr store(X509_STORE_new());
    StoreContextPtr context(X509_STORE_CTX_new());
    if (!store || !context || X509_STORE_add_cert(store.get(), ca) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), cert, nullptr) != 1) {
        throw EnclaveError(certPath + ": cannot be verified (" + TakeOpenSslError() + ")");
    }
    // Partial chains: the CA may itself be an intermediate, as in Fast DDS.
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_NO_CHECK_TIME | X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        throw EnclaveError(certPath + ": not signed by the " + caRole + " " + caPath + " (" +
                           X509_verify_cert_error_string(error) + ")");
    }
}

void CheckValidNow(X509* cert, const std::string& path)
{
    const ASN1_TIME* notBefore = X509_get0_notBefore(cert);
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert);
    const std::string dates = "valid from " + TimeText(notBefore) + " to " + TimeText(notAfter);
    if (X509_cmp_current_time(notAfter) < 0) {
        throw EnclaveError(path + ": certificate has expired: " + dates);
    }
    if (X509_cmp_current_time(notBefore) > 0) {
        throw EnclaveError(path + ": certificate is not yet valid: " + dates);
    }
}

void CheckPrivateKey(const std::string& keyPath, X509* cert, const std::string& certPath)
{
    const std::string bytes = ReadEnclaveFile(keyPath);
    const auto bio = MemoryBio(bytes);
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        throw EnclaveError(keyPath + ": not an unencrypted PEM private key (" + TakeOpenSslError() + ")");
    }
    if (X509_check_private_key(cert, key.get()) != 1) {
        TakeOpenSslError();
        throw EnclaveError(keyPath + ": not the private key of " + certPath);
    }
}

std::string SubjectName(X509* cert)
{
    const BioPtr out(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

} // namespace lumo::ddsSecurity
