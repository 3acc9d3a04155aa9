// The main window against the scripted platform, with a stand-in cmd.exe that logs the netsh commands it is given.
#include "daverirido.h"
#include "fakeplatform.h"

#include <QtTest>
#include <QNetworkInterface>
#include <QStyleFactory>
#include <QTemporaryDir>

namespace {

// cmd.exe /c "netsh interface ip set address|dns name=... source=... [addr=... mask=... gateway=...]"
const char cmdScript[] = R"(printf '%s\n' "$2" >> "$(dirname "$0")/../commands")";

fake::Adapter adapter(const QString &name, unsigned dhcp = 0, const QString &description = "Gigabit Adapter",
                      bool dnsFails = false)
{
    return {name.toStdString(), description.toStdString(), 1, MIB_IF_TYPE_ETHERNET, dhcp,
            {{"10.0.0.5", "255.255.255.0"}}, {"10.0.0.1"}, {"10.0.0.53"}, "", dnsFails};
}

int fill(davErirido *w, const QString &name)
{
    int result = -100;
    QMetaObject::invokeMethod(w, "getInterfacesInfoToLabel", Q_RETURN_ARG(int, result), Q_ARG(QString, name));
    return result;
}

// The texts of the information labels ("InfoLabel") or of the marks ("ValidatorLabel"), top to bottom.
QStringList texts(const davErirido *w, const QString &kind)
{
    QStringList all;
    for (const QLabel *label : w->findChildren<QLabel *>(QRegularExpression(kind + "$")))
        all << label->text();
    return all;
}

// dhcp -1: the adapter's DNS query fails (status -1). No type shown: nothing usable was found.
struct Panel { QString description; int dhcp; QString request, shownDescription, shownType; };
// Keys typed into a field (in fields() order), what it then shows and how it is judged.
struct Input { int field; QString keys, shown; bool passes; };
// The slot (by its button) run on an adapter (on DHCP or not) with IP, netmask, gateway and DNS typed; the kind
// of command the system refuses; the status messages shown, in order.
struct Change { QString slot; int dhcp; QString typed, refused; QStringList messages; };

} // namespace

Q_DECLARE_METATYPE(Panel)
Q_DECLARE_METATYPE(Input)
Q_DECLARE_METATYPE(Change)

class tst_window : public QObject
{
    Q_OBJECT

public:
    // Before the application starts: a style asked for from outside, as "-style windows" on the command line would.
    static void initMain() { qputenv("QT_STYLE_OVERRIDE", "windows"); }

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
    // A window over this adapter table, its status messages recorded, each marked if an action button was enabled.
    void makeWindow(const std::vector<fake::Adapter> &table);
    QList<QLineEdit *> fields() const { return window->findChildren<QLineEdit *>(); }   // IP, netmask, gateway, DNS
    void takeCommands();

    QTemporaryDir root;
    QString first;   // the first interface the system lists
    QScopedPointer<davErirido> window;
    QStringList messages;
    fake::Adapter current;   // the adapter as the commands taken in have left it
    QString refused;         // the kind of command the system refuses
};

void tst_window::initTestCase()
{
    QVERIFY(root.isValid() && fake::installCmdExe(root.path(), cmdScript));
    qputenv("systemroot", root.path().toLocal8Bit());
    first = QNetworkInterface::allInterfaces().at(0).name();
    // Set as the program does, whatever style was asked for.
    QCOMPARE(QByteArray(QApplication::style()->metaObject()->className()), QByteArray("QWindowsStyle"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
}

void tst_window::makeWindow(const std::vector<fake::Adapter> &table)
{
    fake::reset();
    fake::setAdapters(table);
    messages.clear();
    window.reset(new davErirido);
    connect(window->statusbar, &QStatusBar::messageChanged, window.data(), [this](const QString &message) {
        const bool enabled = window->writeToSystemPushButton->isEnabled() || window->enableDhcpPushButton->isEnabled();
        messages << message + (enabled ? " (buttons enabled)" : "");
    });
}

// Takes in the commands logged since the adapter was last read; one for another connection or of the refused kind
// changes nothing. Stays on for the next read.
void tst_window::takeCommands()
{
    fake::onAdaptersInfo([](void *test) { static_cast<tst_window *>(test)->takeCommands(); }, this);
    QFile log(root.filePath("commands"));
    log.open(QIODevice::ReadOnly);   // absent while none is waiting
    for (const QString &command : QString(log.readAll()).split('\n', Qt::SkipEmptyParts)) {
        QMap<QString, std::string> v{{"addr", "0.0.0.0"}, {"mask", "0.0.0.0"}, {"gateway", "0.0.0.0"}};   // none, as IP Helper says
        for (const QString &word : command.split(' '))
            v[word.section('=', 0, 0)] = word.section('=', 1).toStdString();
        if (v["name"] != '"' + first.toStdString() + '"' || command.section(' ', 4, 4) == refused)
            continue;
        if (command.contains(" set address ")) {
            current.dhcpEnabled = v["source"] == "dhcp";
            current.addresses = {{v["addr"], v["mask"]}};
            current.gateways = {v["gateway"]};
        } else {
            current.dnsServers = {v["source"] == "dhcp" ? "" : v["addr"]};
        }
    }
    log.remove();
    fake::setAdapters({current});
}

// Listed: the system's interfaces that the adapter table knows, in the system's order, by connection name. Drawn
// in Plastique, and nothing to report.
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
    QCOMPARE(QByteArray(window->ipLineEdit->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
}

void tst_window::panel_data()
{
    QTest::addColumn<Panel>("row");
    QTest::newRow("numbered") << Panel{"Gigabit Adapter #2", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("miniport") << Panel{"Gigabit Adapter - Miniport", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("numbered miniport") << Panel{"Adapter - Miniport #2", 0, first, "Adapter - Miniport", "Manual"};
    QTest::newRow("dhcp") << Panel{"Gigabit Adapter", 1, first, "Gigabit Adapter", "DHCP"};
    QTest::newRow("dhcp flag 2") << Panel{"Gigabit Adapter", 2, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("other letter case") << Panel{"Gigabit Adapter", 0, first.toUpper(), "", ""};
    QTest::newRow("empty name") << Panel{"Gigabit Adapter", 0, "", "", ""};
    QTest::newRow("status -1") << Panel{"Gigabit Adapter", -1, first, "", ""};
}

// A fill that finds nothing usable says so and empties the panel. One asked for while another is under way (here, of
// an unknown name, as the adapters are read) does nothing.
void tst_window::panel()
{
    QFETCH(Panel, row);
    makeWindow({adapter(first, unsigned(qMax(row.dhcp, 0)), row.description, row.dhcp < 0)});
    static int inner;
    inner = 0;
    fake::onAdaptersInfo([](void *w) { inner = fill(static_cast<davErirido *>(w), "ghost0"); }, window.data());
    const bool found = !row.shownType.isEmpty();
    for (int pass = 0; pass < 2; ++pass)   // the second finds the guard down again
        QCOMPARE(fill(window.data(), row.request), found ? 1 : 0);
    QCOMPARE(inner, 2);
    const QStringList shown = {first, row.shownDescription, row.shownType, "10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.53"};
    QCOMPARE(texts(window.data(), "InfoLabel"), found ? shown : QStringList(QVector<QString>(7).toList()));
    QCOMPARE(window->statusbar->currentMessage(), QString(found ? "" : "Can't get the adapter information."));
}

void tst_window::input_data()
{
    QTest::addColumn<Input>("row");
    for (const char *text : {"255.192.0.0", "255.255.255.252"})   // 10 and 30 bits: the ends of the range taken
        QTest::addRow("netmask %s", text) << Input{1, text, text, true};
    for (const char *text : {"255.128.0.0", "255.255.255.254", "255.255.255.255", "0.0.0.0", "255.255.255.64", "1.2"})
        QTest::addRow("netmask %s", text) << Input{1, text, text, false};
    QTest::newRow("netmask entered empty") << Input{1, "", "255.255.255.0", true};
    const Input typed[] = {{0, "0.0.0.0", "0.0.0.0", true}, {0, "255.255.255.255", "255.255.255.255", true},
        {0, "192.168.1.1", "192.168.1.1", true}, {0, "1.2.3.4.5", "1.2.3.45", true}, {0, "19a2", "192", false},
        {0, "256", "25", false}, {0, "01", "0", false}, {0, "1..2", "1.2", false}, {0, "1.2.3.", "1.2.3.", false}, {0, "", "", false}};
    const char *names[] = {"IP", "netmask", "gateway", "DNS"};
    for (int field : {0, 2, 3}) {
        for (const Input &row : typed)
            QTest::addRow("%s '%s'", names[field], qPrintable(row.keys)) << Input{field, row.keys, row.shown, row.passes};
    }
}

// Typing is held to a dotted address. Focus leaving a field updates its mark alone; an empty netmask gets a default.
void tst_window::input()
{
    QFETCH(Input, row);
    makeWindow({adapter(first)});
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.data()));
    QLineEdit *edit = fields()[row.field];
    QTest::keyClicks(edit, row.keys);
    edit->setFocus();
    window->refreshPushButton->setFocus();
    QCOMPARE(edit->text(), row.shown);
    QStringList expected = QVector<QString>(4, "Separate by \".\"").toList();
    expected[row.field] = row.passes ? "<font color=\"green\">Right</font>" : "<font color=\"red\">Wrong</font>";
    QCOMPARE(texts(window.data(), "ValidatorLabel"), expected);
}

void tst_window::change_data()
{
    QTest::addColumn<Change>("row");
    const QString w = "writeToSystem", same = "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.53";
    const QString both = "10.0.0.9 255.255.255.0 10.0.0.1 10.0.0.54";
    const QString address = "changing the IP, netmask and gateway !", addressDone = "IP, netmask and gateway change finished.";
    const QString addressFailed = "IP, netmask and gateway change failed. Please try it again.";
    const QString dns = "changing the DNS  !", dnsDone = "DNS changes finished.", dnsFailed = "DNS changes failed. Please try it again.";
    const QString done = "Change finished.Refreshing the addresses information.";
    QTest::newRow("nothing differs") << Change{w, 0, same, "", {done}};
    QTest::newRow("netmask differs") << Change{w, 0, "10.0.0.5 255.255.0.0 10.0.0.1 10.0.0.53", "", {address, addressDone, done}};
    QTest::newRow("gateway differs") << Change{w, 0, "10.0.0.5 255.255.255.0 10.0.0.9 10.0.0.53", "", {address, addressDone, done}};
    QTest::newRow("only DNS differs") << Change{w, 0, "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.54", "", {dns, dnsDone, done}};
    // Written statically, the adapter leaves DHCP: the DNS step then depends on the value.
    QTest::newRow("DHCP, same values") << Change{w, 1, same, "", {address, addressDone, done}};
    QTest::newRow("DHCP kept, same values") << Change{w, 1, same, "address", {address, addressDone, dns, dnsDone, done}};
    QTest::newRow("address refused") << Change{w, 0, both, "address", {address, addressFailed}};
    QTest::newRow("DNS refused") << Change{w, 0, both, "dns", {address, addressDone, dns, dnsFailed}};
    QTest::newRow("netmask judged wrong") << Change{w, 0, "10.0.0.9 255.0.0.0 10.0.0.1 10.0.0.54", "", {}};
    QTest::newRow("to DHCP, fields empty") << Change{"dhcpAddress", 0, "", "", {"Auto distributing ip, netmask, and gateway...",
        "Auto distributing DNS server...", "Dhcp addressed finished. Refreshing the addresses information."}};
}

// A manual change writes each half only where the typed values differ from the panel (or the adapter is on DHCP) and
// judges it by reading back; the switch to DHCP writes both. Only a change carried through starts the refresh, which
// reads the adapter again until it shows an address.
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
    QCOMPARE(messages, row.messages);   // the buttons disabled while it is written
    QVERIFY2(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled(), "buttons left disabled");

    const bool carried = !messages.isEmpty() && messages.last().endsWith("Refreshing the addresses information.");
    const size_t queries = fake::log().adaptersInfoSizes.size();
    window->refreshPushButton->click();
    QCOMPARE(fake::log().adaptersInfoSizes.size() > queries, carried);
    if (row.slot == "dhcpAddress") {   // no lease yet: no address shown, no new message
        QCOMPARE(texts(window.data(), "InfoLabel").mid(2, 2), QStringList({"DHCP", "0.0.0.0"}));
        QCOMPARE(messages, row.messages);
        current.addresses = {{"10.0.0.77", "255.255.255.0"}};
    }
    if (carried)
        QTRY_COMPARE_WITH_TIMEOUT(window->statusbar->currentMessage(), QString("Refreshing information successful."), 5000);
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
