// CryptoAPI's certificate functions off Windows. The local machine's system
// store NAME is the folder <VYR_STORE_ROOT>/NAME; each certificate in it is the
// PEM file <THUMBPRINT>.crt, reached by OpenSSL through a subject-hash link
// <hash>.<n>, so the folder serves as OpenSSL's -CApath.
#include "wincrypt.h"

#include "certdecode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VYR_STORE_ROOT
#error "VYR_STORE_ROOT must name the folder of the local machine's stores"
#endif

using Ps::Standin::DecodedCertificate;

namespace {

constexpr std::size_t maxCertificateFileSize = 1 << 20;
constexpr int maxLinkIndex = 10000;

struct CertificateContext : CERT_CONTEXT
{
    DecodedCertificate decoded;
};

struct Store
{
    std::string folder;
    bool readOnly;
};

// Store names are short ASCII words; anything else could leave the store root.
bool isPlainName(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                           || c == '_' || c == '-' || c == '.';
        if (!plain)
            return false;
    }
    return true;
}

std::string narrowName(const wchar_t *wide)
{
    std::string name;
    for (; wide && *wide; ++wide) {
        if (*wide < 0 || *wide > 0x7F)
            return std::string();
        name += static_cast<char>(*wide);
    }
    return name;
}

// wchar_t holds UTF-32 here; file names on disk are UTF-8.
std::string utf8Path(const wchar_t *wide)
{
    std::string path;
    for (; *wide; ++wide) {
        const auto c = static_cast<std::uint32_t>(*wide);
        if (c < 0x80) {
            path += static_cast<char>(c);
        } else if (c < 0x800) {
            path += static_cast<char>(0xC0 | (c >> 6));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                return std::string();
            path += static_cast<char>(0xE0 | (c >> 12));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            path += static_cast<char>(0xF0 | (c >> 18));
            path += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            return std::string();
        }
    }
    return path;
}

std::string canonicalStoreName(const std::string &name)
{
    if (strcasecmp(name.c_str(), "ROOT") == 0)
        return "ROOT";
    if (strcasecmp(name.c_str(), "CA") == 0)
        return "CA";
    return name;
}

bool isFolder(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows has ROOT and CA on every machine; here they come into being the
// first time a process that may create them opens them.
void createFolder(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Opening a FIFO or a device must neither block nor read forever.
bool readFile(const std::string &path, std::vector<unsigned char> &bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
              && static_cast<std::size_t>(info.st_size) <= maxCertificateFileSize;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            ok = got > 0;
            if (ok)
                done += static_cast<std::size_t>(got);
        }
        // A file that grew while being read is not the file that was measured.
        unsigned char extra;
        ok = ok && read(fd, &extra, 1) == 0;
    }
    close(fd);
    return ok;
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool syncFolder(const std::string &folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// The whole file appears under its name or not at all: readers never see a
// partial certificate, and a failed write leaves nothing behind.
bool writeFileAtomically(const std::string &folder, const std::string &name, const std::string &text)
{
    std::string temporary = folder + "/." + name + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    return syncFolder(folder);
}

// OpenSSL looks a CA up as <subject hash>.<n> for n = 0, 1, ... until a name
// is missing; the link that already names the file is kept, else the first
// free n is taken.
bool linkBySubjectHash(const std::string &folder, X509 *x509, const std::string &fileName)
{
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08lx", X509_subject_name_hash(x509) & 0xFFFFFFFFUL);
    for (int n = 0; n < maxLinkIndex; ++n) {
        const std::string link = folder + "/" + hash + "." + std::to_string(n);
        if (symlink(fileName.c_str(), link.c_str()) == 0)
            return syncFolder(folder);
        if (errno != EEXIST)
            return false;
        char target[256];
        const ssize_t size = readlink(link.c_str(), target, sizeof target);
        if (size >= 0 && fileName.compare(0, std::string::npos, target, static_cast<std::size_t>(size)) == 0)
            return true;
    }
    return false;
}

bool fileExists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

CertificateContext *newContext(DecodedCertificate decoded)
{
    auto *context = new CertificateContext{};
    context->decoded = std::move(decoded);
    context->dwCertEncodingType = X509_ASN_ENCODING;
    context->pbCertEncoded = context->decoded.der.data();
    context->cbCertEncoded = static_cast<DWORD>(context->decoded.der.size());
    return context;
}

} // namespace

BOOL CryptQueryObject(DWORD dwObjectType, const void *pvObject,
                      DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                      DWORD /*dwFlags*/, DWORD *pdwMsgAndCertEncodingType, DWORD *pdwContentType,
                      DWORD *pdwFormatType, HCERTSTORE *phCertStore, HCRYPTMSG *phMsg,
                      const void **ppvContext)
{
    // Certificates are all this stand-in decodes, and they come back as a
    // context only: no store or message is ever built.
    if (!pvObject || phCertStore || phMsg || !(dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_CERT))
        return FALSE;

    std::vector<unsigned char> bytes;
    if (dwObjectType == CERT_QUERY_OBJECT_FILE) {
        const std::string path = utf8Path(static_cast<const wchar_t *>(pvObject));
        if (path.empty() || !readFile(path, bytes))
            return FALSE;
    } else if (dwObjectType == CERT_QUERY_OBJECT_BLOB) {
        const auto *blob = static_cast<const CRYPT_DATA_BLOB *>(pvObject);
        if (!blob->pbData)
            return FALSE;
        bytes.assign(blob->pbData, blob->pbData + blob->cbData);
    } else {
        return FALSE;
    }

    std::optional<DecodedCertificate> decoded = Ps::Standin::decodeCertificate(bytes.data(), bytes.size());
    if (!decoded)
        return FALSE;
    const bool der = decoded->encoding == Ps::Standin::Encoding::Der;
    if (!(dwExpectedFormatTypeFlags & (der ? CERT_QUERY_FORMAT_FLAG_BINARY : CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED)))
        return FALSE;

    if (pdwMsgAndCertEncodingType)
        *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (pdwContentType)
        *pdwContentType = CERT_QUERY_CONTENT_CERT;
    if (pdwFormatType)
        *pdwFormatType = der ? CERT_QUERY_FORMAT_BINARY : CERT_QUERY_FORMAT_BASE64_ENCODED;
    if (ppvContext)
        *ppvContext = newContext(std::move(*decoded));
    return TRUE;
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD /*dwEncodingType*/,
                         HCRYPTPROV_LEGACY /*hCryptProv*/, DWORD dwFlags, const void *pvPara)
{
    if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W || !pvPara
        || (dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) != CERT_SYSTEM_STORE_LOCAL_MACHINE)
        return nullptr;
    const std::string name = canonicalStoreName(narrowName(static_cast<const wchar_t *>(pvPara)));
    if (!isPlainName(name))
        return nullptr;

    const std::string folder = std::string(VYR_STORE_ROOT) + "/" + name;
    const bool predefined = name == "ROOT" || name == "CA";
    const bool exists = isFolder(folder);
    if (exists && (dwFlags & CERT_STORE_CREATE_NEW_FLAG))
        return nullptr;
    if (!exists && (predefined || !(dwFlags & CERT_STORE_OPEN_EXISTING_FLAG)))
        createFolder(folder);
    if (!isFolder(folder))
        return nullptr;

    // Like a non-administrator on Windows, a process that may not write the
    // store cannot open it for writing.
    const bool readOnly = dwFlags & CERT_STORE_READONLY_FLAG;
    if (faccessat(AT_FDCWD, folder.c_str(), readOnly ? R_OK | X_OK : R_OK | W_OK | X_OK, AT_EACCESS) != 0)
        return nullptr;
    return new Store{folder, readOnly};
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT *ppStoreContext)
{
    if (ppStoreContext)
        *ppStoreContext = nullptr;
    const auto *store = static_cast<const Store *>(hCertStore);
    const auto *certificate = static_cast<const CertificateContext *>(pCertContext);
    if (!store || !certificate || store->readOnly)
        return FALSE;

    const std::string fileName = Ps::Standin::thumbprint(certificate->decoded.der) + ".crt";
    const bool present = fileExists(store->folder + "/" + fileName);
    switch (dwAddDisposition) {
    case CERT_STORE_ADD_NEW:
        if (present)
            return FALSE;
        break;
    case CERT_STORE_ADD_USE_EXISTING:
        if (present)
            return linkBySubjectHash(store->folder, certificate->decoded.x509.get(), fileName);
        break;
    case CERT_STORE_ADD_REPLACE_EXISTING:
    case CERT_STORE_ADD_ALWAYS:
        // Entries are keyed by thumbprint, so "always" rewrites the one file.
        break;
    default:
        return FALSE;
    }

    const std::string pem = Ps::Standin::pemText(certificate->decoded.der);
    if (pem.empty() || !writeFileAtomically(store->folder, fileName, pem)
        || !linkBySubjectHash(store->folder, certificate->decoded.x509.get(), fileName))
        return FALSE;

    if (ppStoreContext) {
        const unsigned char *der = certificate->decoded.der.data();
        *ppStoreContext = newContext(*Ps::Standin::decodeCertificate(der, certificate->decoded.der.size()));
    }
    return TRUE;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD /*dwFlags*/)
{
    delete static_cast<Store *>(hCertStore);
    return TRUE;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    delete static_cast<const CertificateContext *>(pCertContext);
    return TRUE;
}

// No CRL or CTL context is ever handed out here, so there is never one to free.
BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext)
{
    return pCrlContext == nullptr;
}

BOOL CertFreeCTLContext(PCCTL_CONTEXT pCtlContext)
{
    return pCtlContext == nullptr;
}
