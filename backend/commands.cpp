#include "windowchanger.h"

#include "platform.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace {

QString quoted(const QString &connectionName)
{
    return QLatin1Char('"') + connectionName + QLatin1Char('"');
}

} // namespace

// The address and DNS setters read fixed positions of their lists. A shorter
// list than a caller ever passes is refused: nothing runs, and the result says
// so, since true means that a command has run.

bool windowChanger::setAddress(const QStringList &addressList)
{
    if (addressList.size() < 4)
        return false;
    return runCommand(QLatin1String("netsh interface ip set address name=") + quoted(addressList.at(0))
                      + QLatin1String(" source=static addr=") + addressList.at(1)
                      + QLatin1String(" mask=") + addressList.at(2)
                      + QLatin1String(" gateway=") + addressList.at(3)
                      + QLatin1String(" gwmetric=1"));
}

bool windowChanger::setDns(const QStringList &dnsList)
{
    if (dnsList.size() < 2)
        return false;
    return runCommand(QLatin1String("netsh interface ip set dns name=") + quoted(dnsList.at(0))
                      + QLatin1String(" source=static addr=") + dnsList.at(1)
                      + QLatin1String(" register=primary"));
}

bool windowChanger::setDhcpAddress(const QString &dhcp)
{
    return runCommand(QLatin1String("netsh interface ip set address name=") + quoted(dhcp)
                      + QLatin1String(" source=dhcp"));
}

bool windowChanger::setDhcpDns(const QString &dhcp)
{
    return runCommand(QLatin1String("netsh interface ip set dns name=") + quoted(dhcp)
                      + QLatin1String(" source=dhcp"));
}

bool windowChanger::runCommand(const QString &command)
{
    const QString systemRoot =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("systemroot"), QString());
    const QStringList args = {QStringLiteral("/c"), command};
    const QString program = platform::programPath(systemRoot + QLatin1String("\\system32\\cmd.exe"));

    // The outcome is judged by reading the adapter back, not from the
    // interpreter: its output and exit status go unread.
    platform::startInterpreter(*process, program, args);
    process->waitForFinished(60000);
    process->kill();
    // A killed interpreter is still ours until it has been reaped; the one
    // process object can't start the next command before that. SIGKILL (or
    // TerminateProcess) can't be refused, so this wait is short.
    if (process->state() != QProcess::NotRunning)
        process->waitForFinished(5000);
    return true;
}
