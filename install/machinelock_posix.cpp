// Off Windows: an flock on a file in the state folder beside the record.
#include "machinelock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Ps {

QString MachineLock::location()
{
    return QFileInfo(QStringLiteral(VYR_STORE_ROOT)).path() + QStringLiteral("/lock");
}

MachineLock::MachineLock(int waitMs)
{
    QDir().mkpath(QFileInfo(location()).path());
    // Only root may open it: anyone who could would be able to keep every
    // later run waiting. A run without rights writes nothing of the
    // machine's and goes on without it.
    const int fd = open(QFile::encodeName(location()).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    QElapsedTimer waited;
    waited.start();
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited.elapsed() >= waitMs) {
            taken = errno == EWOULDBLOCK ? State::Busy : State::Unavailable;
            close(fd);
            return;
        }
        QThread::msleep(20);
    }
    handle = fd;
    taken = State::Held;
}

MachineLock::~MachineLock()
{
    if (handle >= 0)
        close(int(handle));
}

} // namespace Ps
