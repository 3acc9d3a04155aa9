#pragma once

#include <QString>
#include <QtGlobal>

// What the system knows about one network adapter: the first entry of each of
// its address lists, its DHCP and WINS state. Filled by windowChanger::getAddress.
struct adapterRecord
{
    QString adapterName;          // the key: IP Helper's adapter name, QNetworkInterface::name()
    QString description;
    QString macAddress;           // byte pairs joined by "-"
    qint32 index = 0;
    qint16 type = 0;              // 6 (Ethernet) in a filled record
    qint16 dhcpEnabled = 0;       // 1 when the address comes from DHCP
    QString ipAddress;
    QString ipMask;
    QString gateway;
    QString dhcpServer;
    QString dnsServer;
    bool haveWins = false;
    QString primaryWinsServer;
    QString secondaryWinsServer;
    qint32 status = 0;            // 1: last found adapter fully read; -1: a platform call failed
};
