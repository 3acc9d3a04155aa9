// The main window as a person sees it, on an X display of the DPI that VANTOREL_TEST_DPI names: the form's
// objects, sizes and policies, and every text whole before and after the fields are judged. Screenshots of both
// are left in the build folder's screenshots/.
#include "daverirido.h"
#include "fakeplatform.h"

#include <QtTest>
#include <QNetworkInterface>
#include <QResource>
#include <QStyleFactory>

class tst_form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tree_data();
    void tree();
    void sizes_data();
    void sizes();
    void textsWhole();

private:
    QScopedPointer<davErirido> window;
};

// A window over an adapter with long values, shown as the program shows it. The icon is stored as it is.
void tst_form::initTestCase()
{
    QResource icon(":/main.png");
    QVERIFY2(icon.isValid() && icon.compressionAlgorithm() == QResource::NoCompression && icon.size() == 1924, "the icon is not stored as it is");
    fake::setAdapters({{QNetworkInterface::allInterfaces().at(0).name().toStdString(), "Gigabit Network Adapter", 1,
                        MIB_IF_TYPE_ETHERNET, 0, {{"192.168.100.200", "255.255.255.252"}}, {"192.168.100.254"},
                        {"192.168.100.253"}, ""}});
    QApplication::setStyle(QStyleFactory::create("Plastique"));   // as the program draws it
    window.reset(new davErirido);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.data()));
    QCOMPARE(window->logicalDpiY(), qEnvironmentVariableIntValue("VANTOREL_TEST_DPI"));
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
        row(fields[i] + "InfoLabel", "QLabel", window->findChild<QLabel *>(fields[i] + "InfoLabel")->text());
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

namespace {

// "<horizontal policy> <vertical policy> <horizontal stretch>, min <width>x<height>", a window's minimum left out:
// it is its layout's.
QString describe(const QWidget *w)
{
    const QMetaEnum policy = QMetaEnum::fromType<QSizePolicy::Policy>();
    const QSizePolicy p = w->sizePolicy();
    const QString text = QStringLiteral("%1 %2 %3").arg(policy.valueToKey(p.horizontalPolicy()), policy.valueToKey(p.verticalPolicy()))
        .arg(p.horizontalStretch());
    return w->isWindow() ? text : text + QStringLiteral(", min %1x%2").arg(w->minimumWidth()).arg(w->minimumHeight());
}

} // namespace

void tst_form::sizes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QRect>("geometry");   // for what the form places itself, not a layout
    const auto row = [](const QString &name, const QString &expected, const QRect &geometry = {}) {
        QTest::newRow(qPrintable(name)) << name << expected << geometry;
    };
    row("Daverirido", "Fixed Fixed 0", QRect(0, 0, 680, 322));
    row("interfaceChangeableLabel", "Fixed Preferred 0, min 0x0");
    row("interfaceComboBox", "Minimum Fixed 0, min 90x0");
    row("leftGroupBox", "Fixed Preferred 0, min 312x250");
    row("layoutWidget_2", "Preferred Preferred 0, min 0x0", QRect(10, 20, 301, 221));
    row("rightGroupBox", "Minimum Preferred 0, min 340x250");
    row("layoutWidget", "Preferred Preferred 0, min 0x0", QRect(11, 20, 321, 221));
    for (const QString field : {"ip", "netmask", "gateway", "dns1"}) {
        row(field + "ChangeableLabel", "Fixed Preferred 0, min 0x0");
        row(field + "LineEdit", "Fixed Fixed 120, min 0x0");
        row(field + "ValidatorLabel", "Fixed Preferred 70, min 70x0");
    }
    for (const QString button : {"writeToSystem", "enableDhcp", "refresh"})
        row(button + "PushButton", "Fixed Fixed 0, min 0x0");
    for (const QString caption : {"adapterName", "adapterDescribe", "ip", "netmask", "gateway", "dns1"})
        row(caption + "Label", "Fixed Preferred 0, min 0x0");
    for (const QString info : {"adapterName", "ip", "netmask", "gateway", "dns1"})
        row(info + "InfoLabel", "Minimum Preferred 5, min 0x0");
    row("adapterDescribeInfoLabel", "Minimum Preferred 0, min 0x0");
    row("addressTypeLabel", "Preferred Preferred 0, min 0x0");
    row("addressTypeInfoLabel", "Preferred Preferred 0, min 0x0");
}

// The sizes the form was drawn with: the window, the two fixed grids in their group boxes, and what may grow.
void tst_form::sizes()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QFETCH(QRect, geometry);
    const QWidget *w = name == "Daverirido" ? window.data() : window->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(describe(w), expected);
    if (!geometry.isNull())
        QCOMPARE(w->isWindow() ? QRect(QPoint(), w->size()) : w->geometry(), geometry);
    if (name == "Daverirido") {
        const auto grid = window->gridLayout_2;
        QCOMPARE(grid->verticalSpacing(), 12);
        QCOMPARE(grid->contentsMargins(), QMargins());
        QCOMPARE(window->verticalLayout->stretch(0) * 10 + window->verticalLayout->stretch(1), 13);
    }
}

namespace {

// Where each widget of the window sits, for telling whether anything moved.
QMap<QString, QPoint> places(const QWidget *window)
{
    QMap<QString, QPoint> all;
    for (const QWidget *w : window->findChildren<QWidget *>(QRegularExpression(".")))
        all[w->objectName()] = w->mapTo(window, QPoint());
    return all;
}

// The texts of the form that don't have all the room they ask for, or stick out of what holds them.
QStringList cut(const QWidget *window)
{
    QStringList found;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        const auto *label = qobject_cast<const QLabel *>(w);
        const auto *box = qobject_cast<const QGroupBox *>(w);
        if ((!label && !qobject_cast<const QAbstractButton *>(w) && !box) || !w->isVisible())
            continue;
        QSize needed = box ? box->minimumSizeHint() : w->sizeHint();
        if (label && label->wordWrap())
            needed = QSize(w->minimumSizeHint().width(), label->heightForWidth(w->width()));
        bool inside = true;
        for (const QWidget *c = w; c != window; c = c->parentWidget())
            inside = inside && QRect(QPoint(), c->parentWidget()->size()).contains(c->geometry());
        if (w->width() < needed.width() || w->height() < needed.height() || !inside)
            found << QStringLiteral("%1 (%2x%3 for %4x%5)").arg(w->objectName()).arg(w->width()).arg(w->height())
                     .arg(needed.width()).arg(needed.height());
    }
    return found;
}

} // namespace

// Whole as the form starts, and still whole, with nothing moved, once the fields are judged right and wrong.
void tst_form::textsWhole()
{
    const QDir shots(QString(qgetenv("VANTOREL_BUILD_DIR")) + "/screenshots");
    QVERIFY(shots.mkpath("."));
    const QString dpi = QString::number(window->logicalDpiY());
    QVERIFY(window->grab().save(shots.filePath("window-" + dpi + "dpi.png")));
    QVERIFY2(cut(window.data()).isEmpty(), qPrintable(cut(window.data()).join(", ")));

    const QMap<QString, QPoint> before = places(window.data());
    const QStringList typed = {"192.168.100.200", "255.255.255.255", "192.168.100.254", ""};
    const QList<QLineEdit *> fields = {window->ipLineEdit, window->netmaskLineEdit, window->gatewayLineEdit, window->dns1LineEdit};
    for (int i = 0; i < fields.size(); ++i) {
        fields[i]->setText(typed[i]);
        QVERIFY(QMetaObject::invokeMethod(window.data(), "lineEditCheck", Q_ARG(QWidget *, fields[i])));
    }
    QCOMPARE(window->netmaskValidatorLabel->text(), QString("<font color=\"red\">Wrong</font>"));
    QApplication::processEvents();
    QVERIFY(window->grab().save(shots.filePath("window-" + dpi + "dpi-judged.png")));
    QVERIFY2(cut(window.data()).isEmpty(), qPrintable(cut(window.data()).join(", ")));
    const QMap<QString, QPoint> after = places(window.data());
    for (const QString &name : before.keys())
        QVERIFY2(after[name] == before[name], qPrintable(name + " moved"));
}

QTEST_MAIN(tst_form)
#include "tst_form.moc"
