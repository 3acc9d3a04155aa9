#include "fakeplatform.h"
#include "windowchanger.h"

#include <QtTest>

// Stands in for the interpreter: adds a line with its path, its pid and every argument, each ended
// by a NUL so that no character is lost, then does what the test asks of it.
const char recorder[] = R"({ printf '%s\0' "$0" "$$" "$@"; echo; } >> "$VANTOREL_TEST_RECORD"
case "$VANTOREL_TEST_MODE" in hang) exec sleep 600 ;; fail) exit 3 ;; esac)";

const QString connection = QStringLiteral("Local Area Connection");

class tst_commands : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void commandText_data();
    void commandText();
    void dhcpPair();
    void hangingCommandKilled();

private:
    QList<QStringList> runs() const; // per interpreter run: its path, its pid, then its arguments
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
    QList<QByteArray> lines = file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    lines.removeAll(QByteArray()); // what follows the last newline
    for (const QByteArray &line : lines) // the last NUL ends the last argument
        result << QString::fromLocal8Bit(line.constData(), line.size() - 1).split(QChar(0));
    return result;
}

void tst_commands::commandText_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QString>("command");
    const QByteArray setAddress("setAddress(QStringList)"), setDns("setDns(QStringList)");
    QTest::newRow("address, extra elements ignored") << setAddress << QVariant(QStringList{connection, "192.168.1.10", "255.255.255.0", "192.168.1.1", "8.8.8.8", "x"})
        << R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    QTest::newRow("dns, extra elements ignored") << setDns << QVariant(QStringList{connection, "8.8.8.8", "8.8.4.4"})
        << R"(netsh interface ip set dns name="Local Area Connection" source=static addr=8.8.8.8 register=primary)";
    QTest::newRow("dhcp address") << QByteArray("setDhcpAddress(QString)") << QVariant(connection) << R"(netsh interface ip set address name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns, blanks kept") << QByteArray("setDhcpDns(QString)") << QVariant("  LAN  2 ") << R"(netsh interface ip set dns name="  LAN  2 " source=dhcp)";
    QTest::newRow("quotes and shell characters kept") << setDns << QVariant(QStringList{R"(My "office" a;b & $(c) `d` %e%\)", "1.1.1.1"})
        << R"(netsh interface ip set dns name="My "office" a;b & $(c) `d` %e%\" source=static addr=1.1.1.1 register=primary)";
    QTest::newRow("empty elements") << setAddress << QVariant(QStringList{"", "", "", ""}) << R"(netsh interface ip set address name="" source=static addr= mask= gateway= gwmetric=1)";
}

// Through the meta-object system, with a result slot that holds false.
void tst_commands::commandText()
{
    QFETCH(QByteArray, slot);
    QFETCH(QVariant, input);
    QFETCH(QString, command);
    windowChanger worker;
    bool result = false;
    void *argv[] = {&result, input.data()};
    QMetaObject::metacall(&worker, QMetaObject::InvokeMetaMethod, worker.metaObject()->indexOfMethod(slot), argv);
    QVERIFY2(result, "true once the command has run");
    const QString pid = runs().value(0).value(1);
    QCOMPARE(runs(), QList<QStringList>({{root.path() + "/system32/cmd.exe", pid, "/c", command}}));
}

// Two commands, each run by an interpreter of its own, and true whatever becomes of them.
void tst_commands::dhcpPair()
{
    windowChanger worker;
    qunsetenv("systemroot");
    QVERIFY2(worker.setDhcpAddress(connection) && worker.setDhcpDns(connection), "true when the interpreter can't be started");
    qputenv("systemroot", root.path().toLocal8Bit());
    qputenv("VANTOREL_TEST_MODE", "fail");
    QVERIFY2(worker.setDhcpAddress(connection) && worker.setDhcpDns(connection), "true when the command fails");
    QCOMPARE(runs().size(), 2);
}

void tst_commands::hangingCommandKilled()
{
    qputenv("VANTOREL_TEST_MODE", "hang");
    windowChanger worker;
    const QDeadlineTimer minute(59000), longer(75000);   // on the test's clock, twenty times as fast
    QVERIFY(worker.setDns({connection, "8.8.8.8"}));
    QVERIFY2(minute.hasExpired() && !longer.hasExpired(), "the command gets its minute and no more");
    QCOMPARE(runs().size(), 1);
    QFile stat("/proc/" + runs().first().at(1) + "/stat");
    QVERIFY2(!stat.open(QIODevice::ReadOnly) || stat.readAll().split(')').last().startsWith(" Z"),
             "the hanging interpreter is still running");
    // The one process object is free for the next command.
    qunsetenv("VANTOREL_TEST_MODE");
    QVERIFY(worker.setDhcpDns(connection));
    QCOMPARE(runs().size(), 2);
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
