#include "windowchanger.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Stands in for the interpreter: records how it was started (its path, pid and
// every argument, each ended by a NUL, so that no character of an argument is
// lost), then does what the test asks of it.
const char recorder[] = R"(#!/bin/sh
printf '%s\0%s\0%s\0' "$0" "$$" "$#" >> "$VANTOREL_TEST_RECORD"
[ $# -gt 0 ] && printf '%s\0' "$@" >> "$VANTOREL_TEST_RECORD"
case "$VANTOREL_TEST_MODE" in
hang) exec sleep 600 ;;
fail) exit 3 ;;
esac
exit 0
)";

struct Run {
    QString program;
    qint64 pid = 0;
    QStringList args;
};

const QString connection = QStringLiteral("Local Area Connection");

bool perform(windowChanger &worker, const QString &operation, const QStringList &input)
{
    if (operation == "setAddress")
        return worker.setAddress(input);
    if (operation == "setDns")
        return worker.setDns(input);
    if (operation == "setDhcpAddress")
        return worker.setDhcpAddress(input.value(0));
    if (operation == "setDhcpDns")
        return worker.setDhcpDns(input.value(0));
    // "invoke <slot>": through the meta-object system, without a result slot.
    const QByteArray slot = operation.section(' ', 1).toLatin1();
    return QMetaObject::invokeMethod(&worker, slot.constData(), Q_ARG(QString, input.value(0)));
}

bool gone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

class tst_commands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void commandText_data();
    void commandText();
    void shortListRefused_data();
    void shortListRefused();
    void resultTrue_data();
    void resultTrue();
    void dhcpSwitchRunsTwoProcesses();
    void hangingCommandKilled();

private:
    QList<Run> runs() const;

    QTemporaryDir root;
    QString record;
};

void tst_commands::initTestCase()
{
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkdir("system32"));
    QFile cmd(root.filePath("system32/cmd.exe"));
    QVERIFY(cmd.open(QIODevice::WriteOnly));
    cmd.write(recorder);
    cmd.close();
    QVERIFY(cmd.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    record = root.filePath("record");
    qputenv("VANTOREL_TEST_RECORD", record.toLocal8Bit());
}

void tst_commands::init()
{
    QFile::remove(record);
    qputenv("systemroot", root.path().toLocal8Bit());
    qunsetenv("VANTOREL_TEST_MODE");
}

QList<Run> tst_commands::runs() const
{
    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = file.readAll().split('\0');
    QList<Run> result;
    for (int i = 0; i + 2 < fields.size();) {
        Run run;
        run.program = QString::fromLocal8Bit(fields.at(i));
        run.pid = fields.at(i + 1).toLongLong();
        const int count = fields.at(i + 2).toInt();
        i += 3;
        for (int n = 0; n < count && i < fields.size(); ++n, ++i)
            run.args << QString::fromLocal8Bit(fields.at(i));
        result << run;
    }
    return result;
}

void tst_commands::commandText_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QString>("command");

    const QStringList address{connection, "192.168.1.10", "255.255.255.0", "192.168.1.1"};
    QTest::newRow("address") << "setAddress" << address
        << R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    QTest::newRow("dns") << "setDns" << QStringList{connection, "8.8.8.8"}
        << R"(netsh interface ip set dns name="Local Area Connection" source=static addr=8.8.8.8 register=primary)";
    QTest::newRow("dhcp address") << "setDhcpAddress" << QStringList{connection}
        << R"(netsh interface ip set address name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns") << "setDhcpDns" << QStringList{connection}
        << R"(netsh interface ip set dns name="Local Area Connection" source=dhcp)";
    QTest::newRow("dhcp dns, invoked") << "invoke setDhcpDns" << QStringList{connection}
        << R"(netsh interface ip set dns name="Local Area Connection" source=dhcp)";

    QTest::newRow("blanks kept") << "setDhcpAddress" << QStringList{"  LAN  2 "}
        << R"(netsh interface ip set address name="  LAN  2 " source=dhcp)";
    QTest::newRow("double quotes kept") << "setDns" << QStringList{R"(My "office" LAN)", "1.1.1.1"}
        << R"(netsh interface ip set dns name="My "office" LAN" source=static addr=1.1.1.1 register=primary)";
    QTest::newRow("shell characters kept") << "setDhcpDns" << QStringList{"a;b & $(c) `d` %e%\\"}
        << R"(netsh interface ip set dns name="a;b & $(c) `d` %e%\" source=dhcp)";
    QTest::newRow("empty elements") << "setAddress" << QStringList{"", "", "", ""}
        << R"(netsh interface ip set address name="" source=static addr= mask= gateway= gwmetric=1)";
    QTest::newRow("address, extra elements") << "setAddress" << (address + QStringList{"8.8.8.8", "x"})
        << R"(netsh interface ip set address name="Local Area Connection" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1)";
    QTest::newRow("dns, extra elements") << "setDns" << QStringList{connection, "8.8.8.8", "8.8.4.4"}
        << R"(netsh interface ip set dns name="Local Area Connection" source=static addr=8.8.8.8 register=primary)";
}

void tst_commands::commandText()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, input);
    QFETCH(QString, command);
    windowChanger worker;
    QVERIFY(perform(worker, operation, input));

    const QList<Run> started = runs();
    QCOMPARE(started.size(), 1);
    QCOMPARE(started.first().program, root.path() + "/system32/cmd.exe");
    QCOMPARE(started.first().args, QStringList({"/c", command}));
}

void tst_commands::shortListRefused_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("input");
    QTest::newRow("address, three elements") << "setAddress" << QStringList{connection, "10.0.0.2", "255.0.0.0"};
    QTest::newRow("address, empty") << "setAddress" << QStringList();
    QTest::newRow("dns, one element") << "setDns" << QStringList{connection};
    QTest::newRow("dns, empty") << "setDns" << QStringList();
}

void tst_commands::shortListRefused()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, input);
    windowChanger worker;
    QVERIFY2(!perform(worker, operation, input), "a short list reports that nothing ran");
    QVERIFY2(runs().isEmpty(), "nothing is started for a short list");
}

void tst_commands::resultTrue_data()
{
    QTest::addColumn<QByteArray>("systemRoot"); // "-": unset
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("started");
    QTest::newRow("no interpreter there") << QByteArray("/nonexistent") << QByteArray() << 0;
    QTest::newRow("systemroot unset") << QByteArray("-") << QByteArray() << 0;
    QTest::newRow("command fails") << QByteArray() << QByteArray("fail") << 1;
}

void tst_commands::resultTrue()
{
    QFETCH(QByteArray, systemRoot);
    QFETCH(QByteArray, mode);
    QFETCH(int, started);
    if (systemRoot == "-")
        qunsetenv("systemroot");
    else if (!systemRoot.isEmpty())
        qputenv("systemroot", systemRoot);
    qputenv("VANTOREL_TEST_MODE", mode);
    windowChanger worker;
    QVERIFY(worker.setAddress({connection, "192.168.1.10", "255.255.255.0", "192.168.1.1"}));
    QCOMPARE(runs().size(), started);
}

void tst_commands::dhcpSwitchRunsTwoProcesses()
{
    windowChanger worker;
    QVERIFY(worker.setDhcpAddress(connection));
    QVERIFY(worker.setDhcpDns(connection));
    const QList<Run> started = runs();
    QCOMPARE(started.size(), 2);
    QVERIFY2(started.at(0).pid != started.at(1).pid, "each command has an interpreter of its own");
    QVERIFY(started.at(0).args.value(1).contains("set address"));
    QVERIFY(started.at(1).args.value(1).contains("set dns"));
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
    QVERIFY2(gone(runs().first().pid), "the hanging interpreter is killed");

    // The one process object is free for the next command.
    qunsetenv("VANTOREL_TEST_MODE");
    QVERIFY(worker.setDhcpDns(connection));
    QCOMPARE(runs().size(), 2);
}

QTEST_GUILESS_MAIN(tst_commands)
#include "tst_commands.moc"
