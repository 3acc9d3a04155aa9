#include "platform.h"

#include "kernel/procfs.h"
#include "records/classkey.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QtGlobal>

namespace platform {

QString programPath(const QString &windowsPath)
{
    QString path = windowsPath;
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// Our cmd.exe takes its arguments as the kernel passes them, one by one.
void startInterpreter(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.start(program, arguments, QIODevice::ReadWrite);
}

namespace {

QString &lastClassKeyError()
{
    static QString error;
    return error;
}

} // namespace

QString adapterClassKey()
{
    QString error;
    const QString path = classkey::file(&error);
    // Unusable, there is no class key at all: it has no subkeys, and nothing is
    // written to it. The program says nothing of it itself; a caller that
    // reports to a person asks classKeyError().
    lastClassKeyError() = path.isEmpty() ? error : QString();
    return path;
}

QString classKeyError()
{
    return lastClassKeyError();
}

// The IP Helper stand-in reports every adapter under its kernel name.
QString adapterName(const QNetworkInterface &networkInterface)
{
    return networkInterface.name();
}

QNetworkInterface interfaceFromAdapterName(const QString &adapterName)
{
    return QNetworkInterface::interfaceFromName(adapterName);
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
    const QString exe = QFileInfo(QString::fromStdString(procfs::ownProgram())).canonicalFilePath();
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
