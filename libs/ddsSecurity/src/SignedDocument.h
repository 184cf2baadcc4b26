// Governance and permissions documents: XML signed as S/MIME by the
// permissions CA.
#pragma once

#include <string>

#include <openssl/x509.h>

namespace lumo::ddsSecurity {

// The signed text of the S/MIME document at `path`, once its signature
// verifies with the key of `ca` itself, as Fast DDS verifies it (the
// certificates the document carries are not trusted).
std::string VerifiedContent(const std::string& path, X509* ca, const std::string& caPath);

} // namespace lumo::ddsSecurity
