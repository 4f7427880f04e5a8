#ifndef VYR_CERTDECODE_H
#define VYR_CERTDECODE_H

// The one reading of a certificate's bytes, on OpenSSL: what the build's
// check accepts is exactly what the store stand-in and the system trust take.

#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ps::CertDecode {

struct X509Free
{
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

enum class Encoding { Der, Pem };

struct DecodedCertificate
{
    X509Ptr x509; // null until something needs more than the bytes
    std::vector<unsigned char> der; // the certificate's own encoding, as found
    Encoding encoding;
};

// Accepts exactly one X.509 certificate, DER or PEM (whitespace around the PEM
// block allowed), and nothing else: no trailing bytes, no second object, no
// CRL, key or PKCS #7 bundle.
std::optional<DecodedCertificate> decodeCertificate(const unsigned char *data, std::size_t size);

// The bytes a certificate would be decoded from (DER as it is, or the body of
// one PEM block), not decoded: enough to tell its thumbprint, for a store's
// own files, where decoding every one a lookup meets would cost more than
// the lookup itself.
std::optional<std::vector<unsigned char>> encodedCertificate(const unsigned char *data, std::size_t size);

// SHA-1 over the DER encoding: 20 bytes (empty if hashing failed), and as 40
// uppercase hex digits, the name Windows' stores key their entries by.
std::vector<unsigned char> sha1(const std::vector<unsigned char> &der);
std::string thumbprint(const std::vector<unsigned char> &der);
std::string upperHex(const unsigned char *bytes, std::size_t size);
// SHA-256 over the DER encoding, as 64 uppercase hex digits (empty if hashing failed).
std::string sha256Thumbprint(const std::vector<unsigned char> &der);

// The DER bytes wrapped as a PEM "CERTIFICATE" block.
std::string pemText(const std::vector<unsigned char> &der);

} // namespace Ps::CertDecode

#endif
