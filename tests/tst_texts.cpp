// What the Linux stand-ins read from texts: the resolver's files and answers,
// the PCI ID database, the class key; recorded samples and damaged ones. And
// how netsh writes a name into its one-line messages.
#include "iphlpapi_text.h"
#include "records/classkey.h"
#include "text.h"

#include <QtTest>

#include <sstream>

namespace {

QString joined(const std::vector<std::string> &items)
{
    QStringList list;
    for (const std::string &item : items)
        list << QString::fromStdString(item);
    return list.join(' ');
}

// Vendors, their devices after a tab, subsystems after two, and a class list after them.
const char pciIds[] = "# pci.ids sample\n1000  Broadcom / LSI\n\t0001  53c810\n8086  Intel Corporation\n"
                      "\t100e  82540EM Gigabit Ethernet Controller\n\t\t8086 001e  PRO/1000 MT Desktop Adapter\n"
                      "\t10d3  82574L Gigabit Network Connection\nabcd  V\n\t0001  D\nC 02  Network controller\n"
                      "\t00  Ethernet controller\n";

} // namespace

class tst_texts : public QObject
{
    Q_OBJECT
private slots:
    void resolver_data()
    {
        QTest::addColumn<QString>("source");   // "resolv.conf", "resolvectl <ifname>" or "words"
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("servers");
        QTest::newRow("resolv.conf") << "resolv.conf"
            << "# nameserver 192.0.2.9\nnameserver 192.0.2.1\n nameserver 192.0.2.8\nnameserver ::1\n"
               "nameservers 192.0.2.7\nnameserver 192.0.2.2 # second\nsearch example.org\n" << "192.0.2.1 192.0.2.2";
        const QString status = "Global: 192.0.2.53 192.0.2.54#dns.example\nLink 2 (eth0): 192.0.2.1#dns.example "
                               "192.0.2.2:53 fe80::1\nLink 3 (eth10): 198.51.100.1\nLink 4 (eth2): fe80::2\n";
        QTest::newRow("resolvectl, the link's own") << "resolvectl eth0" << status << "192.0.2.1 192.0.2.2";
        QTest::newRow("resolvectl, another's name as a prefix") << "resolvectl eth1" << status << "192.0.2.53 192.0.2.54";
        QTest::newRow("resolvectl, only IPv6 of its own") << "resolvectl eth2" << status << "192.0.2.53 192.0.2.54";
        QTest::newRow("resolvectl, no blank after the colon") << "resolvectl eth5" << "Link 5 (eth5):192.0.2.9\n" << "192.0.2.9";
        QTest::newRow("words") << "words" << "192.0.2.1 bogus 300.1.1.1 192.0.2.2 10.0.0" << "192.0.2.1 192.0.2.2";
    }

    void resolver()
    {
        QFETCH(QString, source);
        QFETCH(QString, text);
        QFETCH(QString, servers);
        const std::string t = text.toStdString();
        const std::vector<std::string> found = source == "resolv.conf" ? iphlpapitext::resolvConfServers(t)
            : source == "words" ? iphlpapitext::ipv4Words(t)
                                : iphlpapitext::resolvectlServers(t, source.section(' ', 1).toStdString());
        QCOMPARE(joined(found), servers);
    }

    void pciModel_data()
    {
        QTest::addColumn<uint>("vendor");
        QTest::addColumn<uint>("device");
        QTest::addColumn<QString>("name");
        QTest::newRow("first of a vendor") << 0x8086u << 0x100eu << "82540EM Gigabit Ethernet Controller";
        QTest::newRow("after a subsystem") << 0x8086u << 0x10d3u << "82574L Gigabit Network Connection";
        QTest::newRow("first vendor") << 0x1000u << 0x0001u << "53c810";
        QTest::newRow("shortest lines") << 0xabcdu << 0x0001u << "D";
        QTest::newRow("another vendor's device") << 0xabcdu << 0x100eu << "";
        QTest::newRow("a subsystem is no device") << 0x8086u << 0x001eu << "";
        QTest::newRow("a class is no vendor") << 0xcu << 0x00u << "";
    }

    void pciModel()
    {
        QFETCH(uint, vendor);
        QFETCH(uint, device);
        QFETCH(QString, name);
        std::istringstream in(pciIds);
        QCOMPARE(QString::fromStdString(iphlpapitext::pciModelName(in, vendor, device)), name);
        QCOMPARE(joined(iphlpapitext::distinctDescriptions({"A", "B", "A", "A", "B"})), QString("A B A #2 A #3 B #2"));
    }

    void classKey_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("refusal");    // empty: taken
        const QByteArray numbered = "[General]\nNextInstance=";
        const QString beyond = "line 2 has a NextInstance that is no number from 0 to 10000";
        QTest::newRow("as written") << numbered + "3\n\n[0000]\nNetCfgInstanceId=eth0\n; note\n# note\n" << "";
        QTest::newRow("last number") << numbered + "10000\n" << "";
        QTest::newRow("number beyond") << numbered + "10001\n" << beyond;
        QTest::newRow("negative number") << numbered + "-1\n" << beyond;
        QTest::newRow("no number") << numbered + "x\n" << beyond;
        QTest::newRow("a subkey's own value") << QByteArray("[0001]\nNextInstance=99999\n") << "";
        QTest::newRow("open section") << QByteArray("[0000\n") << "line 1 is no [section]";
        QTest::newRow("two brackets") << QByteArray("[0000]]\n") << "line 1 is no [section]";
        QTest::newRow("short subkey") << QByteArray("\n[000]\n") << "line 2 names a subkey \"000\" that is no four-digit number";
        QTest::newRow("no value") << QByteArray("[0000]\nNetCfgInstanceId\n") << "line 2 is no key=value";
        QTest::newRow("no key") << QByteArray("[0000]\n=eth0\n") << "line 2 is no key=value";
        QTest::newRow("NUL") << QByteArray("[0000]\nNetCfgInstanceId=eth0\0\n", 30) << "holds a NUL byte";
    }

    void classKey()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, refusal);
        QString why;
        QCOMPARE(classkey::checkText(text, &why), refusal.isEmpty());
        QCOMPARE(why, refusal);
    }

    // netsh's messages stay one line whatever a name holds.
    void printable()
    {
        QCOMPARE(QString::fromStdString(netsh::printable("a\nb\x1f\x7f c")), QString("a\\x0ab\\x1f\\x7f c"));
    }
};

QTEST_GUILESS_MAIN(tst_texts)
#include "tst_texts.moc"
