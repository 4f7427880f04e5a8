#include "nameconstraints.h"

#include <openssl/crypto.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace Ps::CertDecode {
namespace {

// OPENSSL_free is a macro, not a function to point at.
struct OpenSslFree
{
    void operator()(char *text) const { OPENSSL_free(text); }
};

std::string printable(const unsigned char *bytes, int size)
{
    std::string text;
    for (int i = 0; i < size; ++i) {
        if (bytes[i] > 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
            text += char(bytes[i]);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", bytes[i]);
            text += escape;
        }
    }
    return text;
}

std::string printable(const ASN1_STRING *string)
{
    return printable(ASN1_STRING_get0_data(string), ASN1_STRING_length(string));
}

// A constraint's address is an address and a mask: 8 bytes for IPv4, 32 for IPv6.
std::string addressRange(const ASN1_OCTET_STRING *octets)
{
    const unsigned char *bytes = ASN1_STRING_get0_data(octets);
    const int size = ASN1_STRING_length(octets);
    if (size != 8 && size != 32)
        return printable(bytes, size);
    const int family = size == 8 ? AF_INET : AF_INET6;
    char address[INET6_ADDRSTRLEN], mask[INET6_ADDRSTRLEN];
    if (!inet_ntop(family, bytes, address, sizeof address) || !inet_ntop(family, bytes + size / 2, mask, sizeof mask))
        return printable(bytes, size);
    return std::string(address) + '/' + mask;
}

std::string subtreeText(const GENERAL_SUBTREE *subtree)
{
    const GENERAL_NAME *name = subtree->base;
    switch (name->type) {
    case GEN_DNS:
        return "DNS:" + printable(name->d.dNSName);
    case GEN_IPADD:
        return "IP:" + addressRange(name->d.iPAddress);
    case GEN_EMAIL:
        return "email:" + printable(name->d.rfc822Name);
    case GEN_URI:
        return "URI:" + printable(name->d.uniformResourceIdentifier);
    case GEN_DIRNAME: {
        std::unique_ptr<char, OpenSslFree> text(X509_NAME_oneline(name->d.directoryName, nullptr, 0));
        return text ? "DirName:" + printable(reinterpret_cast<const unsigned char *>(text.get()), int(std::strlen(text.get())))
                    : "DirName:";
    }
    default:
        break;
    }
    return "othername";
}

std::vector<std::string> subtrees(const STACK_OF(GENERAL_SUBTREE) *stack)
{
    std::vector<std::string> texts;
    for (int i = 0; i < sk_GENERAL_SUBTREE_num(stack); ++i)
        texts.push_back(subtreeText(sk_GENERAL_SUBTREE_value(stack, i)));
    return texts;
}

} // namespace

bool NameConstraints::constrains(const std::string &form) const
{
    const std::string prefix = form + ':';
    for (const std::vector<std::string> *list : {&permitted, &excluded}) {
        for (const std::string &subtree : *list) {
            if (subtree.compare(0, prefix.size(), prefix) == 0)
                return true;
        }
    }
    return false;
}

std::optional<NameConstraints> nameConstraints(X509 *x509)
{
    int found = -1;
    std::unique_ptr<NAME_CONSTRAINTS, decltype(&NAME_CONSTRAINTS_free)> read(
        static_cast<NAME_CONSTRAINTS *>(X509_get_ext_d2i(x509, NID_name_constraints, &found, nullptr)),
        NAME_CONSTRAINTS_free);
    if (!read && found == -1)
        return std::nullopt;
    // There, but twice or not decodable: a verifier would refuse the chain.
    if (!read)
        return NameConstraints{{}, {}, false};
    return NameConstraints{subtrees(read->permittedSubtrees), subtrees(read->excludedSubtrees), true};
}

} // namespace Ps::CertDecode
