#include "nmbus.h"
#include "netns.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace testnet {

namespace {

bool writeFile(const QString &path, const QString &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content.toUtf8()) >= 0;
}

// A system bus that lets everyone do everything: the test is its only user.
const char busConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// rc-manager=unmanaged: with "file" NetworkManager writes temporary files into
// the machine's /etc. root-only: requests from other users are refused. A
// static address that another host uses is refused too (address conflict
// detection).
const char nmConfig[] = R"([main]
plugins=keyfile
no-auto-default=*
dhcp=internal
dns=default
rc-manager=unmanaged
hostname-mode=none
auth-polkit=root-only
systemd-resolved=false
[connection]
ipv4.dad-timeout=300
[keyfile]
unmanaged-devices=%1
)";

// Runs in the mount and UTS namespace that unshare made, then becomes
// NetworkManager. A read-only sysfs of this network namespace makes it go
// without udev; mount -n leaves the machine's /run/mount/utab alone.
const char nmStart[] = R"(set -e
mount -n -t sysfs -o ro sysfs /sys
mount -n -t tmpfs tmpfs /run
mkdir -p /run/NetworkManager
mount -n --bind "$1/etc" /etc/NetworkManager
mount -n --bind "$1/lib" /var/lib/NetworkManager
# A test's own resolver file may be mounted there already.
umount -n /etc/resolv.conf 2>/dev/null || true
mount -n --bind "$1/resolv.conf" /etc/resolv.conf
hostname vt-nm
exec NetworkManager --no-daemon --config "$1/etc/NetworkManager.conf"
)";

} // namespace

NetworkManager::NetworkManager(const QStringList &managed)
{
    const QString dir = m_dir.path();
    // The bus's socket is reached by a test's unprivileged runs as well.
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                   | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    QStringList except;
    for (const QString &name : managed)
        except << "except:interface-name:" + name;
    if (!QDir(dir).mkpath("etc/system-connections") || !QDir(dir).mkpath("lib")
        || !writeFile(dir + "/bus.conf", QString::fromLatin1(busConfig).arg(dir + "/bus"))
        || !writeFile(dir + "/etc/NetworkManager.conf", QString::fromLatin1(nmConfig).arg(except.join(',')))
        || !writeFile(dir + "/resolv.conf", QString()))
        return;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + dir + "/bus"));

    // setpriv's parent-death signal survives exec: both die with the test.
    m_bus.reset(new QProcess);
    m_bus->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus->start("setpriv", {"--pdeathsig", "KILL", "dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork",
                             "--nopidfile", "--print-address"});
    if (!m_bus->waitForReadyRead(5000))
        return;
    m_nm.reset(new QProcess);
    m_nm->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_nm->setStandardOutputFile(QProcess::nullDevice());
    m_nm->start("setpriv", {"--pdeathsig", "KILL", "unshare", "--mount", "--uts", "--propagation", "private",
                            "sh", "-c", nmStart, "nm-start", dir});
    if (!m_nm->waitForStarted(5000))
        return;
    // Up once it answers on the bus with the devices it manages.
    QString output;
    for (int waited = 0; waited < 10000 && m_nm->state() == QProcess::Running; waited += 100) {
        if (nmcli({"-t", "-f", "DEVICE,STATE", "device"}, &output) == 0
            && std::all_of(managed.begin(), managed.end(), [&](const QString &name) {
                   return output.contains(name + ":") && !output.contains(name + ":unmanaged");
               })) {
            m_ok = true;
            return;
        }
        QThread::msleep(100);
    }
}

NetworkManager::~NetworkManager()
{
    for (QProcess *process : {m_nm.get(), m_bus.get()}) {
        if (!process)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

int NetworkManager::nmcli(const QStringList &arguments, QString *output) const
{
    return run("nmcli", arguments, output);
}

QString NetworkManager::profile(const QString &name, const QString &fields) const
{
    QString output;
    nmcli({"-g", fields, "connection", "show", name}, &output);
    return output.trimmed();
}

} // namespace testnet
