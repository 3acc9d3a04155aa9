#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

namespace platform {

QString programPath(const QString &windowsPath)
{
    QString path = windowsPath;
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

} // namespace platform

namespace {

// The worker starts "<systemroot>\system32\cmd.exe". Where the environment
// names no systemroot, point it at the folder that holds our system32/: the
// nearest one above the program (a build tree keeps it at its top), or the
// lib/vantorel of an installed tree.
void defaultSystemRoot()
{
    if (qEnvironmentVariableIsSet("systemroot"))
        return;
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    for (QDir dir = QFileInfo(exe).absoluteDir();; ) {
        for (const QString &candidate : {dir.absolutePath(), dir.absoluteFilePath(QStringLiteral("lib/vantorel")),
                                         dir.absoluteFilePath(QStringLiteral("../lib/vantorel"))}) {
            if (QFileInfo(candidate + QStringLiteral("/system32/cmd.exe")).isExecutable()) {
                qputenv("systemroot", QFile::encodeName(QDir::cleanPath(candidate)));
                return;
            }
        }
        if (!dir.cdUp())
            return;
    }
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(defaultSystemRoot)
