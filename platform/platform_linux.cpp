#include "platform.h"

#include <QCoreApplication>
#include <QDir>
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
// names no systemroot, point it at the folder that holds our system32/: beside
// the program in a build tree, or lib/vantorel of an installed one.
void defaultSystemRoot()
{
    if (qEnvironmentVariableIsSet("systemroot"))
        return;
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QDir dir = QFileInfo(exe).absoluteDir();
    const QStringList candidates = {
        dir.absolutePath(),
        dir.absoluteFilePath(QStringLiteral("..")),
        dir.absoluteFilePath(QStringLiteral("../lib/vantorel")),
    };
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate + QStringLiteral("/system32/cmd.exe")).isExecutable()) {
            qputenv("systemroot", QDir::cleanPath(candidate).toLocal8Bit());
            return;
        }
    }
}

} // namespace

Q_CONSTRUCTOR_FUNCTION(defaultSystemRoot)
