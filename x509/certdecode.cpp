// OpenSSL 3 builds the method tables of every provider, and reads its
// configuration, at a process's first EVP fetch: several times all the rest
// of a --check, which only hashes the files it looks up. OpenSSL's own digest
// functions, called directly, need none of that; they are deprecated in 3.0
// only in favour of the fetch.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "certdecode.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace Ps::CertDecode {
namespace {

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

constexpr char pemBegin[] = "-----BEGIN CERTIFICATE-----";

bool isBlank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool allBlank(const unsigned char *data, std::size_t size)
{
    return std::all_of(data, data + size, isBlank);
}

// Only a canonical encoding is taken: d2i must consume every byte, and the
// certificate must encode back to the same bytes, so the thumbprint of what
// is stored is the thumbprint of what was read.
std::optional<DecodedCertificate> decodeDer(const unsigned char *data, std::size_t size, Encoding encoding)
{
    if (size == 0 || size > static_cast<std::size_t>(std::numeric_limits<long>::max()))
        return std::nullopt;
    const unsigned char *cursor = data;
    X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
    if (!x509 || cursor != data + size)
        return std::nullopt;

    unsigned char *reencoded = nullptr;
    const int length = i2d_X509(x509.get(), &reencoded);
    const bool same = length == static_cast<int>(size) && std::memcmp(reencoded, data, size) == 0;
    OPENSSL_free(reencoded);
    if (!same)
        return std::nullopt;
    return DecodedCertificate{std::move(x509), std::vector<unsigned char>(data, data + size), encoding};
}

// The body of exactly one PEM "CERTIFICATE" block, blanks around it allowed.
std::optional<std::vector<unsigned char>> pemBody(const unsigned char *data, std::size_t size)
{
    const unsigned char *start = std::find_if_not(data, data + size, isBlank);
    const std::size_t rest = static_cast<std::size_t>(data + size - start);
    if (rest < sizeof pemBegin - 1 || std::memcmp(start, pemBegin, sizeof pemBegin - 1) != 0)
        return std::nullopt;
    if (rest > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    BioPtr bio(BIO_new_mem_buf(start, static_cast<int>(rest)));
    if (!bio)
        return std::nullopt;
    char *name = nullptr;
    char *header = nullptr;
    unsigned char *body = nullptr;
    long bodySize = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &body, &bodySize) != 1)
        return std::nullopt;
    std::optional<std::vector<unsigned char>> der;
    // A header would mean an encrypted or otherwise wrapped body.
    if (std::strcmp(name, "CERTIFICATE") == 0 && header[0] == '\0' && bodySize > 0)
        der = std::vector<unsigned char>(body, body + bodySize);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(body);
    char *trailing = nullptr;
    const long trailingSize = BIO_get_mem_data(bio.get(), &trailing);
    if (trailingSize > 0 && !allBlank(reinterpret_cast<unsigned char *>(trailing), static_cast<std::size_t>(trailingSize)))
        return std::nullopt;
    return der;
}

std::optional<DecodedCertificate> decodePem(const unsigned char *data, std::size_t size)
{
    const std::optional<std::vector<unsigned char>> der = pemBody(data, size);
    return der ? decodeDer(der->data(), der->size(), Encoding::Pem) : std::nullopt;
}

} // namespace

std::optional<DecodedCertificate> decodeCertificate(const unsigned char *data, std::size_t size)
{
    if (!data || size == 0)
        return std::nullopt;
    // A DER certificate starts with a SEQUENCE tag; PEM text never does.
    if (data[0] == 0x30)
        return decodeDer(data, size, Encoding::Der);
    return decodePem(data, size);
}

std::optional<std::vector<unsigned char>> encodedCertificate(const unsigned char *data, std::size_t size)
{
    if (!data || size == 0)
        return std::nullopt;
    if (data[0] == 0x30)
        return std::vector<unsigned char>(data, data + size);
    return pemBody(data, size);
}

namespace {

template <typename Context, std::size_t size>
std::vector<unsigned char> digestOf(const std::vector<unsigned char> &der, int (*init)(Context *),
                                    int (*update)(Context *, const void *, std::size_t),
                                    int (*final)(unsigned char *, Context *))
{
    std::vector<unsigned char> digest(size);
    Context context;
    if (init(&context) != 1 || update(&context, der.data(), der.size()) != 1 || final(digest.data(), &context) != 1)
        return {};
    return digest;
}

} // namespace

std::vector<unsigned char> sha1(const std::vector<unsigned char> &der)
{
    return digestOf<SHA_CTX, SHA_DIGEST_LENGTH>(der, SHA1_Init, SHA1_Update, SHA1_Final);
}

std::string upperHex(const unsigned char *bytes, std::size_t size)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 0x0F];
    }
    return text;
}

std::string thumbprint(const std::vector<unsigned char> &der)
{
    const std::vector<unsigned char> digest = sha1(der);
    return upperHex(digest.data(), digest.size());
}

std::string sha256Thumbprint(const std::vector<unsigned char> &der)
{
    const std::vector<unsigned char> digest =
        digestOf<SHA256_CTX, SHA256_DIGEST_LENGTH>(der, SHA256_Init, SHA256_Update, SHA256_Final);
    return upperHex(digest.data(), digest.size());
}

std::string pemText(const std::vector<unsigned char> &der)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || der.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())
        || PEM_write_bio(bio.get(), "CERTIFICATE", "", der.data(), static_cast<long>(der.size())) <= 0)
        return std::string();
    char *text = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<std::size_t>(size));
}

} // namespace Ps::CertDecode
