#include "bundlecheck.h"

#include "bundlerules.h"

#include "certdecode.h"
#include "nameconstraints.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <memory>
#include <optional>

namespace Ps {
namespace {

using CertDecode::X509Ptr;

constexpr qint64 day = 24 * 60 * 60;
constexpr qint64 warnDays = 90;

struct Listed
{
    StoreList list;
    QString name;
    QString file; // Cert/<name>
    X509Ptr x509;
    std::vector<unsigned char> der;
};

using BundleRules::isBareFileName;

std::optional<qint64> secondsOf(const ASN1_TIME *time)
{
    struct tm parts = {};
    if (!time || !ASN1_TIME_to_tm(time, &parts))
        return std::nullopt;
    return qint64(timegm(&parts));
}

QString dateOf(qint64 seconds)
{
    const std::time_t time = std::time_t(seconds);
    struct tm parts = {};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return QString::fromLatin1(text);
}

QString subjectOf(X509 *x509)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(x509), 0, XN_FLAG_RFC2253) < 0)
        return QString();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, int(size));
}

bool isCa(X509 *x509)
{
    const uint32_t flags = X509_get_extension_flags(x509);
    return (flags & EXFLAG_BCONS) && (flags & EXFLAG_CA);
}

bool signsCertificates(X509 *x509)
{
    return (X509_get_extension_flags(x509) & EXFLAG_KUSAGE) && (X509_get_key_usage(x509) & KU_KEY_CERT_SIGN);
}

bool signedBy(X509 *certificate, X509 *issuer)
{
    EVP_PKEY *key = X509_get0_pubkey(issuer);
    return key && X509_verify(certificate, key) == 1;
}

class Checker
{
public:
    Checker(const QString &folder, std::time_t now, bool requireNameConstraints)
        : folder(folder), now(now), requireNameConstraints(requireNameConstraints)
    {
    }

    BundleCheck run();

private:
    void error(const QString &file, const QString &reason) { result.findings.append({Finding::Error, file, reason}); }
    void warning(const QString &file, const QString &reason)
    {
        result.findings.append({Finding::Warning, file, reason});
    }
    void readList(const QJsonValue &value, StoreList list);
    void checkValidity(const Listed &listed);
    void checkRoot(const Listed &listed);
    void checkNameScope(const Listed &listed, NameScope &scope);
    void checkIntermediate(const Listed &listed);
    void checkDuplicates();
    void warnUnlisted();

    const QString folder;
    const std::time_t now;
    const bool requireNameConstraints;
    std::vector<Listed> listed;
    QSet<QString> names; // every bare name a list gives, read or not
    BundleCheck result;
};

using BundleRules::settingsFile;

void Checker::readList(const QJsonValue &value, StoreList list)
{
    const QString key = list == StoreList::Root ? BundleRules::rootList : BundleRules::intermediateList;
    // A list left out is an empty list, as the program reads it.
    if (value.isUndefined())
        return;
    if (!value.isArray()) {
        error(settingsFile, QStringLiteral("\"%1\" is not a list of file names").arg(key));
        return;
    }
    for (const QJsonValue &entry : value.toArray()) {
        const QString name = entry.toString();
        if (!entry.isString() || !isBareFileName(name)) {
            error(settingsFile, QStringLiteral("\"%1\" lists \"%2\", which is not a bare file name")
                                    .arg(key, entry.isString() ? name : QStringLiteral("(not a string)")));
            continue;
        }
        names.insert(name);
        const QString file = QStringLiteral("Cert/") + name;
        QFile source(QDir(folder).filePath(file));
        if (!source.open(QIODevice::ReadOnly)) {
            error(file, QStringLiteral("listed in \"%1\" but missing").arg(key));
            continue;
        }
        const QByteArray bytes = source.readAll();
        std::optional<CertDecode::DecodedCertificate> decoded = CertDecode::decodeCertificate(
            reinterpret_cast<const unsigned char *>(bytes.constData()), std::size_t(bytes.size()));
        if (decoded && !decoded->x509) {
            const unsigned char *cursor = decoded->der.data();
            decoded->x509.reset(d2i_X509(nullptr, &cursor, long(decoded->der.size())));
        }
        if (!decoded || !decoded->x509) {
            error(file, QStringLiteral("not exactly one X.509 certificate (DER or PEM)"));
            continue;
        }
        listed.push_back({list, name, file, std::move(decoded->x509), std::move(decoded->der)});
        X509 *x509 = listed.back().x509.get();
        const auto date = [](const ASN1_TIME *time) {
            return QDateTime::fromSecsSinceEpoch(secondsOf(time).value_or(0), Qt::UTC);
        };
        result.facts.append({list, name, QString::fromStdString(CertDecode::thumbprint(listed.back().der)),
                             QString::fromStdString(CertDecode::sha256Thumbprint(listed.back().der)), subjectOf(x509),
                             date(X509_get0_notBefore(x509)), date(X509_get0_notAfter(x509)), qint64(bytes.size()), NameScope{}});
    }
}

void Checker::checkValidity(const Listed &listed)
{
    const std::optional<qint64> from = secondsOf(X509_get0_notBefore(listed.x509.get()));
    const std::optional<qint64> until = secondsOf(X509_get0_notAfter(listed.x509.get()));
    if (!from || !until) {
        error(listed.file, QStringLiteral("its validity dates cannot be read"));
    } else if (*from > now) {
        error(listed.file, QStringLiteral("not yet valid: valid from %1").arg(dateOf(*from)));
    } else if (*until < now) {
        error(listed.file, QStringLiteral("expired on %1").arg(dateOf(*until)));
    } else if (*until - now < warnDays * day) {
        warning(listed.file, QStringLiteral("expires on %1: %2 days left").arg(dateOf(*until), QString::number((*until - now) / day)));
    }
}

void Checker::checkRoot(const Listed &listed)
{
    X509 *x509 = listed.x509.get();
    if (X509_check_issued(x509, x509) != X509_V_OK || !signedBy(x509, x509))
        error(listed.file, QStringLiteral("a root that does not verify with its own key (not self-signed)"));
    if (!isCa(x509))
        error(listed.file, QStringLiteral("a root without CA:TRUE in its basic constraints"));
    if (!signsCertificates(x509))
        error(listed.file, QStringLiteral("a root without keyCertSign in its key usage"));
}

QStringList textsOf(const std::vector<std::string> &subtrees)
{
    QStringList texts;
    for (const std::string &subtree : subtrees)
        texts.append(QString::fromStdString(subtree));
    return texts;
}

// A root vouches for every name its constraints leave open, on every machine
// that trusts it: said for each root, an error where the organisation asks
// for constraints.
void Checker::checkNameScope(const Listed &listed, NameScope &scope)
{
    const std::optional<CertDecode::NameConstraints> constraints = CertDecode::nameConstraints(listed.x509.get());
    const auto gap = [&](const QString &why) {
        if (requireNameConstraints)
            error(listed.file, why);
        else
            warning(listed.file, why);
    };
    scope.known = true;
    if (!constraints) {
        gap(QStringLiteral("a root without name constraints: it may vouch for any name"));
        return;
    }
    if (!constraints->readable) {
        error(listed.file, QStringLiteral("its name constraints cannot be read"));
        return;
    }
    scope.constrained = true;
    scope.permitted = textsOf(constraints->permitted);
    scope.excluded = textsOf(constraints->excluded);
    // Three of the four verifiers match an IP address only against IP
    // subtrees: DNS subtrees alone leave every address open.
    if (constraints->constrains("DNS") && !constraints->constrains("IP"))
        gap(QStringLiteral("a root whose name constraints cover DNS names only: it may vouch for any IP address "
                           "(permit or exclude IP ranges too)"));
}

void Checker::checkIntermediate(const Listed &listed)
{
    X509 *x509 = listed.x509.get();
    if (!isCa(x509))
        error(listed.file, QStringLiteral("an intermediate without CA:TRUE in its basic constraints "
                                          "(an end-entity certificate has no place in the CA store)"));
    const Listed *issuer = nullptr;
    for (const Listed &candidate : this->listed) {
        if (&candidate == &listed
            || X509_NAME_cmp(X509_get_subject_name(candidate.x509.get()), X509_get_issuer_name(x509)) != 0)
            continue;
        if (signedBy(x509, candidate.x509.get()))
            return;
        issuer = &candidate;
    }
    if (issuer)
        error(listed.file, QStringLiteral("its signature does not verify against its issuer %1").arg(issuer->file));
    else
        warning(listed.file, QStringLiteral("its issuer is not in the bundle: it must chain to a root the machines "
                                            "already trust"));
}

void Checker::checkDuplicates()
{
    QHash<QString, const BundledCertificate *> seen;
    for (const BundledCertificate &facts : result.facts) {
        const BundledCertificate *first = seen.value(facts.sha1);
        if (!first) {
            seen.insert(facts.sha1, &facts);
        } else if (first->list == facts.list) {
            error(QStringLiteral("Cert/") + facts.name,
                  QStringLiteral("the same certificate as Cert/%1, listed twice (SHA-1 %2)").arg(first->name, facts.sha1));
        } else {
            error(QStringLiteral("Cert/") + facts.name,
                  QStringLiteral("the same certificate as Cert/%1, in both lists (SHA-1 %2)").arg(first->name, facts.sha1));
        }
    }
}

void Checker::warnUnlisted()
{
    const QStringList files = QDir(QDir(folder).filePath(QStringLiteral("Cert"))).entryList(QDir::Files | QDir::Hidden);
    for (const QString &file : files) {
        if (!names.contains(file))
            warning(QStringLiteral("Cert/") + file, QStringLiteral("no list names it: it is not shipped"));
    }
}

BundleCheck Checker::run()
{
    QFile settings(QDir(folder).filePath(settingsFile));
    if (!settings.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error(settingsFile, QStringLiteral("missing"));
        return result;
    }
    // Read as the program reads it: up to the first zero byte.
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(settings.readAll().constData()), &parseError);
    const QString wanted = QStringLiteral("; it must be an object with ") + BundleRules::rootList + QStringLiteral(" and ")
                           + BundleRules::intermediateList;
    if (parseError.error != QJsonParseError::NoError) {
        error(settingsFile, QStringLiteral("not JSON: ") + parseError.errorString() + QStringLiteral(" at byte ")
                                + QString::number(parseError.offset) + wanted);
        return result;
    }
    if (!document.isObject()) {
        error(settingsFile, QStringLiteral("the settings file is a JSON ")
                                + (document.isArray() ? QStringLiteral("array") : QStringLiteral("value")) + wanted);
        return result;
    }
    readList(document.object().value(BundleRules::rootList), StoreList::Root);
    readList(document.object().value(BundleRules::intermediateList), StoreList::Intermediate);
    if (result.facts.isEmpty() && !result.failed())
        error(settingsFile, QStringLiteral("lists no certificate"));

    // One fact for each listed certificate, in the same order.
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const Listed &each = listed[i];
        checkValidity(each);
        if (each.list == StoreList::Root) {
            checkRoot(each);
            checkNameScope(each, result.facts[int(i)].names);
        }
        else
            checkIntermediate(each);
    }
    checkDuplicates();
    warnUnlisted();
    return result;
}

// A C string literal that holds any bytes: every byte outside plain
// printable ASCII as a three-digit octal escape, which cannot run on.
QByteArray literal(const QString &text)
{
    QByteArray out("\"");
    for (const char c : text.toUtf8()) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\' && byte != '?') {
            out += c;
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
            out += escape;
        }
    }
    return out + '"';
}

QByteArray listSource(const QStringList &texts)
{
    QByteArray source("{");
    for (const QString &text : texts)
        source += (source.size() > 1 ? ", text(" : "text(") + literal(text) + ")";
    return source + "}";
}

QByteArray nameScopeSource(const NameScope &scope)
{
    return QByteArray("{") + (scope.known ? "true" : "false") + ", " + (scope.constrained ? "true" : "false") + ", "
           + listSource(scope.permitted) + ", " + listSource(scope.excluded) + "}";
}

} // namespace

bool BundleCheck::failed() const
{
    for (const Finding &finding : findings) {
        if (finding.severity == Finding::Error)
            return true;
    }
    return false;
}

BundleCheck checkBundle(const QString &folder, std::time_t now, bool requireNameConstraints)
{
    return Checker(folder, now, requireNameConstraints).run();
}

QByteArray factsSource(const QVector<BundledCertificate> &facts)
{
    // Qt's own strings are made at the first lookup, not before main: a
    // program that never looks pays nothing for them.
    QByteArray source("// Written by vyr-bundle-check from the bundle folder; not to be edited.\n"
                      "#include \"bundle.h\"\n\nnamespace Ps {\n\nQVector<BundledCertificate> bundledFacts()\n{\n"
                      "    const auto text = [](const char *utf8) { return QString::fromUtf8(utf8); };\n"
                      "    const auto date = [](qint64 seconds) { return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC); };\n"
                      "    return {\n");
    for (const BundledCertificate &each : facts) {
        source += QByteArray("        {") + (each.list == StoreList::Root ? "StoreList::Root" : "StoreList::Intermediate")
                  + ", text(" + literal(each.name) + "),\n         text(" + literal(each.sha1) + "),\n         text("
                  + literal(each.sha256) + "),\n         text(" + literal(each.subject) + "),\n         date("
                  + QByteArray::number(each.notBefore.toSecsSinceEpoch()) + "), date("
                  + QByteArray::number(each.notAfter.toSecsSinceEpoch()) + "), " + QByteArray::number(each.size) + ",\n         "
                  + nameScopeSource(each.names) + "},\n";
    }
    return source + "    };\n}\n\n} // namespace Ps\n";
}

} // namespace Ps
