#ifndef VYR_NAMECONSTRAINTS_H
#define VYR_NAMECONSTRAINTS_H

// What a CA certificate may vouch for, as its X.509 name constraints say:
// browsers, OpenSSL, GnuTLS and NSS hold a root to them.

#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

namespace Ps::CertDecode {

// Each subtree as one line of text: "DNS:corp.example", "IP:10.0.0.0/255.0.0.0",
// "email:corp.example", "URI:.corp.example", "DirName:/O=Corp", or
// "othername"; bytes a terminal or a log could misread written as \xNN.
struct NameConstraints
{
    std::vector<std::string> permitted;
    std::vector<std::string> excluded;
    bool readable = true; // false: the extension is there twice, or cannot be decoded

    // Whether a name form is constrained at all, "DNS" or "IP".
    bool constrains(const std::string &form) const;
};

// None when the certificate has no name constraints: it may vouch for any name.
std::optional<NameConstraints> nameConstraints(X509 *x509);

} // namespace Ps::CertDecode

#endif
