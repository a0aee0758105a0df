#include "Common/PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFile {

bool create(const QString &path, bool makeFolder)
{
    if (path.isEmpty())
        return false;
    if (makeFolder)
        QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EEXIST;
}

bool readableByOthers(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH));
}

bool makeOwnerOnly(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0 || !(st.st_mode & (S_IRWXG | S_IRWXO)))
        return false;
    return ::chmod(name.constData(), st.st_mode & S_IRWXU) == 0;
}

}
