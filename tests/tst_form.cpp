// The main window's form on a plain QMainWindow, as setupUi leaves it.
#include "ui_daverirido.h"

#include <QtTest>

#include <QMainWindow>

class tst_form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tree_data();
    void tree();

private:
    QScopedPointer<QMainWindow> window;
};

// The icon comes through the resource system. One form serves every row: nothing here changes it.
void tst_form::initTestCase()
{
    window.reset(new QMainWindow);
    Ui_Daverirido().setupUi(window.data());
    QCOMPARE(window->windowTitle(), QStringLiteral("Vantorel"));
    QVERIFY2(window->windowIcon().availableSizes().contains(QSize(48, 48)), "the window icon is not the 48 x 48 one");
}

// Every object the window uses by name: its class and what it shows (its text or title).
void tst_form::tree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    auto row = [](const QString &name, const char *className, const QString &text = {}) {
        QTest::newRow(qPrintable(name)) << name << QString(className) << text;
    };
    row("interfaceChangeableLabel", "QLabel", "Interface:");
    row("leftGroupBox", "QGroupBox", "Manual Change");
    row("rightGroupBox", "QGroupBox", "System Information");
    row("writeToSystemPushButton", "QPushButton", "Manual change");
    row("enableDhcpPushButton", "QPushButton", "Auto distribute");
    row("refreshPushButton", "QPushButton", "Refresh");
    const QStringList fields = {"ip", "netmask", "gateway", "dns1", "adapterName", "adapterDescribe", "addressType"};
    const QStringList captions = {"IP:", "Netmask:", "Gateway:", "Main DNS:", "Adapter Name:", "Adapter describe:", "Address type:"};
    for (int i = 0; i < fields.size(); ++i) {
        row(fields[i] + "Label", "QLabel", captions[i]);
        row(fields[i] + "InfoLabel", "QLabel");
        if (i >= 4)   // the adapter's own three have no field to type into
            continue;
        row(fields[i] + "ChangeableLabel", "QLabel", captions[i]);
        row(fields[i] + "LineEdit", "QLineEdit");
        row(fields[i] + "ValidatorLabel", "QLabel", "Separate by \".\"");
    }
}

// Only the seven information labels let their text be selected and copied, and
// offer no context menu; only the adapter name and description wrap. Fields centre.
void tst_form::tree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);
    const QList<QObject *> found = window->findChildren<QObject *>(name);
    QVERIFY2(found.size() == 1, qPrintable(QStringLiteral("%1 objects named %2").arg(found.size()).arg(name)));
    QCOMPARE(QString(found.first()->metaObject()->className()), className);
    QCOMPARE(found.first()->property(className == "QGroupBox" ? "title" : "text").toString(), text);
    if (auto *label = qobject_cast<QLabel *>(found.first())) {
        const bool info = name.endsWith("InfoLabel");
        QCOMPARE(label->wordWrap(), name == "adapterNameInfoLabel" || name == "adapterDescribeInfoLabel");
        QCOMPARE(label->textInteractionFlags() == Qt::TextInteractionFlags(7), info);
        QCOMPARE(label->contextMenuPolicy() == Qt::NoContextMenu, info);
    }
    if (auto *edit = qobject_cast<QLineEdit *>(found.first()))
        QCOMPARE(edit->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
}

QTEST_MAIN(tst_form)
#include "tst_form.moc"
