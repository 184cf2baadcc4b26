// The identity's checks: certificates and the private key, read from PEM.
#pragma once

#include <string>

#include "OpenSsl.h"

namespace lumo::ddsSecurity {

// The first certificate of a PEM file.
X509Ptr LoadCertificate(const std::string& path);

// `cert` verifies against `ca` alone (its signature and issuer; dates are
// CheckValidNow's).
void CheckSignedBy(X509* cert, const std::string& certPath, X509* ca, const std::string& caPath,
                   const std::string& caRole);

// `cert` is valid at this moment; the text gives both dates otherwise.
void CheckValidNow(X509* cert, const std::string& path);

// The PEM private key is the certificate's own.
void CheckPrivateKey(const std::string& keyPath, X509* cert, const std::string& certPath);

// The subject in the RFC 2253 form that permissions documents use
// ("CN=monitor,O=Lumo").
std::string SubjectName(X509* cert);

} // namespace lumo::ddsSecurity
