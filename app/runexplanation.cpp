#include "runexplanation.h"

#include "platform.h"
#include "record.h"

namespace Ps {
namespace {

QStringList namesWith(const QVector<CertificateResult> &results, std::initializer_list<Outcome> outcomes)
{
    QStringList names;
    for (const CertificateResult &result : results) {
        if (std::find(outcomes.begin(), outcomes.end(), result.outcome) != outcomes.end()
            && !names.contains(result.certificate.name))
            names << result.certificate.name;
    }
    return names;
}

// Settings entries can hold anything; the status bar shows them on one line.
QString printable(const QStringList &names, bool quoted = false)
{
    const QString quote = quoted ? QStringLiteral("\"") : QString();
    QString text = quote + names.join(quote + QLatin1String(", ") + quote) + quote;
    for (QChar &c : text) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

QString runExplanation(const QVector<CertificateResult> &results)
{
    QStringList parts;
    if (!namesWith(results, {Outcome::NoTemporaryFolder}).isEmpty())
        parts << QString::fromUtf8(u8"Dosarul temporar nu există sau nu este un dosar.");
    if (!namesWith(results, {Outcome::Busy}).isEmpty())
        parts << QString::fromUtf8(u8"O altă instalare nu s-a încheiat; încercați din nou.");
    if (!namesWith(results, {Outcome::StoreUnavailable}).isEmpty())
        parts << QString::fromUtf8(u8"Depozitele de certificate nu pot fi deschise pentru scriere: "
                                   u8"rulați programul ca %1.")
                     .arg(Platform::privilegedAccount());
    const QStringList unreadable = namesWith(results, {Outcome::NotInBundle, Outcome::NotACertificate});
    if (!unreadable.isEmpty())
        parts << QString::fromUtf8(u8"Nu au putut fi citite ca certificate: %1.").arg(printable(unreadable));
    const QStringList uncopied = namesWith(results, {Outcome::CopyFailed});
    if (!uncopied.isEmpty())
        parts << QString::fromUtf8(u8"Nu au putut fi copiate în dosarul temporar: %1.").arg(printable(uncopied));
    QStringList notLeft;
    for (const CertificateResult &result : results) {
        if (!result.copyLeft && !notLeft.contains(result.certificate.name))
            notLeft << result.certificate.name;
    }
    if (!notLeft.isEmpty())
        parts << QString::fromUtf8(u8"Copiile nu au putut fi lăsate în dosarul temporar, unde un fișier al altui "
                                   u8"utilizator le poartă numele (neatins); au fost importate dintr-o copie privată: ")
                     + printable(notLeft) + QLatin1Char('.');
    const QStringList unsafe = namesWith(results, {Outcome::UnsafeName});
    if (!unsafe.isEmpty())
        parts << QString::fromUtf8(u8"Setările numesc fișiere care nu pot fi folosite: %1.")
                     .arg(printable(unsafe, true));
    if (!namesWith(results, {Outcome::RecordUnavailable}).isEmpty())
        parts << QString::fromUtf8(u8"Evidența certificatelor adăugate de program (%1) nu a putut fi citită "
                                   u8"sau scrisă: nu s-a schimbat nimic.")
                     .arg(Record::location());
    const QStringList refused = namesWith(results, {Outcome::StoreRefused});
    if (!refused.isEmpty())
        parts << QString::fromUtf8(u8"Depozitul a refuzat: %1.").arg(printable(refused));
    return parts.join(QLatin1Char(' '));
}

} // namespace Ps

namespace Ps {

QString withdrawnMessage(int count)
{
    return QString::fromUtf8(u8"Certificate scoase din uz și retrase: %1.").arg(count);
}

QString trustUpdatingMessage()
{
    return QString::fromUtf8(u8"Se actualizează încrederea sistemului...");
}

namespace {

QString trustKindMessage(const TrustOutcome &outcome)
{
    const QString notUpdated = QString::fromUtf8(u8"Încrederea sistemului nu a fost actualizată: ");
    switch (outcome.kind) {
    case TrustOutcome::Updated:
        return QString::fromUtf8(u8"Încrederea sistemului a fost actualizată (%1).").arg(outcome.family);
    case TrustOutcome::Unchanged:
        return QString::fromUtf8(u8"Încrederea sistemului era deja la zi (%1).").arg(outcome.family);
    case TrustOutcome::NoFamily:
        return QString::fromUtf8(u8"Sistemul nu are o sursă de încredere cunoscută: "
                                 u8"certificatele rădăcină sunt doar în depozitul ROOT.");
    case TrustOutcome::NotPrivileged:
        return notUpdated + QString::fromUtf8(u8"rulați programul ca %1.").arg(Platform::privilegedAccount());
    case TrustOutcome::WriteFailed:
        return notUpdated + QString::fromUtf8(u8"fișierele nu au putut fi scrise.");
    case TrustOutcome::ToolMissing:
        return notUpdated + QString::fromUtf8(u8"lipsește /%1.").arg(outcome.tool);
    case TrustOutcome::RefreshFailed:
        break;
    }
    return notUpdated + QString::fromUtf8(u8"/%1 a ieșit cu codul %2.").arg(outcome.tool, QString::number(outcome.exitCode));
}

} // namespace

// One line still: the browsers and Java that did not take the roots follow
// the system trust's own message.
QString trustMessage(const TrustOutcome &outcome)
{
    const QString message = trustKindMessage(outcome);
    if (outcome.unreached.isEmpty())
        return message;
    QStringList targets;
    for (const UnreachedTarget &target : outcome.unreached)
        targets.append(target.id + QStringLiteral(": ") + target.why);
    return message + QString::fromUtf8(u8" Nu au putut fi atinse: %1.").arg(targets.join(QStringLiteral("; ")));
}

} // namespace Ps
