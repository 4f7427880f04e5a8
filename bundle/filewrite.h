#ifndef PS_FILEWRITE_H
#define PS_FILEWRITE_H

#include <QByteArray>
#include <QString>

namespace Ps {

enum class Write { Unchanged, Written, Failed };

// The whole-file write for a path (its folders made as needed), only when the
// file's bytes differ. Failed means the file is as it was, or (when only the
// folder's sync failed) whole but perhaps not yet on disk: either way the
// caller's run has failed.
Write writeIfDifferent(const QString &path, const QByteArray &bytes);

} // namespace Ps

#endif
