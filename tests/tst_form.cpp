// The main window's form on a plain QMainWindow, as setupUi leaves it.
#include "ui_daverirido.h"

#include <QtTest>

#include <QFile>
#include <QImage>
#include <QMainWindow>

#include <memory>

namespace {

const QStringList infoLabels = {"adapterNameInfoLabel", "adapterDescribeInfoLabel", "addressTypeInfoLabel",
                                "ipInfoLabel", "netmaskInfoLabel", "gatewayInfoLabel", "dns1InfoLabel"};
const QStringList lineEdits = {"ipLineEdit", "netmaskLineEdit", "gatewayLineEdit", "dns1LineEdit"};
const QStringList checkLabels = {"ipValidatorLabel", "netmaskValidatorLabel", "gatewayValidatorLabel",
                                 "dns1ValidatorLabel"};
const QString hint = QStringLiteral("Separate by \".\"");

} // namespace

class tst_form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void widgetTree_data();
    void widgetTree();
    void gridCells_data();
    void gridCells();
    void texts_data();
    void texts();
    void startsEmpty();
    void retranslateResets();
    void lineEditsCentred();
    void informationLabels_data();
    void informationLabels();
    void sizes_data();
    void sizes();
    void layoutSettings();
    void buddies();
    void grownWindowKeepsGrids();
    void tabOrder();

private:
    template <typename T = QObject>
    T *child(const QString &name) const { return window->findChild<T *>(name); }

    std::unique_ptr<QMainWindow> window;
    Ui_Daverirido ui;
};

// The icon must be reachable through the resource system before any window exists.
void tst_form::initTestCase()
{
    QVERIFY2(QApplication::topLevelWidgets().isEmpty(), "a window exists before the icon is read");
    QFile file(QStringLiteral(":/main.png"));
    QVERIFY2(file.open(QIODevice::ReadOnly), "\":/main.png\" is not in the resources");
    QCOMPARE(file.size(), qint64(1924));
    const QImage image(QStringLiteral(":/main.png"));
    QVERIFY2(!image.isNull(), "\":/main.png\" does not decode");
    QCOMPARE(image.size(), QSize(48, 48));
    QVERIFY2(image.hasAlphaChannel(), "the icon has no alpha channel");
}

void tst_form::init()
{
    window.reset(new QMainWindow);
    ui.setupUi(window.get());
}

void tst_form::cleanup()
{
    window.reset();
}

void tst_form::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    QTest::newRow("centralwidget") << "centralwidget" << "QWidget" << "Daverirido";
    QTest::newRow("statusbar") << "statusbar" << "QStatusBar" << "Daverirido";
    QTest::newRow("verticalLayout_2") << "verticalLayout_2" << "QVBoxLayout" << "centralwidget";
    QTest::newRow("verticalLayout") << "verticalLayout" << "QVBoxLayout" << "verticalLayout_2";
    QTest::newRow("horizontalLayout_2") << "horizontalLayout_2" << "QHBoxLayout" << "verticalLayout";
    QTest::newRow("horizontalLayout") << "horizontalLayout" << "QHBoxLayout" << "verticalLayout";
    QTest::newRow("interfaceChangeableLabel") << "interfaceChangeableLabel" << "QLabel" << "centralwidget";
    QTest::newRow("interfaceComboBox") << "interfaceComboBox" << "QComboBox" << "centralwidget";
    QTest::newRow("leftGroupBox") << "leftGroupBox" << "QGroupBox" << "centralwidget";
    QTest::newRow("rightGroupBox") << "rightGroupBox" << "QGroupBox" << "centralwidget";
    QTest::newRow("layoutWidget_2") << "layoutWidget_2" << "QWidget" << "leftGroupBox";
    QTest::newRow("layoutWidget") << "layoutWidget" << "QWidget" << "rightGroupBox";
    QTest::newRow("gridLayout_2") << "gridLayout_2" << "QGridLayout" << "layoutWidget_2";
    QTest::newRow("gridLayout") << "gridLayout" << "QGridLayout" << "layoutWidget";
    QTest::newRow("leftBottomLayout") << "leftBottomLayout" << "QHBoxLayout" << "gridLayout_2";
    for (const QString &field : QStringList{"ip", "netmask", "gateway", "dns1"}) {
        for (const QString &role : QStringList{"ChangeableLabel", "ValidatorLabel"})
            QTest::newRow(qPrintable(field + role)) << field + role << "QLabel" << "layoutWidget_2";
        QTest::newRow(qPrintable(field + "LineEdit")) << field + "LineEdit" << "QLineEdit" << "layoutWidget_2";
    }
    for (const QString &button : QStringList{"writeToSystemPushButton", "enableDhcpPushButton"})
        QTest::newRow(qPrintable(button)) << button << "QPushButton" << "layoutWidget_2";
    for (const QString &field : QStringList{"adapterName", "adapterDescribe", "addressType", "ip", "netmask", "gateway", "dns1"}) {
        QTest::newRow(qPrintable(field + "Label")) << field + "Label" << "QLabel" << "layoutWidget";
        QTest::newRow(qPrintable(field + "InfoLabel")) << field + "InfoLabel" << "QLabel" << "layoutWidget";
    }
    QTest::newRow("refreshPushButton") << "refreshPushButton" << "QPushButton" << "layoutWidget";
}

void tst_form::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);

    QCOMPARE(window->objectName(), QStringLiteral("Daverirido"));
    const QList<QObject *> found = window->findChildren<QObject *>(name);
    QVERIFY2(found.size() == 1, qPrintable(QStringLiteral("%1 objects named %2").arg(found.size()).arg(name)));
    QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), className);
    QVERIFY2(found.first()->parent(), "no parent");
    QCOMPARE(found.first()->parent()->objectName(), parentName);
}

void tst_form::gridCells_data()
{
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("columnSpan");

    const QStringList fields = {"ip", "netmask", "gateway", "dns1"};
    for (int row = 0; row < fields.size(); ++row) {
        const QStringList roles = {"ChangeableLabel", "LineEdit", "ValidatorLabel"};
        for (int column = 0; column < roles.size(); ++column) {
            const QString name = fields[row] + roles[column];
            QTest::newRow(qPrintable(name)) << "gridLayout_2" << name << row << column << 1;
        }
    }
    QTest::newRow("leftBottomLayout") << "gridLayout_2" << "leftBottomLayout" << 5 << 0 << 3;
    const QStringList values = {"adapterName", "adapterDescribe", "addressType", "ip", "netmask", "gateway", "dns1"};
    for (int row = 0; row < values.size(); ++row) {
        QTest::newRow(qPrintable(values[row] + "Label")) << "gridLayout" << values[row] + "Label" << row << 0 << 1;
        QTest::newRow(qPrintable(values[row] + "InfoLabel")) << "gridLayout" << values[row] + "InfoLabel" << row << 1 << 2;
    }
    QTest::newRow("refreshPushButton") << "gridLayout" << "refreshPushButton" << 7 << 1 << 1;
}

void tst_form::gridCells()
{
    QFETCH(QString, grid);
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, columnSpan);

    auto *layout = child<QGridLayout>(grid);
    QVERIFY(layout);
    int index = -1;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        QObject *object = item->widget() ? static_cast<QObject *>(item->widget()) : item->layout();
        if (object && object->objectName() == name)
            index = i;
    }
    QVERIFY2(index >= 0, qPrintable(name + " is not in " + grid));
    int r, c, rs, cs;
    layout->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(QList<int>({r, c, rs, cs}), QList<int>({row, column, 1, columnSpan}));
}

void tst_form::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");

    QTest::newRow("window title") << "Daverirido" << QByteArray("windowTitle") << "Vantorel";
    QTest::newRow("interface") << "interfaceChangeableLabel" << QByteArray("text") << "Interface:";
    QTest::newRow("left box") << "leftGroupBox" << QByteArray("title") << "Manual Change";
    QTest::newRow("right box") << "rightGroupBox" << QByteArray("title") << "System Information";
    QTest::newRow("ip caption") << "ipChangeableLabel" << QByteArray("text") << "IP:";
    QTest::newRow("netmask caption") << "netmaskChangeableLabel" << QByteArray("text") << "Netmask:";
    QTest::newRow("gateway caption") << "gatewayChangeableLabel" << QByteArray("text") << "Gateway:";
    QTest::newRow("dns1 caption") << "dns1ChangeableLabel" << QByteArray("text") << "Main DNS:";
    for (const QString &label : checkLabels)
        QTest::newRow(qPrintable(label)) << label << QByteArray("text") << hint;
    QTest::newRow("write button") << "writeToSystemPushButton" << QByteArray("text") << "Manual change";
    QTest::newRow("dhcp button") << "enableDhcpPushButton" << QByteArray("text") << "Auto distribute";
    QTest::newRow("refresh button") << "refreshPushButton" << QByteArray("text") << "Refresh";
    QTest::newRow("adapter name") << "adapterNameLabel" << QByteArray("text") << "Adapter Name:";
    QTest::newRow("adapter describe") << "adapterDescribeLabel" << QByteArray("text") << "Adapter describe:";
    QTest::newRow("address type") << "addressTypeLabel" << QByteArray("text") << "Address type:";
    QTest::newRow("ip") << "ipLabel" << QByteArray("text") << "IP:";
    QTest::newRow("netmask") << "netmaskLabel" << QByteArray("text") << "Netmask:";
    QTest::newRow("gateway") << "gatewayLabel" << QByteArray("text") << "Gateway:";
    QTest::newRow("dns1") << "dns1Label" << QByteArray("text") << "Main DNS:";
    for (const QString &label : infoLabels)
        QTest::newRow(qPrintable(label)) << label << QByteArray("text") << QString();
}

void tst_form::texts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    QObject *object = name == window->objectName() ? window.get() : child(name);
    QVERIFY2(object, qPrintable("no " + name));
    QCOMPARE(object->property(property.constData()).toString(), text);
}

void tst_form::startsEmpty()
{
    QCOMPARE(ui.interfaceComboBox->count(), 0);
    QCOMPARE(ui.interfaceComboBox->currentIndex(), -1);
    for (const QString &name : lineEdits)
        QVERIFY2(child<QLineEdit>(name)->text().isEmpty(), qPrintable(name + " has a text"));
    QVERIFY2(ui.statusbar->currentMessage().isEmpty(), "the status bar shows a message");
    for (QWidget *widget : window->findChildren<QWidget *>())
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName() + " is disabled"));
}

// retranslateUi sets the hints and the empty information texts afresh.
void tst_form::retranslateResets()
{
    for (const QString &name : checkLabels + infoLabels)
        child<QLabel>(name)->setText(QStringLiteral("changed"));
    ui.retranslateUi(window.get());
    for (const QString &name : checkLabels)
        QCOMPARE(child<QLabel>(name)->text(), hint);
    for (const QString &name : infoLabels)
        QVERIFY2(child<QLabel>(name)->text().isEmpty(), qPrintable(name + " was not emptied"));
}

void tst_form::lineEditsCentred()
{
    for (const QString &name : lineEdits)
        QCOMPARE(child<QLineEdit>(name)->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
}

void tst_form::informationLabels_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("wraps");

    const QStringList all = {"interfaceChangeableLabel", "ipChangeableLabel", "ipValidatorLabel",
                             "netmaskChangeableLabel", "netmaskValidatorLabel", "gatewayChangeableLabel",
                             "gatewayValidatorLabel", "dns1ChangeableLabel", "dns1ValidatorLabel",
                             "adapterNameLabel", "adapterDescribeLabel", "addressTypeLabel", "ipLabel",
                             "netmaskLabel", "gatewayLabel", "dns1Label"};
    for (const QString &name : all + infoLabels)
        QTest::newRow(qPrintable(name)) << name
                                        << (name == "adapterNameInfoLabel" || name == "adapterDescribeInfoLabel");
}

// The shown values can be selected and copied, but offer no context menu; only
// the name and the description wrap.
void tst_form::informationLabels()
{
    QFETCH(QString, name);
    QFETCH(bool, wraps);

    auto *label = child<QLabel>(name);
    QVERIFY(label);
    QCOMPARE(label->wordWrap(), wraps);
    if (infoLabels.contains(name)) {
        QCOMPARE(int(label->textInteractionFlags()), 7);
        QCOMPARE(label->contextMenuPolicy(), Qt::NoContextMenu);
        QCOMPARE(label->focusPolicy(), Qt::ClickFocus);
    } else {
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }
}

void tst_form::sizes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("horizontal");
    QTest::addColumn<int>("vertical");
    QTest::addColumn<int>("stretch");
    QTest::addColumn<QSize>("minimum");

    const int fixed = QSizePolicy::Fixed, preferred = QSizePolicy::Preferred, minimum = QSizePolicy::Minimum;
    QTest::newRow("interface label") << "interfaceChangeableLabel" << fixed << preferred << 0 << QSize(0, 0);
    QTest::newRow("interface list") << "interfaceComboBox" << minimum << fixed << 0 << QSize(90, 0);
    QTest::newRow("left box") << "leftGroupBox" << fixed << preferred << 0 << QSize(312, 250);
    QTest::newRow("right box") << "rightGroupBox" << minimum << preferred << 0 << QSize(340, 250);
    for (const QString &field : QStringList{"ip", "netmask", "gateway", "dns1"}) {
        QTest::newRow(qPrintable(field + "ChangeableLabel")) << field + "ChangeableLabel" << fixed << preferred << 0 << QSize(0, 0);
        QTest::newRow(qPrintable(field + "LineEdit")) << field + "LineEdit" << fixed << fixed << 120 << QSize(0, 0);
        QTest::newRow(qPrintable(field + "ValidatorLabel")) << field + "ValidatorLabel" << fixed << preferred << 70 << QSize(70, 0);
    }
    for (const QString &button : QStringList{"writeToSystemPushButton", "enableDhcpPushButton", "refreshPushButton"})
        QTest::newRow(qPrintable(button)) << button << fixed << fixed << 0 << QSize(0, 0);
    for (const QString &caption : QStringList{"adapterNameLabel", "adapterDescribeLabel", "ipLabel", "netmaskLabel", "gatewayLabel", "dns1Label"})
        QTest::newRow(qPrintable(caption)) << caption << fixed << preferred << 0 << QSize(0, 0);
    QTest::newRow("addressTypeLabel") << "addressTypeLabel" << preferred << preferred << 0 << QSize(0, 0);
    QTest::newRow("addressTypeInfoLabel") << "addressTypeInfoLabel" << preferred << preferred << 0 << QSize(0, 0);
    QTest::newRow("adapterDescribeInfoLabel") << "adapterDescribeInfoLabel" << minimum << preferred << 0 << QSize(0, 0);
    for (const QString &value : QStringList{"adapterNameInfoLabel", "ipInfoLabel", "netmaskInfoLabel", "gatewayInfoLabel", "dns1InfoLabel"})
        QTest::newRow(qPrintable(value)) << value << minimum << preferred << 5 << QSize(0, 0);
}

void tst_form::sizes()
{
    QFETCH(QString, name);
    QFETCH(int, horizontal);
    QFETCH(int, vertical);
    QFETCH(int, stretch);
    QFETCH(QSize, minimum);

    auto *widget = child<QWidget>(name);
    QVERIFY(widget);
    const QSizePolicy policy = widget->sizePolicy();
    QCOMPARE(int(policy.horizontalPolicy()), horizontal);
    QCOMPARE(int(policy.verticalPolicy()), vertical);
    QCOMPARE(policy.horizontalStretch(), stretch);
    QCOMPARE(policy.verticalStretch(), 0);
    QCOMPARE(widget->minimumSize(), minimum);
}

void tst_form::layoutSettings()
{
    QCOMPARE(window->size(), QSize(680, 322));
    QCOMPARE(window->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY2(window->windowIcon().availableSizes().contains(QSize(48, 48)), "the window icon is not the 48 x 48 picture");
    QCOMPARE(window->centralWidget(), ui.centralwidget);
    QCOMPARE(window->statusBar(), ui.statusbar);

    QCOMPARE(ui.verticalLayout->count(), 2);
    QCOMPARE(ui.verticalLayout->itemAt(0)->layout(), ui.horizontalLayout_2);
    QCOMPARE(ui.verticalLayout->itemAt(1)->layout(), ui.horizontalLayout);
    QCOMPARE(ui.verticalLayout->stretch(0), 1);
    QCOMPARE(ui.verticalLayout->stretch(1), 3);

    QCOMPARE(ui.gridLayout_2->verticalSpacing(), 12);
    QCOMPARE(ui.gridLayout_2->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(ui.gridLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(ui.layoutWidget_2->geometry(), QRect(10, 20, 301, 221));
    QCOMPARE(ui.layoutWidget->geometry(), QRect(11, 20, 321, 221));
    QVERIFY2(!ui.leftGroupBox->layout() && !ui.rightGroupBox->layout(), "a group box has a layout of its own");

    QSpacerItem *vertical = ui.gridLayout_2->itemAtPosition(4, 1)->spacerItem();
    QVERIFY2(vertical, "no spacer at row 4");
    QCOMPARE(vertical->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(ui.leftBottomLayout->count(), 3);
    QCOMPARE(ui.leftBottomLayout->itemAt(0)->widget(), ui.writeToSystemPushButton);
    QCOMPARE(ui.leftBottomLayout->itemAt(1)->spacerItem()->sizeHint(), QSize(40, 20));
    QCOMPARE(ui.leftBottomLayout->itemAt(1)->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui.leftBottomLayout->itemAt(2)->widget(), ui.enableDhcpPushButton);
}

void tst_form::buddies()
{
    const QList<QPair<QLabel *, QWidget *>> pairs = {
        {ui.interfaceChangeableLabel, ui.interfaceComboBox}, {ui.ipChangeableLabel, ui.ipLineEdit},
        {ui.netmaskChangeableLabel, ui.netmaskLineEdit}, {ui.gatewayChangeableLabel, ui.gatewayLineEdit},
        {ui.dns1ChangeableLabel, ui.dns1LineEdit}};
    for (const auto &pair : pairs)
        QVERIFY2(pair.first->buddy() == pair.second, qPrintable(pair.first->objectName() + " has the wrong buddy"));
}

// The group boxes grow with the window, the grids inside them do not, and
// neither do the fields and buttons.
void tst_form::grownWindowKeepsGrids()
{
    const QList<QWidget *> fixedWidth = {ui.ipLineEdit, ui.netmaskLineEdit, ui.gatewayLineEdit, ui.dns1LineEdit,
                                         ui.writeToSystemPushButton, ui.enableDhcpPushButton, ui.refreshPushButton};
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QList<int> widths;
    for (QWidget *widget : fixedWidth)
        widths << widget->width();
    const QSize rightBox = ui.rightGroupBox->size();

    window->resize(1000, 600);
    QTRY_COMPARE(window->size(), QSize(1000, 600));
    QVERIFY2(ui.leftGroupBox->width() >= 312 && ui.leftGroupBox->height() >= 250, "left box too small");
    QVERIFY2(ui.rightGroupBox->width() > rightBox.width() && ui.rightGroupBox->height() > rightBox.height(),
             "the right box did not grow");
    QCOMPARE(ui.layoutWidget_2->geometry(), QRect(10, 20, 301, 221));
    QCOMPARE(ui.layoutWidget->geometry(), QRect(11, 20, 321, 221));
    for (int i = 0; i < fixedWidth.size(); ++i)
        QVERIFY2(fixedWidth[i]->width() == widths[i], qPrintable(fixedWidth[i]->objectName() + " changed its width"));
}

void tst_form::tabOrder()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    ui.interfaceComboBox->setFocus();
    QStringList order = {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, QStringList({"interfaceComboBox", "ipLineEdit", "netmaskLineEdit", "gatewayLineEdit",
                                 "dns1LineEdit", "writeToSystemPushButton", "enableDhcpPushButton",
                                 "refreshPushButton", "interfaceComboBox"}));
}

QTEST_MAIN(tst_form)
#include "tst_form.moc"
