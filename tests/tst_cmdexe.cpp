// The command interpreter stand-in: how it splits a command, which program it
// finds, and that it runs that program with nothing else in between.
#include "cmdline.h"
#include "netns.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_cmdexe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void split_data();
    void split();
    void run_data();
    void run();

private:
    QTemporaryDir m_scratch;
};

void tst_cmdexe::initTestCase()
{
    QVERIFY(m_scratch.isValid() && QDir(m_scratch.path()).mkpath("bin") && QDir(m_scratch.path()).mkpath("work"));
    // "record" writes its arguments, one a line, then ends with $RECORD_EXIT; the
    // "netsh" on PATH must never win over the one beside the interpreter.
    for (const char *name : {"record", "netsh"}) {
        QFile program(m_scratch.filePath(QString("bin/") + name));
        QVERIFY(program.open(QIODevice::WriteOnly) && program.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        program.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$RECORD_FILE\"\nexit \"$RECORD_EXIT\"\n");
    }
    qputenv("PATH", QFile::encodeName(m_scratch.filePath("bin")) + ":" + qgetenv("PATH"));
    qputenv("RECORD_FILE", QFile::encodeName(m_scratch.filePath("record.out")));
    QVERIFY(QDir::setCurrent(m_scratch.filePath("work"))); // where a shell would leave its files
}

// What cmd.exe makes of a command: its rule for a leading quote, then the
// words as CommandLineToArgvW splits them.
void tst_cmdexe::split_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("isProgram"); // whether a leading quoted part names a program
    QTest::addColumn<QStringList>("words");
    QTest::newRow("quotes inside a word") << "netsh set name=\"Local Area Connection\" source=dhcp" << true
                                          << QStringList{"netsh", "set", "name=Local Area Connection", "source=dhcp"};
    QTest::newRow("escaped quote") << "p \"ab\\\"c\" \"\\\\\" d" << true << QStringList{"p", "ab\"c", "\\", "d"};
    QTest::newRow("backslashes before no quote") << "p a\\\\\\b d\"e f\"g" << true << QStringList{"p", "a\\\\\\b", "de fg"};
    QTest::newRow("even backslashes and quote") << "p a\\\\\\\\\"b c\" d" << true << QStringList{"p", "a\\\\b c", "d"};
    QTest::newRow("doubled quote inside quotes") << "p \"a\"\"b c\" d" << true << QStringList{"p", "a\"b c", "d"};
    QTest::newRow("quoted program kept, its quote ends the word") << "\"my prog\"x y" << true << QStringList{"my prog", "x", "y"};
    QTest::newRow("quoted text not a program") << "\"my prog\" a" << false << QStringList{"my", "prog", "a"};
    QTest::newRow("more than two quotes") << "\"my prog\" \"a b\"" << true << QStringList{"my", "prog a", "b"};
}

void tst_cmdexe::split()
{
    QFETCH(QString, line);
    QFETCH(bool, isProgram);
    QFETCH(QStringList, words);
    const auto program = [isProgram](const std::string &) { return isProgram; };
    QStringList got;
    for (const std::string &word : cmdline::splitCommandLine(cmdline::applyQuoteRule(line.toStdString(), false, program)))
        got << QString::fromStdString(word);
    QVERIFY2(got == words, qPrintable("got [" + got.join("|") + "], expected [" + words.join("|") + "]"));
}

void tst_cmdexe::run_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");             // also what "record" exits with
    QTest::addColumn<QStringList>("arguments"); // as "record" received them, none when it did not run
    QTest::addColumn<QString>("error");        // the one line on standard error, empty for none
    const QString name = "x; touch a & touch b | touch c $(touch d) `touch e` > f";
    const QStringList none;
    QTest::newRow("name with shell characters") << "record set name=\"" + name + "\" source=dhcp" << 0
                                                << QStringList{"set", "name=" + name, "source=dhcp"} << "";
    QTest::newRow("shell characters outside quotes") << "record ;touch${IFS}g && touch h || %PATH% $HOME" << 42
                                                     << QStringList{";touch${IFS}g", "&&", "touch", "h", "||", "%PATH%", "$HOME"} << "";
    // The interpreter's outer quotes go, those of the program and argument stay.
    QTest::newRow("quoted command") << "\"\"record.exe\" a \"b c\"\"" << 1 << QStringList{"a", "b c"} << "";
    QTest::newRow("missing program") << "nosuchprogram a b" << 1 << none << "'nosuchprogram' is not recognized";
    QTest::newRow("netsh beside the interpreter first") << "netsh interface ip set nothing" << 1 << none << "not found";
}

void tst_cmdexe::run()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFile record(qEnvironmentVariable("RECORD_FILE"));
    record.remove();
    qputenv("RECORD_EXIT", QByteArray::number(code));
    QString output;
    QCOMPARE(testnet::run(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe", {"/c", command}, &output), code);
    QVERIFY2(error.isEmpty() ? output.isEmpty() : output.contains(error) && output.count('\n') == 1, qPrintable(output));
    QCOMPARE(record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList(),
             arguments);
    const QStringList made = QDir().entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QVERIFY2(made.isEmpty(), qPrintable("a shell ran part of the command and made: " + made.join(", ")));
}

QTEST_GUILESS_MAIN(tst_cmdexe)
#include "tst_cmdexe.moc"
