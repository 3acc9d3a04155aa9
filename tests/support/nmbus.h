// A NetworkManager of the test's own: a private D-Bus system bus (its own
// dbus-daemon and socket in a temporary folder) and NetworkManager running in
// the test's network namespace inside a mount and UTS namespace of its own,
// with its configuration, state, /run and resolver file private. It manages
// only the interfaces named. The machine's bus and NetworkManager are never
// touched; both processes die with the test at the latest.
#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

namespace testnet {

class NetworkManager
{
public:
    // Points DBUS_SYSTEM_BUS_ADDRESS of this process (and so of its children)
    // at the private bus.
    explicit NetworkManager(const QStringList &managed);
    ~NetworkManager();
    NetworkManager(const NetworkManager &) = delete;
    NetworkManager &operator=(const NetworkManager &) = delete;

    bool ok() const { return m_ok; }

    // nmcli on the private bus; its exit code, its output in *output.
    int nmcli(const QStringList &arguments, QString *output = nullptr) const;
    // `nmcli -g <fields> connection show <profile>`, trimmed.
    QString profile(const QString &name, const QString &fields) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_nm;
    bool m_ok = false;
};

} // namespace testnet
