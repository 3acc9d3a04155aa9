#include "fakeplatform.h"
#include "windowchanger.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Stands in for the interpreter: adds a line with its path, its pid and every
// argument, each ended by a NUL so that no character is lost, then does what
// the test asks of it.
const char recorder[] = R"(printf '%s\0' "$0" "$$" "$@" >> "$VANTOREL_TEST_RECORD"
echo >> "$VANTOREL_TEST_RECORD"
case "$VANTOREL_TEST_MODE" in
hang) exec sleep 600 ;;
fail) exit 3 ;;
esac
)";

const QString connection = QStringLiteral("Local Area Connection");
const QStringList example{connection, "192.168.1.10", "255.255.255.0", "192.168.1.1"};

// Gone, or a zombie waiting to be reaped.
bool gone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().split(')').last().startsWith(" Z");
}

} // namespace

class tst_commands : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void commandText_data();
    void commandText();
    void resultTrue();
    void dhcpSwitchRunsTwoProcesses();
    void hangingCommandKilled();

private:
    // One entry per interpreter run: its path, its pid, then its arguments.
    QList<QStringList> runs() const;

    QTemporaryDir root;
};

void tst_commands::init()
{
    QVERIFY(fake::installCmdExe(root.path(), recorder));
    QFile::remove(root.filePath("record"));
    qputenv("VANTOREL_TEST_RECORD", root.filePath("record").toLocal8Bit());
    qputenv("systemroot", root.path().toLocal8Bit());
    qunsetenv("VANTOREL_TEST_MODE");
}

QList<QStringList> tst_commands::runs() const
{
    QFile file(root.filePath("record"));
    QList<QStringList> result;
    const QList<QByteArray> lines = file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        QStringList run = QString::fromLocal8Bit(line.constData(), line.size()).split(QChar(0));
        run.removeLast(); // what follows the last NUL
        if (!run.isEmpty())
            result << run;
    }
    return result;
}

void tst_commands::commandText_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QString>("command"); // empty: the list is refused and nothing runs

    const QString address = R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    const QString dns = R"(netsh interface ip set dns name="Local Area Connection" source=static addr=8.8.8.8 register=primary)";
    const QByteArray setAddress("setAddress(QStringList)"), setDns("setDns(QStringList)");
    QTest::newRow("address") << setAddress << QVariant(example) << address;
    QTest::newRow("dns") << setDns << QVariant(QStringList{connection, "8.8.8.8"}) << dns;
    QTest::newRow("dhcp address") << QByteArray("setDhcpAddress(QString)") << QVariant(connection) << R"(netsh interface ip set address name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns") << QByteArray("setDhcpDns(QString)") << QVariant(connection) << R"(netsh interface ip set dns name="Local Area Connection" source=dhcp)";
    QTest::newRow("blanks kept") << QByteArray("setDhcpDns(QString)") << QVariant("  LAN  2 ") << R"(netsh interface ip set dns name="  LAN  2 " source=dhcp)";
    QTest::newRow("quotes and shell characters kept") << setDns << QVariant(QStringList{R"(My "office" a;b & $(c) `d` %e%\)", "1.1.1.1"})
        << R"(netsh interface ip set dns name="My "office" a;b & $(c) `d` %e%\" source=static addr=1.1.1.1 register=primary)";
    QTest::newRow("empty elements") << setAddress << QVariant(QStringList{"", "", "", ""}) << R"(netsh interface ip set address name="" source=static addr= mask= gateway= gwmetric=1)";
    QTest::newRow("address, extra elements") << setAddress << QVariant(example + QStringList{"8.8.8.8", "x"}) << address;
    QTest::newRow("dns, extra elements") << setDns << QVariant(QStringList{connection, "8.8.8.8", "8.8.4.4"}) << dns;
    QTest::newRow("address, three elements") << setAddress << QVariant(example.mid(0, 3)) << QString();
    QTest::newRow("dns, one element") << setDns << QVariant(QStringList{connection}) << QString();
}

// Through the meta-object system, with a result slot that holds the opposite of what is expected.
void tst_commands::commandText()
{
    QFETCH(QByteArray, slot);
    QFETCH(QVariant, input);
    QFETCH(QString, command);
    windowChanger worker;
    bool result = command.isEmpty();
    void *argv[] = {&result, input.data()};
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->indexOfMethod(slot), argv);
    QVERIFY2(result == !command.isEmpty(), "true once run; false for a refused list");

    const QList<QStringList> started = runs();
    QCOMPARE(started.size(), command.isEmpty() ? 0 : 1);
    if (!command.isEmpty()) {
        QCOMPARE(started.first().first(), root.path() + "/system32/cmd.exe");
        QCOMPARE(started.first().mid(2), QStringList({"/c", command}));
    }
}

void tst_commands::resultTrue()
{
    windowChanger worker;
    qunsetenv("systemroot");
    QVERIFY2(worker.setAddress(example), "true when the interpreter can't be started");
    QVERIFY(runs().isEmpty());
    qputenv("systemroot", root.path().toLocal8Bit());
    qputenv("VANTOREL_TEST_MODE", "fail");
    QVERIFY2(worker.setAddress(example), "true when the command fails");
    QCOMPARE(runs().size(), 1);
}

void tst_commands::dhcpSwitchRunsTwoProcesses()
{
    windowChanger worker;
    QVERIFY(worker.setDhcpAddress(connection) && worker.setDhcpDns(connection));
    const QList<QStringList> started = runs();
    QCOMPARE(started.size(), 2);
    QVERIFY2(started.at(0).at(1) != started.at(1).at(1), "each command has an interpreter of its own");
    QVERIFY(started.at(0).last().contains(" set address ") && started.at(1).last().contains(" set dns "));
}

void tst_commands::hangingCommandKilled()
{
    qputenv("VANTOREL_TEST_MODE", "hang");
    windowChanger worker;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(worker.setDns({connection, "8.8.8.8"}));
    QVERIFY2(timer.elapsed() >= 59000, "the command gets its full minute");
    QCOMPARE(runs().size(), 1);
    QVERIFY2(gone(runs().first().at(1).toLongLong()), "the hanging interpreter is killed");

    // The one process object is free for the next command.
    qunsetenv("VANTOREL_TEST_MODE");
    QVERIFY(worker.setDhcpDns(connection));
    QCOMPARE(runs().size(), 2);
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
