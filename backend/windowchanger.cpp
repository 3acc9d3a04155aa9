#include "windowchanger.h"

#include <QProcess>

windowChanger::windowChanger(QObject *parent) : QObject(parent), process(new QProcess) {}
windowChanger::~windowChanger() { process->deleteLater(); }
adapterRecord &windowChanger::getAddress(const QString &) { return info; }
QStringList windowChanger::setMac(const QStringList &) { return {}; }
bool windowChanger::setAddress(const QStringList &) { return true; }
bool windowChanger::setDns(const QStringList &) { return true; }
bool windowChanger::setDhcpAddress(const QString &) { return true; }
bool windowChanger::setDhcpDns(const QString &) { return true; }
bool windowChanger::restartCard(const QString &) { return true; }
bool windowChanger::runCommand(const QString &) { return true; }
