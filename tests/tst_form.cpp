// The main window as a person sees it, on an X display of the DPI that VANTOREL_TEST_DPI names, scaled as the program
// scales it. Screenshots are left in the build folder's screenshots/.
#include "application.h"
#include "fakeplatform.h"
#include "window.h"

#include <QtTest>
#include <QNetworkInterface>
#include <QStyleFactory>

namespace {

const int dpi = qEnvironmentVariableIntValue("VANTOREL_TEST_DPI");

// At each DPI the test runs at: the 680 x 322 window in device pixels, scaled by DPI / 96 unrounded, and the sizes of
// the window icon's images.
struct Scale {
    int dpi;
    QSize device;
    const char *icon;
};
const Scale scales[] = {{96, {680, 322}, "48x48"}, {100, {708, 335}, "48x48 96x96"}, {144, {1020, 483}, "48x48 96x96"},
                        {192, {1360, 644}, "48x48 96x96"}};

// "<class> "<text or title>" <policies> <horizontal stretch>, min <width>x<height>"; for what the form places itself,
// not a layout, its place and size instead of its minimum.
QString describe(const QWidget *w)
{
    const QMetaEnum policy = QMetaEnum::fromType<QSizePolicy::Policy>();
    const QSizePolicy p = w->sizePolicy();
    const char *text = w->isWindow() ? "windowTitle" : qobject_cast<const QGroupBox *>(w) ? "title" : "text";
    const QString all = QStringLiteral("%1 \"%2\" %3 %4 %5").arg(w->metaObject()->className(), w->property(text).toString(),
        policy.valueToKey(p.horizontalPolicy()), policy.valueToKey(p.verticalPolicy())).arg(p.horizontalStretch());
    const QRect rect = w->isWindow() ? w->rect() : w->geometry();
    if (w->isWindow() || w->metaObject() == &QWidget::staticMetaObject)
        return all + QStringLiteral(", at %1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
    return all + QStringLiteral(", min %1x%2").arg(w->minimumWidth()).arg(w->minimumHeight());
}

} // namespace

class tst_form : public QObject
{
    Q_OBJECT

public:
    static void initMain() { vantorel::prepareApplication(); }

private slots:
    void initTestCase();
    void widgets_data();
    void widgets();
    void scaled_data();
    void scaled();
    void textsWhole();

private:
    QScopedPointer<davErirido> window;
    QString first;   // the interface shown
};

void tst_form::initTestCase()
{
    first = QNetworkInterface::allInterfaces().at(0).name();
    fake::state.adapters = {{first.toStdString(), "Gigabit Network Adapter", 1, MIB_IF_TYPE_ETHERNET, 0,
                             "192.168.100.200", "255.255.255.252", "192.168.100.254", "192.168.100.253"}};
    // QTEST_MAIN's, which the program does not set: the style would measure at 96 DPI whatever the screen's.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi, false);
    QApplication::setStyle(QStyleFactory::create("Plastique"));
    window.reset(new davErirido);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.data()));
    QVERIFY2(std::any_of(std::begin(scales), std::end(scales), [](const Scale &s) { return s.dpi == dpi; }),
             "no expected size for this DPI");
}

void tst_form::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const auto row = [](const QString &name, const QString &text) { QTest::newRow(qPrintable(name)) << name << text; };
    row("Daverirido", "davErirido \"Vantorel\" Fixed Fixed 0, at 0,0 680x322");
    row("interfaceChangeableLabel", "QLabel \"Interface:\" Fixed Preferred 0, min 0x0");
    row("interfaceComboBox", "QComboBox \"\" Minimum Fixed 0, min 90x0");
    row("leftGroupBox", "QGroupBox \"Manual Change\" Fixed Preferred 0, min 312x250");
    row("layoutWidget_2", "QWidget \"\" Preferred Preferred 0, at 10,20 301x221");
    row("rightGroupBox", "QGroupBox \"System Information\" Minimum Preferred 0, min 340x250");
    row("layoutWidget", "QWidget \"\" Preferred Preferred 0, at 11,20 321x221");
    const QStringList buttons = {"writeToSystem", "Manual change", "enableDhcp", "Auto distribute", "refresh", "Refresh"};
    for (int i = 0; i < buttons.size(); i += 2)
        row(buttons[i] + "PushButton", "QPushButton \"" + buttons[i + 1] + "\" Fixed Fixed 0, min 0x0");
    const QStringList fields = {"ip", "netmask", "gateway", "dns1", "adapterName", "adapterDescribe", "addressType"};
    const QStringList captions = {"IP:", "Netmask:", "Gateway:", "Main DNS:", "Adapter Name:", "Adapter describe:", "Address type:"};
    const QStringList shown = {"192.168.100.200", "255.255.255.252", "192.168.100.254", "192.168.100.253", first,
                               "Gigabit Network Adapter", "Manual"};
    for (int i = 0; i < fields.size(); ++i) {
        const QString policy = i == 6 ? "Preferred Preferred 0" : i == 5 ? "Minimum Preferred 0" : "Minimum Preferred 5";
        row(fields[i] + "Label", "QLabel \"" + captions[i] + (i == 6 ? "\" Preferred" : "\" Fixed") + " Preferred 0, min 0x0");
        row(fields[i] + "InfoLabel", "QLabel \"" + shown[i] + "\" " + policy + ", min 0x0");
        if (i >= 4)   // the adapter's own three have no field to type into
            continue;
        row(fields[i] + "ChangeableLabel", "QLabel \"" + captions[i] + "\" Fixed Preferred 0, min 0x0");
        row(fields[i] + "LineEdit", "QLineEdit \"\" Fixed Fixed 120, min 0x0");
        row(fields[i] + "ValidatorLabel", R"(QLabel "Separate by "."" Fixed Preferred 70, min 70x0)");
    }
}

// The objects the window uses by name, with what they show and the sizes the form was drawn with: the window, the
// two fixed grids in their group boxes, and what may grow. Only the seven information labels let their text be
// selected and copied, and offer no context menu; only the adapter name and description wrap. Fields centre.
void tst_form::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QWidget *w = name == "Daverirido" ? window.data() : window->findChild<QWidget *>(name);
    QVERIFY2(w, qPrintable(name + " is missing"));
    QCOMPARE(describe(w), expected);
    if (auto *label = qobject_cast<const QLabel *>(w)) {
        const bool info = name.endsWith("InfoLabel");
        QCOMPARE(label->wordWrap(), name == "adapterNameInfoLabel" || name == "adapterDescribeInfoLabel");
        QCOMPARE(label->textInteractionFlags() == Qt::TextInteractionFlags(7), info);
        QCOMPARE(label->contextMenuPolicy() == Qt::NoContextMenu, info);
    }
    if (auto *edit = qobject_cast<const QLineEdit *>(w))
        QCOMPARE(edit->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    if (w == window.data()) {   // the left grid's rows, and the panel's share of the right box
        QCOMPARE(window->gridLayout_2->verticalSpacing(), 12);
        QCOMPARE(window->gridLayout_2->contentsMargins(), QMargins());
        QCOMPARE(window->verticalLayout->stretch(0) * 10 + window->verticalLayout->stretch(1), 13);
    }
}

void tst_form::scaled_data()
{
    QTest::addColumn<QSize>("device");
    QTest::addColumn<QString>("icon");
    for (const Scale &s : scales)
        if (s.dpi == dpi)
            QTest::newRow(qPrintable(QString("%1 dpi").arg(dpi))) << s.device << QString(s.icon);
}

// Drawn in device pixels at the screen's factor, from the larger icon where there is one.
void tst_form::scaled()
{
    QFETCH(QSize, device);
    QFETCH(QString, icon);
    QCOMPARE(window->grab().size(), device);
    QStringList sizes;
    for (const QSize &size : window->windowIcon().availableSizes())
        sizes << QString("%1x%2").arg(size.width()).arg(size.height());
    QCOMPARE(sizes.join(' '), icon);
}

// Whole as the form starts, and still whole, with nothing moved, once the fields are judged right and wrong.
void tst_form::textsWhole()
{
    const QDir shots(QString(qgetenv("VANTOREL_BUILD_DIR")) + "/screenshots");
    QVERIFY(shots.mkpath("."));
    const QPoint field = window->ipLineEdit->pos(), mark = window->ipValidatorLabel->pos();
    for (const char *state : {"", "-judged"}) {
        if (*state)   // the wrong netmask stops the change
            testwindow::apply(window.data(), {"192.168.100.200", "255.255.255.255", "192.168.100.254", ""});
        QApplication::processEvents();
        QVERIFY(window->grab().save(shots.filePath(QString("window-%1dpi%2.png").arg(dpi).arg(state))));
        QVERIFY2(testwindow::cut(window.data()).isEmpty(), qPrintable(testwindow::cut(window.data()).join(", ")));
    }
    QCOMPARE(window->netmaskValidatorLabel->text(), QString("<font color=\"red\">Wrong</font>"));
    QCOMPARE(window->ipLineEdit->pos(), field);   // the marks' column keeps the hint's width
    QCOMPARE(window->ipValidatorLabel->pos(), mark);
}

QTEST_MAIN(tst_form)
#include "tst_form.moc"
