#ifndef PS_FILEWRITE_H
#define PS_FILEWRITE_H

#include <QByteArray>
#include <QString>

namespace Ps {

enum class Write { Unchanged, Written, Failed };

// Whether the path to the file may pass through links. Refused: every part
// of it is opened without following one (a folder another user owns, such as
// node_exporter's under /var/lib/prometheus); the file is then written
// whatever it held.
enum class Links { Followed, Refused };

// The whole-file write for a path (its folders made as needed), only when the
// file's bytes differ. Failed means the file is as it was, or (when only the
// folder's sync failed) whole but perhaps not yet on disk: either way the
// caller's run has failed.
Write writeIfDifferent(const QString &path, const QByteArray &bytes, Links links = Links::Followed);

} // namespace Ps

#endif
