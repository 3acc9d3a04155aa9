// The command interpreter stand-in as built: how it splits a command, which
// program it finds, and that it runs that program with nothing else in between.
#include "netns.h"

#include <QtTest>

class tst_cmdexe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();
    void switches();

private:
    QTemporaryDir m_scratch;
};

void tst_cmdexe::initTestCase()
{
    QVERIFY(m_scratch.isValid() && QDir(m_scratch.path()).mkpath("bin") && QDir(m_scratch.path()).mkpath("work"));
    // Each prints its arguments, one a line, and ends with 42. The "netsh" on
    // PATH must never win over the one beside the interpreter.
    for (const char *name : {"record", "my prog", "netsh"}) {
        QFile program(m_scratch.filePath(QString("bin/") + name));
        QVERIFY(program.open(QIODevice::WriteOnly) && program.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        program.write("#!/bin/sh\nprintf '%s\\n' \"$@\"\nexit 42\n");
    }
    qputenv("PATH", QFile::encodeName(m_scratch.filePath("bin")) + ":" + qgetenv("PATH"));
    QVERIFY(QDir::setCurrent(m_scratch.filePath("work"))); // where a shell would leave its files
}

// cmd.exe's rule for a leading quote, then the words as CommandLineToArgvW
// splits them, as the program receives them.
void tst_cmdexe::run_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("output"); // from the scripts: the arguments they received
    const QString missing = "'%1' is not recognized as an internal or external command, operable program or batch file.";
    const QString name = "x; touch a & touch b | touch c $(touch d) `touch e` > f";
    QTest::newRow("quotes inside a word") << "record set name=\"Local Area Connection\" source=dhcp" << 42
                                          << QStringList{"set", "name=Local Area Connection", "source=dhcp"};
    QTest::newRow("escaped quote") << "record \"ab\\\"c\" \"\\\\\" d" << 42 << QStringList{"ab\"c", "\\", "d"};
    QTest::newRow("backslashes before no quote") << "record a\\\\\\b d\"e f\"g" << 42 << QStringList{"a\\\\\\b", "de fg"};
    QTest::newRow("doubled quote inside quotes") << "record \"a\"\"b c\" d" << 42 << QStringList{"a\"b c", "d"};
    QTest::newRow("quoted program kept, its quote ends the word") << "\"my prog\"x y" << 42 << QStringList{"x", "y"};
    // The interpreter's outer quotes go; those of the program and argument stay.
    QTest::newRow("quoted command") << "\"\"record.exe\" a \"b c\"\"" << 42 << QStringList{"a", "b c"};
    QTest::newRow("quoted text naming no program") << "\"no prog\" a" << 1 << QStringList{missing.arg("no")};
    QTest::newRow("shell characters") << "record name=\"" + name + "\" ;touch${IFS}g && touch h || %PATH% $HOME" << 42
                                      << QStringList{"name=" + name, ";touch${IFS}g", "&&", "touch", "h", "||", "%PATH%", "$HOME"};
    QTest::newRow("netsh beside the interpreter first") << "netsh interface ip set nothing" << 1
                                                        << QStringList{"The following command was not found: interface ip set nothing."};
}

void tst_cmdexe::run()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QStringList, output);
    QString printed;
    QCOMPARE(testnet::run(testnet::tool("cmd.exe"), {"/c", command}, &printed), code);
    QCOMPARE(printed.split('\n', Qt::SkipEmptyParts), output);
    const QStringList made = QDir().entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QVERIFY2(made.isEmpty(), qPrintable("a shell ran part of the command and made: " + made.join(", ")));
}

// The interpreter's own switches before /C: with /S a command's outer quotes go
// whatever they hold (here a program's name); /Q and /D change nothing here.
void tst_cmdexe::switches()
{
    const struct { QStringList arguments; int code; QString output; } rows[] = {
        {{"/Q", "/D", "/C", "\"my prog\""}, 42, "\n"},   // printf of no arguments
        {{"/S", "/c", "\"my prog\""}, 1, "'my' is not recognized as an internal or external command, operable program or batch file.\n"},
        {{"/X", "/c", "record"}, 1, "Invalid switch - \"/X\". Usage: cmd.exe [/S] [/Q] [/D] /C command\n"},
    };
    for (const auto &row : rows) {
        QString printed;
        QCOMPARE(testnet::run(testnet::tool("cmd.exe"), row.arguments, &printed), row.code);
        QCOMPARE(printed, row.output);
    }
}

QTEST_GUILESS_MAIN(tst_cmdexe)
#include "tst_cmdexe.moc"
