#include "platform.h"

#include <QProcess>

// Our cmd.exe takes its arguments as the kernel passes them, one by one.
// Apart from platform_linux.cpp, so that a test's fake platform, which brings
// its own programPath(), still takes this one.
namespace platform {

void startInterpreter(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.start(program, arguments, QIODevice::ReadWrite);
}

} // namespace platform
