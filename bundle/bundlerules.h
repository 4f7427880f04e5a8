#ifndef PS_BUNDLERULES_H
#define PS_BUNDLERULES_H

#include <QString>

// What a bundle folder may hold, written once for the build's check and the
// program that reads the compiled-in bundle.
namespace Ps::BundleRules {

// The settings file and its two lists: roots for "ROOT", intermediates for
// "CA", in installation order.
inline const QString settingsFile = QStringLiteral("Json/Settings.json");
inline const QString rootList = QStringLiteral("rootCerts");
inline const QString intermediateList = QStringLiteral("interimCerts");
// Where a listed name is found, in the folder and compiled in (":/Cert/<name>").
inline const QString certificateFolder = QStringLiteral("Cert");

// A listed name is joined to folders (the bundle's, the temporary one):
// anything but a bare file name could reach outside them, and the removal
// before a copy would then delete someone else's file.
bool isBareFileName(const QString &name);

} // namespace Ps::BundleRules

#endif
