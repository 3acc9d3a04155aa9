// The main window against the scripted platform and its stand-in cmd.exe, which records the netsh commands it is given.
#include "fakeplatform.h"
#include "window.h"

#include <QtTest>
#include <QHostAddress>
#include <QNetworkInterface>

namespace {

fake::Adapter adapter(const QString &name, unsigned dhcp = 0, const QString &description = "Gigabit Adapter", bool dnsFails = false)
{
    return {name.toStdString(), description.toStdString(), 1, MIB_IF_TYPE_ETHERNET, dhcp,
            "10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.53", "", dnsFails};
}

// One letter a mark: R right, W wrong, - the hint.
QString marks(const davErirido *w)
{
    QString all;
    for (const QLabel *mark : w->findChildren<QLabel *>(QRegularExpression("ValidatorLabel$")))
        all += mark->text().contains(">Right<") ? 'R' : mark->text().contains(">Wrong<") ? 'W' : '-';
    return all;
}

// dhcp -1: the adapter's DNS query fails. No type shown: nothing usable was found.
struct Panel { QString description; int dhcp; QString request, shownDescription, shownType; };
struct Input { int field; QString keys, shown; bool passes; };
// IP, netmask, gateway and DNS typed; the kind of command the system refuses; status messages and commands in order,
// up to a press of "Refresh".
struct Change { QString slot; int dhcp; QString typed, refused; QStringList trace; QString marks; };

} // namespace

Q_DECLARE_METATYPE(Panel)
Q_DECLARE_METATYPE(Input)
Q_DECLARE_METATYPE(Change)

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startUp();
    void panel_data();
    void panel();
    void input_data();
    void input();
    void change_data();
    void change();

private:
    // Traces the status messages (marked if an action button was enabled) and the commands run.
    void makeWindow(const std::vector<fake::Adapter> &table);
    QList<QLineEdit *> fields() const { return window->findChildren<QLineEdit *>(); }   // IP, netmask, gateway, DNS
    void takeCommands();
    bool eventFilter(QObject *object, QEvent *event) override   // the refresh timer is the only QTimer
    {
        if (const auto *timer = qobject_cast<QTimer *>(object); timer && event->type() == QEvent::Timer)
            refreshShot = QString("%1 ms%2").arg(timer->interval()).arg(timer->isSingleShot() ? ", once" : "");
        return false;
    }

    QTemporaryDir root;
    QString first;
    QScopedPointer<davErirido> window;
    QStringList trace;
    fake::Adapter current;   // the adapter as the commands taken in have left it
    QString refused;         // the kind of command the system refuses
    QString refreshShot;     // the period of the last timer shot
};

void tst_window::initTestCase()
{
    QVERIFY(root.isValid() && fake::installCmdExe(root.path()));
    first = QNetworkInterface::allInterfaces().at(0).name();
    qApp->installEventFilter(this);
}

void tst_window::makeWindow(const std::vector<fake::Adapter> &table)
{
    fake::state = {};
    fake::state.adapters = table;
    trace.clear();
    window.reset(new davErirido);
    connect(window->statusbar, &QStatusBar::messageChanged, window.data(), [this](const QString &message) {
        takeCommands();
        const bool enabled = window->writeToSystemPushButton->isEnabled() || window->enableDhcpPushButton->isEnabled();
        trace << message + (enabled ? " (buttons enabled)" : "");
    });
}

// A command gives the adapter its values, unless the system refuses its kind. Runs at every read of the adapters.
void tst_window::takeCommands()
{
    fake::state.onAdaptersInfo = [this] { takeCommands(); };
    for (const QStringList &run : fake::takeRuns(root.path())) {
        const QString command = run.value(3);   // netsh interface ip set address|dns name="..." source=static|dhcp ...
        const QString kind = command.section(' ', 4, 4), source = command.section("source=", 1).section(' ', 0, 0);
        const bool dhcp = source == "dhcp";
        trace << kind + ' ' + source;
        if (!command.contains("name=\"" + first + '"') || kind == refused)
            continue;
        const auto value = [&command, dhcp](const QString &key) {   // no lease yet for DHCP
            return dhcp ? "0.0.0.0" : command.section(' ' + key + '=', 1).section(' ', 0, 0).toStdString();
        };
        if (kind == "dns")
            current.dnsServer = value("addr");
        else
            current = {current.name, current.description, 1, MIB_IF_TYPE_ETHERNET, dhcp, value("addr"), value("mask"),
                       value("gateway"), current.dnsServer};
    }
    fake::state.adapters = {current};
}

// Listed: the system's interfaces that the adapter table knows, in the system's order.
void tst_window::startUp()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    std::vector<fake::Adapter> table = {adapter("ghost0")};   // in the table, not in the system
    QStringList expected, listed;
    for (int i = 0; i < interfaces.size(); i += 2) {
        table.insert(table.begin(), adapter(interfaces[i].name()));   // the table's order is not the list's
        expected << interfaces[i].humanReadableName() + " = " + interfaces[i].name();
    }
    makeWindow(table);
    for (int i = 0; i < window->interfaceComboBox->count(); ++i)
        listed << window->interfaceComboBox->itemText(i) + " = " + window->interfaceComboBox->itemData(i).toString();
    QCOMPARE(listed, expected);
    // The other connections are exercised by the tests below.
    QVERIFY2(QObject::disconnect(window->interfaceComboBox, SIGNAL(currentIndexChanged(int)), window.data(),
                                 SLOT(timeoutGetAddress())), "choosing another adapter does not refresh");
}

void tst_window::panel_data()
{
    QTest::addColumn<Panel>("row");
    QTest::newRow("miniport") << Panel{"Gigabit Adapter - Miniport", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("numbered miniport") << Panel{"Adapter - Miniport #2", 0, first, "Adapter - Miniport", "Manual"};
    QTest::newRow("number first") << Panel{" #2 Adapter - Miniport", 0, first, "", "Manual"};
    QTest::newRow("dhcp") << Panel{"Gigabit Adapter", 1, first, "Gigabit Adapter", "DHCP"};
    QTest::newRow("dhcp flag 2") << Panel{"Gigabit Adapter", 2, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("other letter case") << Panel{"Gigabit Adapter", 0, first.toUpper(), "", ""};
    QTest::newRow("status -1") << Panel{"Gigabit Adapter", -1, first, "", ""};
}

// A fill that finds nothing says so and empties the panel.
void tst_window::panel()
{
    QFETCH(Panel, row);
    makeWindow({adapter(first, unsigned(qMax(row.dhcp, 0)), row.description, row.dhcp < 0)});
    const bool found = !row.shownType.isEmpty();
    const auto fill = [this](const QString &name) {
        int filled = -1;
        QMetaObject::invokeMethod(window.data(), "getInterfacesInfoToLabel", Q_RETURN_ARG(int, filled), Q_ARG(QString, name));
        return filled;
    };
    int inner = -1;   // a fill asked for while another is under way does nothing
    fake::state.onAdaptersInfo = [&] { inner = fill(first); };
    for (int pass = 0; pass < 2; ++pass)   // the second finds the guard down again
        QCOMPARE(fill(row.request), found ? 1 : 0);
    QCOMPARE(inner, 2);
    const QStringList shown = {first, row.shownDescription, row.shownType, "10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.53"};
    const QStringList panel = testwindow::panel(window.data());
    QCOMPARE(QStringList({window->adapterNameInfoLabel->text(), window->adapterDescribeInfoLabel->text()}) + panel,
             found ? shown : QStringList(QVector<QString>(7).toList()));
    QCOMPARE(window->statusbar->currentMessage(), QString(found ? "" : "Can't get the adapter information."));
}

void tst_window::input_data()
{
    QTest::addColumn<Input>("row");
    for (int prefix = 0; prefix <= 32; ++prefix) {   // those of 10 to 30 bits are taken
        const QString mask = QHostAddress(quint32(quint64(0xffffffff) << (32 - prefix))).toString();
        QTest::addRow("netmask /%d", prefix) << Input{1, mask, mask, prefix >= 10 && prefix <= 30};
    }
    QTest::newRow("netmask entered empty") << Input{1, "", "255.255.255.0", true};
    const Input typed[] = {{0, "255.255.255.255", "255.255.255.255", true}, {0, "1.2.3.4.5", "1.2.3.45", true},
        {0, "19a2", "192", false}, {0, "256", "25", false}, {0, "01", "0", false}, {0, "1..2", "1.2", false}, {0, "", "", false}};
    const char *names[] = {"IP", "netmask", "gateway", "DNS"};
    for (int field : {0, 1, 2, 3}) {
        for (const Input &row : typed)   // none of them a netmask
            if (field != 1 || !row.keys.isEmpty())
                QTest::addRow("%s '%s'", names[field], qPrintable(row.keys)) << Input{field, row.keys, row.shown, row.passes && field != 1};
    }
}

void tst_window::input()
{
    QFETCH(Input, row);
    makeWindow({adapter(first)});
    QLineEdit *edit = fields()[row.field];
    QTest::keyClicks(edit, row.keys);
    emit qApp->focusChanged(nullptr, edit);   // in and out again
    emit qApp->focusChanged(edit, window->refreshPushButton);
    QCOMPARE(edit->text(), row.shown);
    QCOMPARE(marks(window.data()), QString("----").replace(row.field, 1, row.passes ? 'R' : 'W'));
}

void tst_window::change_data()
{
    QTest::addColumn<Change>("row");
    const QString w = "writeToSystem", same = "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.53";
    const QString both = "10.0.0.9 255.255.255.0 10.0.0.1 10.0.0.54";
    const QStringList address = {"changing the IP, netmask and gateway !", "address static"};
    const QStringList addressDone = address + QStringList{"IP, netmask and gateway change finished."};
    const QStringList dns = {"changing the DNS  !", "dns static"};
    const QStringList dnsDone = dns + QStringList{"DNS changes finished."};
    const QStringList done = {testwindow::Finished, testwindow::Refreshed + " (buttons enabled)"};
    QTest::newRow("nothing differs") << Change{w, 0, same, "", done, "RRRR"};
    QTest::newRow("netmask differs") << Change{w, 0, "10.0.0.5 255.255.0.0 10.0.0.1 10.0.0.53", "", addressDone + done, "RRRR"};
    QTest::newRow("only DNS differs") << Change{w, 0, "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.54", "", dnsDone + done, "RRRR"};
    // Written statically, the adapter leaves DHCP: the DNS step then depends on the value.
    QTest::newRow("DHCP, same values") << Change{w, 1, same, "", addressDone + done, "RRRR"};
    QTest::newRow("DHCP kept, same values") << Change{w, 1, same, "address", addressDone + dnsDone + done, "RRRR"};
    QTest::newRow("address refused") << Change{w, 0, both, "address", address + QStringList{testwindow::AddressFailed}, "RRRR"};
    QTest::newRow("DNS refused") << Change{w, 0, both, "dns", addressDone + dns + QStringList{"DNS changes failed. Please try it again."}, "RRRR"};
    QTest::newRow("IP and netmask judged wrong") << Change{w, 0, "10.0.0 255.0.0.0 10.0.0.1 10.0.0.54", "", {}, "WWRR"};
    QTest::newRow("to DHCP, fields empty") << Change{"dhcpAddress", 0, "", "", {"Auto distributing ip, netmask, and gateway...",
        "address dhcp", "Auto distributing DNS server...", "dns dhcp",
        "Dhcp addressed finished. Refreshing the addresses information."}, "----"};
}

// Each half is written only where the typed values differ (or on DHCP). Only a change carried through starts the
// refresh, which reads the adapter every second until it shows an address.
void tst_window::change()
{
    QFETCH(Change, row);
    current = adapter(first, unsigned(row.dhcp));
    refused = row.refused;
    makeWindow({current});
    takeCommands();
    for (int i = 0; i < 4; ++i)
        fields()[i]->setText(row.typed.section(' ', i, i));
    (row.slot == "dhcpAddress" ? window->enableDhcpPushButton : window->writeToSystemPushButton)->click();
    QCOMPARE(marks(window.data()), row.marks);
    QVERIFY2(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled(), "buttons left disabled");
    window->refreshPushButton->click();
    QCOMPARE(trace, row.trace);   // the buttons disabled while it is written
    if (row.slot == "dhcpAddress") {   // no lease yet: no address shown, no message
        QCOMPARE(testwindow::panel(window.data()).mid(0, 2), QStringList({"DHCP", "0.0.0.0"}));
        current.address = "10.0.0.77";
        QTRY_COMPARE_WITH_TIMEOUT(window->statusbar->currentMessage(), testwindow::Refreshed, 5000);
        QCOMPARE(refreshShot, QString("1000 ms"));
    }
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
