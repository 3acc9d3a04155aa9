#pragma once

#include "adapterrecord.h"

#include <QObject>
#include <QStringList>

class QProcess;

// The back end: answers questions about a network adapter and changes the
// system's network settings. Every operation is synchronous.
class windowChanger : public QObject
{
    Q_OBJECT

public:
    explicit windowChanger(QObject *parent = nullptr);
    ~windowChanger() override;

public slots:
    // Fills the worker's one record for the adapter and returns it. The
    // meta-object system sees no result: it does not hand out references.
    adapterRecord &getAddress(const QString &adapterName = QString("nothing"));
    // Writes a hardware address override: ("1", driver key), or ("0") when the
    // class key can't be written.
    QStringList setMac(const QStringList &macList);
    // netsh through the command interpreter; true once the command has run.
    bool setAddress(const QStringList &addressList);
    bool setDns(const QStringList &dnsList);
    bool setDhcpAddress(const QString &dhcp);
    bool setDhcpDns(const QString &dhcp);
    // Stops and starts the device with that driver key; false when a step failed.
    bool restartCard(const QString &adapterDriver);

private:
    // Runs cmd.exe /c command, waits up to a minute, then kills it.
    bool runCommand(const QString &command);

    adapterRecord info;
    QProcess *process;
};
