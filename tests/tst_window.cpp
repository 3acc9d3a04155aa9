// The main window against the scripted platform, whose adapter table a stand-in cmd.exe changes as the netsh
// command it is given says, so that the window reads back what it wrote; a refused kind changes nothing.
#include "daverirido.h"
#include "fakeplatform.h"

#include <QtTest>

#include <QHostAddress>
#include <QNetworkInterface>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <memory>

namespace {

QByteArray commandLineStyle;   // what the command line asked for, before start-up replaced it

// cmd.exe /c "netsh interface ip set address|dns name=... source=... [addr=...]", on a table of one adapter.
const char cmdScript[] = R"(root=$(dirname "$0")/..
printf '%s\n' "$2" >> "$root/commands"
case "$2" in *" set address "*) kind=address ;; *) kind=dns ;; esac
[ -e "$root/refuse-$kind" ] && exit 1
awk -v cmd="$2" 'BEGIN { FS = OFS = "|"; n = split(cmd, w, " ")
    for (i = 1; i <= n; i++) { split(w[i], kv, "="); v[kv[1]] = kv[2] } }
cmd ~ / set address / { $5 = v["source"] == "dhcp"; $6 = $5 ? "" : v["addr"] "/" v["mask"]; $7 = $5 ? "" : v["gateway"] }
cmd ~ / set dns / { $8 = v["source"] == "dhcp" ? "" : v["addr"] }
{ print }' "$root/table" > "$root/table.new" && mv "$root/table.new" "$root/table"
)";

const QString hint = QStringLiteral("Separate by \".\"");
const QString rightMark = QStringLiteral("<font color=\"green\">Right</font>");
const QString wrongMark = QStringLiteral("<font color=\"red\">Wrong</font>");

fake::Adapter adapter(const QString &name, unsigned dhcp = 0, const std::string &ip = "10.0.0.5")
{
    return {name.toStdString(), "Gigabit Adapter", 1, MIB_IF_TYPE_ETHERNET, dhcp, {{ip, "255.255.255.0"}},
            {"10.0.0.1"}, {"10.0.0.53"}, "", false};
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
struct Panel { QString description; int dhcp; QString request, shownDescription, shownType; bool busy = false; };
// Keys typed into a field (in fields() order), what it then shows and how it is judged.
struct Input { int field; QString keys, shown; bool passes; };
// The slot (by its button) run on an adapter (on DHCP or not) with IP, netmask, gateway and DNS typed; the kind
// of command the system refuses; the steps written, in order; the step that reads back wrong ("field": the
// netmask is wrong, so nothing is tried).
struct Change { QString slot; int dhcp; QString typed, refused; QStringList steps; QString failed; };

} // namespace

Q_DECLARE_METATYPE(Panel)
Q_DECLARE_METATYPE(Input)
Q_DECLARE_METATYPE(Change)

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { fake::onAdaptersInfo(nullptr, nullptr); window.reset(); }
    void startUp();
    void panel_data();
    void panel();
    void input_data();
    void input();
    void change_data();
    void change();

private:
    // A fresh platform and a window over this adapter table (the first interface's adapter when empty), its
    // status messages recorded, noting whether both action buttons were disabled as each was shown.
    void makeWindow(std::vector<fake::Adapter> table = {});
    QList<QLineEdit *> fields() const { return window->findChildren<QLineEdit *>(); }   // IP, netmask, gateway, DNS

    QTemporaryDir root;
    QString first;   // the first interface the system lists
    std::unique_ptr<davErirido> window;
    QStringList messages;
    bool buttonsDisabledAtEveryMessage = true;
};

void tst_window::initTestCase()
{
    QVERIFY(root.isValid() && fake::installCmdExe(root.path(), cmdScript));
    qputenv("systemroot", root.path().toLocal8Bit());
    QVERIFY2(!QNetworkInterface::allInterfaces().isEmpty(), "the system lists no network interface");
    first = QNetworkInterface::allInterfaces().at(0).name();
}

void tst_window::makeWindow(std::vector<fake::Adapter> table)
{
    fake::reset();
    for (const char *file : {"commands", "refuse-address", "refuse-dns"})
        QFile::remove(root.filePath(file));
    const std::string path = root.filePath("table").toStdString();
    fake::writeTableFile(path, table.empty() ? std::vector{adapter(first)} : table);
    fake::setTableFile(path);
    messages.clear();
    buttonsDisabledAtEveryMessage = true;
    window = std::make_unique<davErirido>();
    connect(window->statusbar, &QStatusBar::messageChanged, window.get(), [this](const QString &message) {
        messages << message;
        buttonsDisabledAtEveryMessage &= !window->writeToSystemPushButton->isEnabled()
                                         && !window->enableDhcpPushButton->isEnabled();
    });
}

// Listed: the system's interfaces that the adapter table knows, in the system's order, by connection name, each
// queried once. Drawn in Plastique whatever the command line (see main) asked for. Until a change is written,
// neither Refresh nor choosing another interface reads the adapter again.
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
    QCOMPARE(commandLineStyle, QByteArray("QFusionStyle"));
    QCOMPARE(QByteArray(window->ipLineEdit->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
    const auto &sizes = fake::log().adaptersInfoSizes;
    const auto queries = [&sizes] {   // each starts with room for exactly one entry
        return int(std::count(sizes.begin(), sizes.end(), ULONG(sizeof(IP_ADAPTER_INFO))));
    };
    QCOMPARE(queries(), interfaces.size() + 1);   // and one for the panel
    window->refreshPushButton->click();
    window->interfaceComboBox->setCurrentIndex(window->interfaceComboBox->count() - 1);
    QCOMPARE(queries(), interfaces.size() + 1);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
}

void tst_window::panel_data()
{
    QTest::addColumn<Panel>("row");
    QTest::newRow("plain") << Panel{"Gigabit Adapter", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("numbered") << Panel{"Gigabit Adapter #2", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("miniport") << Panel{"Gigabit Adapter - Miniport", 0, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("numbered miniport") << Panel{"Adapter - Miniport #2", 0, first, "Adapter - Miniport", "Manual"};
    QTest::newRow("hyphen without blank") << Panel{"Wi-Fi Adapter", 0, first, "Wi-Fi Adapter", "Manual"};
    QTest::newRow("number first") << Panel{" #2 Adapter", 0, first, "", "Manual"};
    QTest::newRow("dhcp") << Panel{"Gigabit Adapter", 1, first, "Gigabit Adapter", "DHCP"};
    QTest::newRow("dhcp flag 2") << Panel{"Gigabit Adapter", 2, first, "Gigabit Adapter", "Manual"};
    QTest::newRow("other letter case") << Panel{"Gigabit Adapter", 0, first.toUpper(), "", ""};
    QTest::newRow("unknown name") << Panel{"Gigabit Adapter", 0, "ghost0", "", ""};
    QTest::newRow("empty name") << Panel{"Gigabit Adapter", 0, "", "", ""};
    QTest::newRow("status -1") << Panel{"Gigabit Adapter", -1, first, "", ""};
    QTest::newRow("fill under way") << Panel{"Gigabit Adapter", 0, first, "Gigabit Adapter", "Manual", true};
}

// A fill that finds nothing usable says so and empties the panel. A fill asked
// for while one is under way (here, of an unknown name) does nothing.
void tst_window::panel()
{
    QFETCH(Panel, row);
    fake::Adapter a = adapter(first, unsigned(qMax(row.dhcp, 0)));
    a.description = row.description.toStdString();
    a.dnsFails = row.dhcp < 0;
    makeWindow({a});
    static int inner;
    inner = 0;
    if (row.busy)
        fake::onAdaptersInfo([](void *w) { inner = fill(static_cast<davErirido *>(w), "ghost0"); }, window.get());
    const bool found = !row.shownType.isEmpty();
    for (int pass = 0; pass < 2; ++pass)   // the second finds the guard down again
        QCOMPARE(fill(window.get(), row.request), found ? 1 : 0);
    QCOMPARE(inner, row.busy ? 2 : 0);
    const QStringList shown = {first, row.shownDescription, row.shownType, "10.0.0.5", "255.255.255.0", "10.0.0.1",
                               "10.0.0.53"};
    QCOMPARE(texts(window.get(), "InfoLabel"), found ? shown : QStringList(QVector<QString>(7).toList()));
    QCOMPARE(window->statusbar->currentMessage(), QString(found ? "" : "Can't get the adapter information."));
    QVERIFY2(window->ipLineEdit->text().isEmpty(), "the panel wrote into a field");
}

void tst_window::input_data()
{
    QTest::addColumn<Input>("row");
    for (int prefix = 10; prefix <= 30; ++prefix) {
        const QString mask = QHostAddress(~quint32(0) << (32 - prefix)).toString();
        QTest::addRow("netmask /%d", prefix) << Input{1, mask, mask, true};
    }
    for (const char *text : {"255.128.0.0", "255.255.255.254", "255.255.255.255", "0.0.0.0", "255.255.255.64", "1.2"})
        QTest::addRow("netmask %s", text) << Input{1, text, text, false};
    QTest::newRow("netmask entered empty") << Input{1, "", "255.255.255.0", true};
    const Input typed[] = {{0, "0.0.0.0", "0.0.0.0", true}, {0, "255.255.255.255", "255.255.255.255", true},
        {0, "192.168.1.1", "192.168.1.1", true}, {0, "1.2.3.4.5", "1.2.3.45", true}, {0, "19a2", "192", false},
        {0, "256", "25", false}, {0, "01", "0", false}, {0, "1..2", "1.2", false}, {0, "1.2.3.", "1.2.3.", false},
        {0, "", "", false}};
    const char *names[] = {"IP", "netmask", "gateway", "DNS"};
    for (int field : {0, 2, 3}) {
        for (Input row : typed) {
            row.field = field;
            QTest::addRow("%s '%s'", names[field], qPrintable(row.keys)) << row;
        }
    }
}

// Typing is held to a dotted address. A field is judged when focus leaves it and
// only the mark beside it changes; an empty netmask gets a default as focus enters.
void tst_window::input()
{
    QFETCH(Input, row);
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QLineEdit *edit = fields()[row.field];
    QTest::keyClicks(edit, row.keys);
    edit->setFocus();
    window->refreshPushButton->setFocus();
    QCOMPARE(edit->text(), row.shown);
    QStringList expected = QVector<QString>(4, hint).toList();
    expected[row.field] = row.passes ? rightMark : wrongMark;
    QCOMPARE(texts(window.get(), "ValidatorLabel"), expected);
}

void tst_window::change_data()
{
    QTest::addColumn<Change>("row");
    const QString w = "writeToSystem", same = "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.53";
    const QString both = "10.0.0.9 255.255.255.0 10.0.0.1 10.0.0.54";
    const QStringList address = {"address"}, dns = {"dns"}, dhcp = {"auto address", "auto dns"};
    QTest::newRow("nothing differs") << Change{w, 0, same, "", {}, ""};
    QTest::newRow("IP differs") << Change{w, 0, "10.0.0.9 255.255.255.0 10.0.0.1 10.0.0.53", "", address, ""};
    QTest::newRow("netmask differs") << Change{w, 0, "10.0.0.5 255.255.0.0 10.0.0.1 10.0.0.53", "", address, ""};
    QTest::newRow("gateway differs") << Change{w, 0, "10.0.0.5 255.255.255.0 10.0.0.9 10.0.0.53", "", address, ""};
    QTest::newRow("only DNS differs") << Change{w, 0, "10.0.0.5 255.255.255.0 10.0.0.1 10.0.0.54", "", dns, ""};
    // Written statically, the adapter leaves DHCP: the DNS step then depends on the value.
    QTest::newRow("DHCP, same values") << Change{w, 1, same, "", address, ""};
    QTest::newRow("DHCP kept, same values") << Change{w, 1, same, "address", address + dns, ""};
    QTest::newRow("address refused") << Change{w, 0, both, "address", address, "address"};
    QTest::newRow("DNS refused") << Change{w, 0, both, "dns", address + dns, "dns"};
    QTest::newRow("wrong field") << Change{w, 0, "10.0.0.9 255.0.0.0 10.0.0.1 10.0.0.54", "", {}, "field"};
    QTest::newRow("to DHCP, fields empty") << Change{"dhcpAddress", 0, "", "", dhcp, ""};
    QTest::newRow("DHCP again") << Change{"dhcpAddress", 1, "", "", dhcp, ""};
}

// A manual change writes each half only where the typed values differ from the panel (or the adapter is on
// DHCP) and judges it by reading back; the switch to DHCP writes both whatever the panel shows. A change
// carried through starts the refresh, which reads the adapter again until it shows an address.
void tst_window::change()
{
    QFETCH(Change, row);
    makeWindow({adapter(first, unsigned(row.dhcp))});
    if (!row.refused.isEmpty())
        QVERIFY(QFile(root.filePath("refuse-" + row.refused)).open(QIODevice::WriteOnly));
    const QStringList v = row.typed.split(' ');
    for (int i = 0; i < v.size(); ++i)
        fields()[i]->setText(v[i]);
    (row.slot == "dhcpAddress" ? window->enableDhcpPushButton : window->writeToSystemPushButton)->click();

    // The commands' wording is the worker's; here, which ones ran for which connection. The values written
    // show in the read-back.
    QFile log(root.filePath("commands"));
    log.open(QIODevice::ReadOnly);   // absent when nothing ran
    QStringList written, shown;
    for (const QString &command : QString(log.readAll()).split('\n', Qt::SkipEmptyParts))
        written << QString(command.contains(" source=dhcp") ? "auto " : "") + command.section(' ', 4, 4)
                       + (command.contains(" name=\"" + first + "\" ") ? "" : " elsewhere");
    QCOMPARE(written, row.steps);
    const QMap<QString, QStringList> says = {   // starting, finished, failed
        {"address", {"changing the IP, netmask and gateway !", "IP, netmask and gateway change finished.",
                     "IP, netmask and gateway change failed. Please try it again."}},
        {"dns", {"changing the DNS  !", "DNS changes finished.", "DNS changes failed. Please try it again."}},
        {"auto address", {"Auto distributing ip, netmask, and gateway..."}},
        {"auto dns", {"Auto distributing DNS server..."}}};
    for (const QString &step : row.steps)
        shown << says[step].mid(0, 1) + says[step].mid(step == row.failed ? 2 : 1, 1);
    if (row.failed.isEmpty())
        shown << (row.slot == "dhcpAddress" ? "Dhcp addressed finished. Refreshing the addresses information."
                                             : "Change finished.Refreshing the addresses information.");
    QCOMPARE(messages, shown);
    QVERIFY2(buttonsDisabledAtEveryMessage, "an action button was enabled while the change was written");
    QVERIFY2(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled(),
             "the action buttons were left disabled");
    QStringList marks = QVector<QString>(4, row.slot == "dhcpAddress" ? hint : rightMark).toList();
    marks[1] = row.failed == "field" ? wrongMark : marks[1];
    QCOMPARE(texts(window.get(), "ValidatorLabel"), marks);

    const size_t queries = fake::log().adaptersInfoSizes.size();
    window->refreshPushButton->click();
    QCOMPARE(fake::log().adaptersInfoSizes.size() > queries, row.failed.isEmpty());
    if (row.slot == "dhcpAddress") {   // no lease yet: no address shown, no new message
        QCOMPARE(texts(window.get(), "InfoLabel").mid(2, 2), QStringList({"DHCP", "0.0.0.0"}));
        QCOMPARE(messages, shown);
        fake::writeTableFile(root.filePath("table").toStdString(), {adapter(first, 1, "10.0.0.77")});
    }
    if (!row.failed.isEmpty())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(window->statusbar->currentMessage(), QString("Refreshing information successful."), 5000);
    window->interfaceComboBox->setCurrentIndex(-1);   // choosing (here) no interface refreshes at once
    QCOMPARE(window->statusbar->currentMessage(), QString("Can't get the adapter information."));
}

// As the program starts, with a style asked for on the command line.
int main(int argc, char *argv[])
{
    std::vector<char *> arguments(argv, argv + argc);
    char styleOption[] = "-style", fusion[] = "fusion";
    arguments.insert(arguments.begin() + 1, {styleOption, fusion});
    int count = int(arguments.size());
    arguments.push_back(nullptr);
    QApplication app(count, arguments.data());
    commandLineStyle = QApplication::style()->metaObject()->className();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    tst_window test;
    return QTest::qExec(&test, count, arguments.data());
}

#include "tst_window.moc"
