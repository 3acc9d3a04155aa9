// The command interpreter stand-in: how it splits a command, which program it
// finds, and that it runs that program with nothing else in between.
#include "cmdline.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList toQt(const std::vector<std::string> &words)
{
    QStringList list;
    for (const std::string &word : words)
        list << QString::fromStdString(word);
    return list;
}

std::vector<std::string> toStd(const QStringList &list)
{
    std::vector<std::string> words;
    for (const QString &word : list)
        words.push_back(word.toStdString());
    return words;
}

bool writeProgram(const QString &path, const QByteArray &script)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(script);
    file.close();
    return file.setPermissions(file.permissions() | QFile::ExeOwner);
}

} // namespace

class tst_cmdexe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void split_data();
    void split();
    void quoteRule_data();
    void quoteRule();
    void invocation_data();
    void invocation();
    void findProgram_data();
    void findProgram();
    void runsProgramLiterally_data();
    void runsProgramLiterally();
    void exitCode_data();
    void exitCode();
    void missingProgram();
    void ownFolderFirst();

private:
    // Runs the built interpreter with /c and `command` in the scratch folder.
    int runCmd(const QString &command, QString *errorOutput = nullptr,
               const QStringList &extraEnvironment = QStringList());
    QStringList recorded() const;

    QTemporaryDir m_scratch;
    QString m_cmd;
    QString m_binDir;       // on PATH, holds the recording program
    QString m_record;       // where the recording program writes its arguments
};

void tst_cmdexe::initTestCase()
{
    QVERIFY(m_scratch.isValid());
    m_cmd = qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/system32/cmd.exe";
    QVERIFY2(QFile::exists(m_cmd), qPrintable("no interpreter at " + m_cmd + " (set VANTOREL_BUILD_DIR)"));
    m_binDir = m_scratch.filePath("bin");
    m_record = m_scratch.filePath("record.out");
    QVERIFY(QDir().mkpath(m_binDir));
    QVERIFY(QDir().mkpath(m_scratch.filePath("work")));
    // Writes each argument followed by a NUL, then ends with $RECORD_EXIT.
    QVERIFY(writeProgram(m_binDir + "/record",
                         "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$RECORD_FILE\"\nexit \"${RECORD_EXIT:-0}\"\n"));
}

void tst_cmdexe::split_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("words");

    QTest::newRow("plain words") << "netsh interface ip" << QStringList{"netsh", "interface", "ip"};
    QTest::newRow("blanks and tabs") << "  a \t b   c  " << QStringList{"a", "b", "c"};
    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("only blanks") << " \t " << QStringList();
    QTest::newRow("quotes inside a word")
        << "netsh interface ip set address name=\"Local Area Connection\" source=dhcp"
        << QStringList{"netsh", "interface", "ip", "set", "address", "name=Local Area Connection", "source=dhcp"};
    QTest::newRow("quoted word") << "p \"a b c\" d e" << QStringList{"p", "a b c", "d", "e"};
    QTest::newRow("escaped quote") << "p \"ab\\\"c\" \"\\\\\" d" << QStringList{"p", "ab\"c", "\\", "d"};
    QTest::newRow("backslashes before no quote") << "p a\\\\\\b d\"e f\"g h"
                                                 << QStringList{"p", "a\\\\\\b", "de fg", "h"};
    QTest::newRow("odd backslashes and quote") << "p a\\\\\\\"b c d" << QStringList{"p", "a\\\"b", "c", "d"};
    QTest::newRow("even backslashes and quote") << "p a\\\\\\\\\"b c\" d e"
                                                << QStringList{"p", "a\\\\b c", "d", "e"};
    QTest::newRow("doubled quote inside quotes") << "p \"a\"\"b c\" d" << QStringList{"p", "a\"b c", "d"};
    QTest::newRow("empty quoted word") << "p \"\" x" << QStringList{"p", "", "x"};
    QTest::newRow("unclosed quote runs to the end") << "p \"a  b" << QStringList{"p", "a  b"};
    QTest::newRow("shell characters are plain")
        << "p ;$(id) `id` & | > < ^ %PATH% 'q'" << QStringList{"p", ";$(id)", "`id`", "&", "|", ">", "<", "^", "%PATH%", "'q'"};
    QTest::newRow("quoted program keeps backslashes") << "\"C:\\dir x\\p.exe\" a"
                                                     << QStringList{"C:\\dir x\\p.exe", "a"};
    QTest::newRow("program backslash quote is literal") << "p\\\" a" << QStringList{"p\\\"", "a"};
    QTest::newRow("program quote ends the word") << "\"p\"x y" << QStringList{"p", "x", "y"};
}

void tst_cmdexe::split()
{
    QFETCH(QString, line);
    QFETCH(QStringList, words);
    const QStringList got = toQt(cmdline::splitCommandLine(line.toStdString()));
    QVERIFY2(got == words, qPrintable("got [" + got.join("|") + "], expected [" + words.join("|") + "]"));
}

void tst_cmdexe::quoteRule_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("stripSwitch");
    QTest::addColumn<bool>("isProgram");
    QTest::addColumn<QString>("result");

    QTest::newRow("no leading quote") << "netsh a name=\"x y\" b" << false << true << "netsh a name=\"x y\" b";
    QTest::newRow("quoted program without blank") << "\"netsh\" a" << false << true << "netsh a";
    QTest::newRow("quoted program with blank kept") << "\"my prog\" a" << false << true << "\"my prog\" a";
    QTest::newRow("not a program") << "\"my prog\" a" << false << false << "my prog a";
    QTest::newRow("special character between") << "\"my&prog\" x" << false << true << "my&prog x";
    QTest::newRow("more than two quotes") << "\"my prog\" \"a b\"" << false << true << "my prog\" \"a b";
    QTest::newRow("text after the last quote stays") << "\"netsh x\" y\" z" << false << true << "netsh x\" y z";
    QTest::newRow("/S always strips") << "\"my prog\" a" << true << true << "my prog a";
    QTest::newRow("one quote") << "\"netsh a" << false << true << "netsh a";
    QTest::newRow("leading blanks") << "  \"netsh\" a" << false << true << "netsh a";
}

void tst_cmdexe::quoteRule()
{
    QFETCH(QString, command);
    QFETCH(bool, stripSwitch);
    QFETCH(bool, isProgram);
    QFETCH(QString, result);
    const auto program = [isProgram](const std::string &) { return isProgram; };
    QCOMPARE(QString::fromStdString(cmdline::applyQuoteRule(command.toStdString(), stripSwitch, program)), result);
}

void tst_cmdexe::invocation_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("strip");
    QTest::addColumn<QString>("command");

    QTest::newRow("one argument") << QStringList{"/c", "netsh a \"b c\""} << true << false << "netsh a \"b c\"";
    QTest::newRow("upper case") << QStringList{"/C", "x"} << true << false << "x";
    QTest::newRow("several arguments joined") << QStringList{"/c", "netsh", "a", "b c"} << true << false << "netsh a b c";
    QTest::newRow("switches before /c") << QStringList{"/s", "/Q", "/d", "/c", "x"} << true << true << "x";
    QTest::newRow("empty command") << QStringList{"/c"} << true << false << "";
    QTest::newRow("no /c") << QStringList{"netsh"} << false << false << "";
    QTest::newRow("nothing") << QStringList() << false << false << "";
    QTest::newRow("/k is not offered") << QStringList{"/k", "x"} << false << false << "";
}

void tst_cmdexe::invocation()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(bool, strip);
    QFETCH(QString, command);
    cmdline::Invocation invocation;
    std::string error;
    QCOMPARE(cmdline::parseInvocation(toStd(arguments), &invocation, &error), valid);
    if (!valid) {
        QVERIFY2(!error.empty(), "a refused invocation says why");
        return;
    }
    QCOMPARE(invocation.stripQuotes, strip);
    QCOMPARE(QString::fromStdString(invocation.command), command);
}

void tst_cmdexe::findProgram_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("found");   // relative to the scratch folder, empty for none

    QTest::newRow("own folder") << "netsh" << "own/netsh";
    QTest::newRow("own folder before PATH") << "both" << "own/both";
    QTest::newRow(".exe dropped") << "netsh.exe" << "own/netsh";
    QTest::newRow(".EXE dropped") << "netsh.EXE" << "own/netsh";
    QTest::newRow(".exe added") << "tool" << "path2/tool.exe";
    QTest::newRow("later PATH folder") << "late" << "path2/late";
    QTest::newRow("not executable") << "plain" << "";
    QTest::newRow("folder is no program") << "sub" << "";
    QTest::newRow("current folder is not searched") << "here" << "";
    QTest::newRow("missing") << "nosuch" << "";
    QTest::newRow("path as given") << "%1/path2/late" << "path2/late";
}

void tst_cmdexe::findProgram()
{
    QFETCH(QString, word);
    QFETCH(QString, found);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *sub : {"own", "path1", "path2", "path1/sub", "cwd"})
        QVERIFY(QDir(dir.path()).mkpath(sub));
    for (const char *program : {"own/netsh", "own/both", "path1/both", "path2/tool.exe", "path2/late", "cwd/here"})
        QVERIFY(writeProgram(dir.filePath(program), "#!/bin/sh\n"));
    QFile plain(dir.filePath("path1/plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    const QString oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.filePath("cwd")));
    // Empty entries stand for the current folder in a shell's PATH.
    const QString path = ":" + dir.filePath("path1") + "::" + dir.filePath("path2") + ":";
    if (word.contains("%1"))
        word = word.arg(dir.path());
    const QString got = QString::fromStdString(
        cmdline::findProgram(word.toStdString(), dir.filePath("own").toStdString(), path.toStdString()));
    QDir::setCurrent(oldCwd);
    QCOMPARE(got, found.isEmpty() ? QString() : dir.filePath(found));
}

int tst_cmdexe::runCmd(const QString &command, QString *errorOutput, const QStringList &extraEnvironment)
{
    QFile::remove(m_record);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", m_binDir + ":" + environment.value("PATH"));
    environment.insert("RECORD_FILE", m_record);
    for (const QString &entry : extraEnvironment)
        environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_scratch.filePath("work"));
    process.start(m_cmd, {"/c", command});
    if (!process.waitForFinished(10000)) {
        process.kill();
        return -1;
    }
    if (errorOutput)
        *errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QStringList tst_cmdexe::recorded() const
{
    QFile file(m_record);
    if (!file.open(QIODevice::ReadOnly))
        return {"<nothing recorded>"};
    QList<QByteArray> parts = file.readAll().split('\0');
    parts.removeLast();   // after the last NUL
    QStringList words;
    for (const QByteArray &part : parts)
        words << QString::fromUtf8(part);
    return words;
}

void tst_cmdexe::runsProgramLiterally_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("arguments");

    const QString name = "x; touch a & touch b | touch c $(touch d) `touch e` > f";
    QTest::newRow("connection name with shell characters")
        << "record interface ip set address name=\"" + name + "\" source=dhcp"
        << QStringList{"interface", "ip", "set", "address", "name=" + name, "source=dhcp"};
    QTest::newRow("shell characters outside quotes")
        << "record ;touch${IFS}g && touch h || touch i" << QStringList{";touch${IFS}g", "&&", "touch", "h", "||", "touch", "i"};
    // The interpreter's outer quotes go, those of the program and argument stay.
    QTest::newRow("quoted command") << "\"\"record.exe\" a \"b c\"\"" << QStringList{"a", "b c"};
    QTest::newRow("variables are not expanded") << "record %PATH% $HOME" << QStringList{"%PATH%", "$HOME"};
}

void tst_cmdexe::runsProgramLiterally()
{
    QFETCH(QString, command);
    QFETCH(QStringList, arguments);
    QString errors;
    QCOMPARE(runCmd(command, &errors), 0);
    QVERIFY2(errors.isEmpty(), qPrintable(errors));
    QCOMPARE(recorded(), arguments);
    const QStringList made = QDir(m_scratch.filePath("work")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    QVERIFY2(made.isEmpty(), qPrintable("a shell ran part of the command and made: " + made.join(", ")));
}

void tst_cmdexe::exitCode_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("success") << 0;
    QTest::newRow("netsh failure") << 1;
    QTest::newRow("other") << 42;
}

void tst_cmdexe::exitCode()
{
    QFETCH(int, code);
    QCOMPARE(runCmd("record x", nullptr, {"RECORD_EXIT=" + QString::number(code)}), code);
    QCOMPARE(recorded(), QStringList{"x"});
}

void tst_cmdexe::missingProgram()
{
    QString errors;
    QCOMPARE(runCmd("nosuchprogram a b", &errors), 1);
    QVERIFY2(errors.contains("'nosuchprogram' is not recognized"), qPrintable(errors));
    QCOMPARE(errors.count('\n'), 1);
}

void tst_cmdexe::ownFolderFirst()
{
    // A netsh on PATH must not win over the one beside the interpreter.
    QVERIFY(writeProgram(m_binDir + "/netsh", "#!/bin/sh\necho impostor > \"$RECORD_FILE\"\n"));
    QString errors;
    const int code = runCmd("netsh interface ip set nothing", &errors);
    QFile::remove(m_binDir + "/netsh");
    QVERIFY2(!QFile::exists(m_record), "the netsh on PATH ran instead of the one in system32");
    QCOMPARE(code, 1);
    QVERIFY2(errors.contains("not found"), qPrintable(errors));
}

QTEST_GUILESS_MAIN(tst_cmdexe)
#include "tst_cmdexe.moc"
