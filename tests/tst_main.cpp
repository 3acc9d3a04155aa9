// The program as started: the built vantorel, run offscreen with the probe loaded and an empty systemroot, so that
// nothing can be changed.
#include <QtTest>

class tst_main : public QObject
{
    Q_OBJECT

private slots:
    void run();
};

// Drawn in Plastique whatever style the command line and the environment ask for, scaled as the window's tests scale
// it; closing the window ends the program with 0.
void tst_main::run()
{
    QTemporaryDir systemroot;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", qEnvironmentVariable("VANTOREL_PROBE"));   // ahead of a sanitizer's runtime, if any
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    environment.insert("systemroot", systemroot.path());
    environment.insert("QT_STYLE_OVERRIDE", "windows");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(qEnvironmentVariable("VANTOREL_BUILD_DIR") + "/vantorel", {"-style", "fusion"});
    QVERIFY2(program.waitForFinished(10000), "still running");
    const QString output = program.readAllStandardError();
    QVERIFY2(output.contains(QString("probe: shown davErirido \"Vantorel\", style QPlastiqueStyle, scaling PassThrough, systemroot %1\n"
                                     "probe: closing\n").arg(systemroot.path())),
             qPrintable(output));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_main)
#include "tst_main.moc"
