// Any bytes at all as the settings file, read and parsed by Ps::Settings as
// the window reads the shipped one: text mode, UTF-8, JSON, the two lists.
#include "settings.h"

#include <QFile>
#include <QStringListModel>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    // An absolute name passes through the settings folder unchanged, so the
    // reader opens this file with the very code that opens the bundled one.
    static const QString path = folder.filePath(QStringLiteral("Settings.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    file.close();

    Ps::Settings settings(nullptr, path);
    const QStringList roots = settings.rootCertsModel->stringList();
    const QStringList intermediates = settings.interimCertsModel->stringList();
    // Lists come only from a parsed object; an empty text gives none.
    if (size == 0 && (!roots.isEmpty() || !intermediates.isEmpty()))
        std::abort();
    return 0;
}
