// The main window's form on a plain QMainWindow, as setupUi leaves it.
#include "ui_daverirido.h"

#include <QtTest>

#include <QImage>
#include <QMainWindow>

#include <memory>

class tst_form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tree_data();
    void tree();

private:
    std::unique_ptr<QMainWindow> window;
    Ui_Daverirido ui;
};

// The icon must be reachable through the resource system before any window exists.
// One form serves every row: nothing here changes it.
void tst_form::initTestCase()
{
    QVERIFY2(QApplication::topLevelWidgets().isEmpty(), "a window exists before the icon is read");
    QCOMPARE(QImage(QStringLiteral(":/main.png")).size(), QSize(48, 48));
    window.reset(new QMainWindow);
    ui.setupUi(window.get());
    QVERIFY2(window->windowIcon().availableSizes().contains(QSize(48, 48)), "the window icon is not the 48 x 48 one");
}

// Every object by name: its class and, where it has one, what it starts with.
void tst_form::tree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");
    auto row = [](const QString &name, const char *className, const char *property = "", const QString &text = {}) {
        QTest::newRow(qPrintable(name)) << name << QString(className) << QByteArray(property) << text;
    };
    row("Daverirido", "QMainWindow", "windowTitle", "Vantorel");
    for (const char *name : {"centralwidget", "layoutWidget_2", "layoutWidget"}) row(name, "QWidget");
    for (const char *name : {"verticalLayout_2", "verticalLayout"}) row(name, "QVBoxLayout");
    for (const char *name : {"horizontalLayout_2", "horizontalLayout", "leftBottomLayout"}) row(name, "QHBoxLayout");
    for (const char *name : {"gridLayout_2", "gridLayout"}) row(name, "QGridLayout");
    row("statusbar", "QStatusBar");
    row("interfaceChangeableLabel", "QLabel", "text", "Interface:");
    row("interfaceComboBox", "QComboBox", "count", "0");
    row("leftGroupBox", "QGroupBox", "title", "Manual Change");
    row("rightGroupBox", "QGroupBox", "title", "System Information");
    const QStringList fields = {"ip", "netmask", "gateway", "dns1"};
    const QStringList captions = {"IP:", "Netmask:", "Gateway:", "Main DNS:"};
    for (int i = 0; i < fields.size(); ++i) {
        row(fields[i] + "ChangeableLabel", "QLabel", "text", captions[i]);
        row(fields[i] + "LineEdit", "QLineEdit", "text", "");
        row(fields[i] + "ValidatorLabel", "QLabel", "text", "Separate by \".\"");
        row(fields[i] + "Label", "QLabel", "text", captions[i]);
        row(fields[i] + "InfoLabel", "QLabel", "text", "");
    }
    row("writeToSystemPushButton", "QPushButton", "text", "Manual change");
    row("enableDhcpPushButton", "QPushButton", "text", "Auto distribute");
    row("refreshPushButton", "QPushButton", "text", "Refresh");
    row("adapterNameLabel", "QLabel", "text", "Adapter Name:");
    row("adapterDescribeLabel", "QLabel", "text", "Adapter describe:");
    row("addressTypeLabel", "QLabel", "text", "Address type:");
    for (const char *name : {"adapterNameInfoLabel", "adapterDescribeInfoLabel", "addressTypeInfoLabel"})
        row(name, "QLabel", "text", "");
}

// Only the seven information labels let their text be selected and copied, and
// offer no context menu; only the adapter name and description wrap. Fields centre.
void tst_form::tree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    QList<QObject *> found = window->findChildren<QObject *>(name);
    if (window->objectName() == name)
        found << window.get();
    QVERIFY2(found.size() == 1, qPrintable(QStringLiteral("%1 objects named %2").arg(found.size()).arg(name)));
    QCOMPARE(QString(found.first()->metaObject()->className()), className);
    if (!property.isEmpty())
        QCOMPARE(found.first()->property(property).toString(), text);
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
