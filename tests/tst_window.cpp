// The main window against the scripted platform. The adapter table is a file
// that a stand-in cmd.exe (a shell script under a "systemroot" of the test's
// own) changes as the netsh command it is given says, so that the window reads
// back what it wrote; a refused kind of command leaves the table alone.
#include "daverirido.h"
#include "fakeplatform.h"

#include <QtTest>

#include <QNetworkInterface>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace {

// The style that the command line asked for, seen before start-up replaced it.
QByteArray commandLineStyle;

const char cmdScript[] = R"(#!/bin/sh
# cmd.exe /c "netsh interface ip set address|dns name="..." ...": records the
# command, then applies it to the adapter table unless that kind is refused.
root=$(dirname "$0")/..
printf '%s\n' "$2" >> "$root/commands"
case "$2" in
    *" set address "*) kind=address ;;
    *) kind=dns ;;
esac
[ -e "$root/refuse-$kind" ] && exit 1
awk -v cmd="$2" -v kind="$kind" '
function value(key) {
    if (match(cmd, " " key "=[^ ]*"))
        return substr(cmd, RSTART + length(key) + 2, RLENGTH - length(key) - 2)
    return ""
}
BEGIN { FS = OFS = "|"; name = cmd; sub(/^[^"]*"/, "", name); sub(/".*$/, "", name) }
$1 == name && kind == "address" && value("source") == "dhcp" { $5 = 1; $6 = ""; $7 = "" }
$1 == name && kind == "address" && value("source") == "static" { $5 = 0; $6 = value("addr") "/" value("mask"); $7 = value("gateway") }
$1 == name && kind == "dns" { $8 = value("source") == "dhcp" ? "" : value("addr") }
{ print }' "$root/table" > "$root/table.new" && mv "$root/table.new" "$root/table"
)";

const QString cantGet = QStringLiteral("Can't get the adapter information.");
const QString addressStarts = QStringLiteral("changing the IP, netmask and gateway !");
const QString addressDone = QStringLiteral("IP, netmask and gateway change finished.");
const QString addressFailed = QStringLiteral("IP, netmask and gateway change failed. Please try it again.");
const QString dnsStarts = QStringLiteral("changing the DNS  !");
const QString dnsDone = QStringLiteral("DNS changes finished.");
const QString dnsFailed = QStringLiteral("DNS changes failed. Please try it again.");
const QString changeDone = QStringLiteral("Change finished.Refreshing the addresses information.");
const QString rightMark = QStringLiteral("<font color=\"green\">Right</font>");
const QString wrongMark = QStringLiteral("<font color=\"red\">Wrong</font>");
const QString hint = QStringLiteral("Separate by \".\"");

fake::Adapter adapter(const QString &name, unsigned dhcp = 0, const QString &ip = "10.0.0.5",
                      const QString &mask = "255.255.255.0", const QString &gateway = "10.0.0.1",
                      const QString &dns = "10.0.0.53")
{
    fake::Adapter a;
    a.name = name.toStdString();
    a.description = "Gigabit Adapter";
    a.dhcpEnabled = dhcp;
    if (!ip.isEmpty())
        a.addresses = {{ip.toStdString(), mask.toStdString()}};
    if (!gateway.isEmpty())
        a.gateways = {gateway.toStdString()};
    if (!dns.isEmpty())
        a.dnsServers = {dns.toStdString()};
    return a;
}

QString addressCommand(const QString &ip, const QString &mask, const QString &gateway)
{
    return QStringLiteral("netsh interface ip set address name=\"%1\" source=static addr=") + ip
        + " mask=" + mask + " gateway=" + gateway + " gwmetric=1";
}

QString dnsCommand(const QString &dns)
{
    return QStringLiteral("netsh interface ip set dns name=\"%1\" source=static addr=") + dns + " register=primary";
}

// Every adapter query starts with a buffer of exactly one entry.
int adapterQueries()
{
    const auto &sizes = fake::log().adaptersInfoSizes;
    return int(std::count(sizes.begin(), sizes.end(), ULONG(sizeof(IP_ADAPTER_INFO))));
}

} // namespace

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void plastiqueStyle();
    void interfaceList();
    void noMatchingInterface();
    void typing_data();
    void typing();

    void panel_data();
    void panel();
    void notFound_data();
    void notFound();
    void failureMessageOutlivesFill();
    void busyPanel();

    void fieldCheck_data();
    void fieldCheck();
    void netmaskDefault_data();
    void netmaskDefault();
    void focusMoves();

    void writeToSystem_data();
    void writeToSystem();
    void writeWithWrongField_data();
    void writeWithWrongField();
    void dhcpAddress_data();
    void dhcpAddress();
    void refreshBeforeChange();
    void refreshFollowsChosenInterface();

private:
    void writeTable(const std::vector<fake::Adapter> &adapters);
    QStringList commands() const;
    // A window whose status messages are recorded in `messages`, noting
    // whether both action buttons were disabled as each was shown.
    std::unique_ptr<davErirido> makeWindow();
    // Runs a private slot of the window by name.
    void run(const char *slot);

    QTemporaryDir root;
    QString first;         // the first interface the system lists
    QString second;        // the next one, where there is one
    std::unique_ptr<davErirido> window;
    QStringList messages;
    bool buttonsDisabledAtEveryMessage = true;
};

void tst_window::initTestCase()
{
    QVERIFY2(root.isValid(), "no temporary folder");
    QVERIFY(QDir(root.path()).mkdir("system32"));
    QFile cmd(root.filePath("system32/cmd.exe"));
    QVERIFY(cmd.open(QIODevice::WriteOnly));
    cmd.write(cmdScript);
    cmd.close();
    QVERIFY(cmd.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    qputenv("systemroot", root.path().toLocal8Bit());

    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    QVERIFY2(!interfaces.isEmpty(), "the system lists no network interface");
    first = interfaces.at(0).name();
    if (interfaces.size() > 1)
        second = interfaces.at(1).name();
}

void tst_window::init()
{
    fake::reset();
    QFile::remove(root.filePath("commands"));
    QFile::remove(root.filePath("refuse-address"));
    QFile::remove(root.filePath("refuse-dns"));
    writeTable({adapter(first)});
    fake::setTableFile(root.filePath("table").toStdString());
    messages.clear();
    buttonsDisabledAtEveryMessage = true;
}

void tst_window::cleanup()
{
    fake::onAdaptersInfo(nullptr, nullptr);
    window.reset();
}

void tst_window::writeTable(const std::vector<fake::Adapter> &adapters)
{
    fake::writeTableFile(root.filePath("table").toStdString(), adapters);
}

QStringList tst_window::commands() const
{
    QFile file(root.filePath("commands"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

std::unique_ptr<davErirido> tst_window::makeWindow()
{
    auto made = std::make_unique<davErirido>();
    davErirido *w = made.get();
    connect(w->statusbar, &QStatusBar::messageChanged, w, [this, w](const QString &message) {
        if (message.isEmpty())
            return;
        messages << message;
        if (w->writeToSystemPushButton->isEnabled() || w->enableDhcpPushButton->isEnabled())
            buttonsDisabledAtEveryMessage = false;
    });
    return made;
}

void tst_window::run(const char *slot)
{
    QVERIFY2(QMetaObject::invokeMethod(window.get(), slot, Qt::DirectConnection), slot);
}

namespace {

int fill(davErirido *w, const QString &name)
{
    int result = -1;
    if (!QMetaObject::invokeMethod(w, "getInterfacesInfoToLabel", Qt::DirectConnection,
                                   Q_RETURN_ARG(int, result), Q_ARG(QString, name)))
        return -100;
    return result;
}

// 1: right, 0: wrong, -1: the slot could not be invoked.
int check(davErirido *w, QWidget *old, QWidget *now)
{
    bool result = false;
    if (!QMetaObject::invokeMethod(w, "lineEditCheck", Qt::DirectConnection, Q_RETURN_ARG(bool, result),
                                   Q_ARG(QWidget *, old), Q_ARG(QWidget *, now)))
        return -1;
    return result ? 1 : 0;
}

// The four address fields and the marks beside them, in the window's order.
QList<QLineEdit *> fields(const davErirido *w)
{
    return {w->ipLineEdit, w->netmaskLineEdit, w->gatewayLineEdit, w->dns1LineEdit};
}

QList<QLabel *> marks(const davErirido *w)
{
    return {w->ipValidatorLabel, w->netmaskValidatorLabel, w->gatewayValidatorLabel, w->dns1ValidatorLabel};
}

void type(const davErirido *w, const QStringList &values)
{
    for (int i = 0; i < values.size(); ++i)
        fields(w)[i]->setText(values[i]);
}

QStringList markTexts(const davErirido *w)
{
    QStringList texts;
    for (const QLabel *mark : marks(w))
        texts << mark->text();
    return texts;
}

QStringList panelTexts(const davErirido *w)
{
    return {w->adapterNameInfoLabel->text(), w->adapterDescribeInfoLabel->text(), w->addressTypeInfoLabel->text(),
            w->ipInfoLabel->text(), w->netmaskInfoLabel->text(), w->gatewayInfoLabel->text(),
            w->dns1InfoLabel->text()};
}

} // namespace

// Start-up (below, in main) replaces whatever style the command line asked for.
void tst_window::plastiqueStyle()
{
    QVERIFY2(QStyleFactory::keys().contains("Plastique", Qt::CaseInsensitive),
             "the Plastique style plugin (qt5-style-plugins) is not installed");
    QCOMPARE(commandLineStyle, QByteArray("QFusionStyle"));
    window = makeWindow();
    QCOMPARE(QByteArray(window->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
    QCOMPARE(QByteArray(window->ipLineEdit->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
}

// Listed: every interface of the system that the adapter table has as an
// Ethernet adapter, in the system's order, by connection name.
void tst_window::interfaceList()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    std::vector<fake::Adapter> table = {adapter("ghost0")};   // in the table, not in the system
    QList<QNetworkInterface> expected;
    for (int i = 0; i < interfaces.size(); ++i) {
        fake::Adapter a = adapter(interfaces[i].name());
        a.index = unsigned(i + 1);
        a.description = "Adapter " + std::to_string(i);
        if (i % 2)
            a.type = 71;   // wireless: not an Ethernet adapter
        else
            expected << interfaces[i];
        table.insert(table.begin(), a);   // the table's order is not the list's
    }
    writeTable(table);

    window = makeWindow();
    QCOMPARE(window->interfaceComboBox->count(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(window->interfaceComboBox->itemText(i), expected[i].humanReadableName());
        QCOMPARE(window->interfaceComboBox->itemData(i, Qt::UserRole).toString(), expected[i].name());
    }
    QCOMPARE(window->interfaceComboBox->currentIndex(), 0);
    QCOMPARE(window->adapterNameInfoLabel->text(), expected[0].name());
    // One query per interface and one for the panel: selecting the first
    // entry while the list was built ran no refresh.
    QCOMPARE(adapterQueries(), interfaces.size() + 1);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
    for (QWidget *widget : window->findChildren<QWidget *>())
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName() + " is disabled"));
}

void tst_window::noMatchingInterface()
{
    writeTable({adapter("ghost0")});
    window = makeWindow();
    QCOMPARE(window->interfaceComboBox->count(), 0);
    QCOMPARE(window->interfaceComboBox->currentIndex(), -1);
    QCOMPARE(window->statusbar->currentMessage(), cantGet);
    QCOMPARE(panelTexts(window.get()), QVector<QString>(7).toList());
}

void tst_window::typing_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");

    QTest::newRow("address") << "192.168.1.1" << "192.168.1.1";
    QTest::newRow("zeros") << "0.0.0.0" << "0.0.0.0";
    QTest::newRow("highest") << "255.255.255.255" << "255.255.255.255";
    QTest::newRow("letter") << "a" << "";
    QTest::newRow("letter inside") << "19a2" << "192";
    QTest::newRow("part 256") << "256" << "25";
    QTest::newRow("leading zero") << "01" << "0";
    QTest::newRow("two dots") << "1..2" << "1.2";
    QTest::newRow("blank") << "1 2" << "12";
    QTest::newRow("fifth part") << "1.2.3.4.5" << "1.2.3.45";
}

void tst_window::typing()
{
    QFETCH(QString, keys);
    QFETCH(QString, shown);

    window = makeWindow();
    for (QLineEdit *field : fields(window.get())) {
        QTest::keyClicks(field, keys);
        QVERIFY2(field->text() == shown, qPrintable(field->objectName() + " shows " + field->text()));
    }
}

void tst_window::panel_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("dhcpEnabled");
    QTest::addColumn<QString>("shownDescription");
    QTest::addColumn<QString>("shownType");

    QTest::newRow("plain") << "Gigabit Adapter" << 0 << "Gigabit Adapter" << "Manual";
    QTest::newRow("numbered") << "Gigabit Adapter #2" << 0 << "Gigabit Adapter" << "Manual";
    QTest::newRow("miniport") << "Gigabit Adapter - Miniport" << 0 << "Gigabit Adapter" << "Manual";
    QTest::newRow("numbered miniport") << "Gigabit Adapter - Miniport #2" << 0 << "Gigabit Adapter - Miniport" << "Manual";
    QTest::newRow("numbered twice") << "Gigabit Adapter #2 #3" << 0 << "Gigabit Adapter" << "Manual";
    QTest::newRow("hyphen without blank") << "Wi-Fi Adapter" << 0 << "Wi-Fi Adapter" << "Manual";
    QTest::newRow("number first") << " #2 Adapter" << 0 << "" << "Manual";
    QTest::newRow("dhcp") << "Gigabit Adapter" << 1 << "Gigabit Adapter" << "DHCP";
    QTest::newRow("dhcp flag 2") << "Gigabit Adapter" << 2 << "Gigabit Adapter" << "Manual";
}

void tst_window::panel()
{
    QFETCH(QString, description);
    QFETCH(int, dhcpEnabled);
    QFETCH(QString, shownDescription);
    QFETCH(QString, shownType);

    fake::Adapter a = adapter(first, unsigned(dhcpEnabled));
    a.description = description.toStdString();
    a.addresses.push_back({"10.0.1.5", "255.255.0.0"});
    a.gateways.push_back("10.0.1.1");
    a.dnsServers.push_back("10.0.1.53");
    writeTable({a});

    window = makeWindow();
    QCOMPARE(fill(window.get(), first), 1);
    QCOMPARE(panelTexts(window.get()), QStringList({first, shownDescription, shownType, "10.0.0.5",
                                                    "255.255.255.0", "10.0.0.1", "10.0.0.53"}));
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
    QVERIFY2(window->ipLineEdit->text().isEmpty() && window->dns1LineEdit->text().isEmpty(),
             "the panel wrote into a field");
}

void tst_window::notFound_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("failure");

    QTest::newRow("other letter case") << "upper" << "";
    QTest::newRow("unknown name") << "ghost0" << "";
    QTest::newRow("empty name") << "" << "";
    QTest::newRow("not Ethernet") << "first" << "wireless";
    QTest::newRow("DNS query fails") << "first" << "dns";
    QTest::newRow("adapter list fails") << "first" << "list";
}

// A fill that finds nothing usable says so and empties the panel.
void tst_window::notFound()
{
    QFETCH(QString, request);
    QFETCH(QString, failure);

    window = makeWindow();
    QCOMPARE(panelTexts(window.get()).first(), first);

    fake::Adapter a = adapter(first);
    if (failure == "wireless")
        a.type = 71;
    a.dnsFails = failure == "dns";
    writeTable({a});
    if (failure == "list")
        fake::failAdaptersInfoFrom(int(fake::log().adaptersInfoSizes.size()) + 1);
    const QString name = request == "first" ? first : request == "upper" ? first.toUpper() : request;

    QCOMPARE(fill(window.get(), name), 0);
    QCOMPARE(window->statusbar->currentMessage(), cantGet);
    QCOMPARE(panelTexts(window.get()), QVector<QString>(7).toList());
}

// A successful fill leaves an earlier failure message in place.
void tst_window::failureMessageOutlivesFill()
{
    window = makeWindow();
    QCOMPARE(fill(window.get(), "ghost0"), 0);
    writeTable({adapter(first, 0, "10.9.9.9")});
    QCOMPARE(fill(window.get(), first), 1);
    QCOMPARE(window->ipInfoLabel->text(), QStringLiteral("10.9.9.9"));
    QCOMPARE(window->statusbar->currentMessage(), cantGet);
}

// A fill asked for while one is under way does nothing and says so.
void tst_window::busyPanel()
{
    window = makeWindow();
    struct Inner {
        davErirido *window;
        QString name;
        int result = -1;
        QStringList panelBefore, panelAfter;
        QString messageBefore, messageAfter;
    } inner{window.get(), first, -1, {}, {}, {}, {}};
    fake::onAdaptersInfo([](void *context) {
        auto *in = static_cast<Inner *>(context);
        in->panelBefore = panelTexts(in->window);
        in->messageBefore = in->window->statusbar->currentMessage();
        in->result = fill(in->window, "ghost0");
        in->panelAfter = panelTexts(in->window);
        in->messageAfter = in->window->statusbar->currentMessage();
    }, &inner);
    writeTable({adapter(first, 0, "10.9.9.9")});

    QCOMPARE(fill(window.get(), first), 1);
    QCOMPARE(inner.result, 2);
    QCOMPARE(inner.panelAfter, inner.panelBefore);
    QCOMPARE(inner.messageAfter, inner.messageBefore);
    QCOMPARE(window->ipInfoLabel->text(), QStringLiteral("10.9.9.9"));
    // The guard is down again once the fill has ended.
    fake::onAdaptersInfo(nullptr, nullptr);
    QCOMPARE(fill(window.get(), first), 1);
}

void tst_window::fieldCheck_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("passes");

    const QStringList masks = {"255.255.255.252", "255.255.255.248", "255.255.255.240", "255.255.255.224",
                               "255.255.255.192", "255.255.255.128", "255.255.255.0", "255.255.254.0",
                               "255.255.252.0", "255.255.248.0", "255.255.240.0", "255.255.224.0",
                               "255.255.192.0", "255.255.128.0", "255.255.0.0", "255.254.0.0",
                               "255.252.0.0", "255.248.0.0", "255.240.0.0", "255.224.0.0", "255.192.0.0"};
    for (const QString &mask : masks)
        QTest::newRow(qPrintable("netmask " + mask)) << "netmask" << mask << true;
    for (const QString &mask : QStringList{"255.128.0.0", "255.0.0.0", "255.255.255.254", "255.255.255.255", "0.0.0.0",
                                "255.255.255.64", "255.255.255.00", "", "10.0.0.1"})
        QTest::newRow(qPrintable("netmask " + QString(mask))) << "netmask" << QString(mask) << false;

    for (const QString &field : QStringList{"ip", "gateway", "dns1"}) {
        for (const QString &address : QStringList{"0.0.0.0", "255.255.255.255", "10.0.0.1", "255.255.255.0"})
            QTest::newRow(qPrintable(field + " " + address)) << field << address << true;
        for (const QString &address : QStringList{"01.2.3.4", "256.1.1.1", "1.2.3", "1.2.3.4.", "", " 1.2.3.4", "1.2.3.4 "})
            QTest::newRow(qPrintable(field + " '" + address + "'")) << field << address << false;
    }
}

// A field is judged when it loses focus: the mark beside it says right or
// wrong, the other marks stay as they were.
void tst_window::fieldCheck()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(bool, passes);

    window = makeWindow();
    auto *edit = window->findChild<QLineEdit *>(field + "LineEdit");
    edit->setText(text);
    QCOMPARE(check(window.get(), edit, nullptr), passes ? 1 : 0);
    for (QLabel *mark : marks(window.get())) {
        const QString expected = mark->objectName() == field + "ValidatorLabel" ? (passes ? rightMark : wrongMark) : hint;
        QCOMPARE(mark->text(), expected);
    }
    QCOMPARE(edit->text(), text);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
}

void tst_window::netmaskDefault_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("old");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("after");

    QTest::newRow("enters empty netmask") << "" << "ipLineEdit" << "netmaskLineEdit" << "255.255.255.0";
    QTest::newRow("enters from nowhere") << "" << "" << "netmaskLineEdit" << "255.255.255.0";
    QTest::newRow("enters netmask with text") << "255.255.0.0" << "ipLineEdit" << "netmaskLineEdit" << "255.255.0.0";
    QTest::newRow("enters netmask with wrong text") << "1.2" << "ipLineEdit" << "netmaskLineEdit" << "1.2";
    QTest::newRow("no widget gains focus") << "" << "netmaskLineEdit" << "" << "";
    QTest::newRow("another field gains focus") << "" << "netmaskLineEdit" << "gatewayLineEdit" << "";
}

void tst_window::netmaskDefault()
{
    QFETCH(QString, before);
    QFETCH(QString, old);
    QFETCH(QString, now);
    QFETCH(QString, after);

    window = makeWindow();
    window->netmaskLineEdit->setText(before);
    auto widget = [this](const QString &name) { return name.isEmpty() ? nullptr : window->findChild<QWidget *>(name); };
    QVERIFY(check(window.get(), widget(old), widget(now)) >= 0);
    QCOMPARE(window->netmaskLineEdit->text(), after);
}

// Real focus changes reach the check through the application.
void tst_window::focusMoves()
{
    window = makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->ipLineEdit->setText("10.0.0.1");

    window->ipLineEdit->setFocus();
    window->netmaskLineEdit->setFocus();
    QCOMPARE(window->netmaskLineEdit->text(), QStringLiteral("255.255.255.0"));
    QCOMPARE(window->ipValidatorLabel->text(), rightMark);
    QCOMPARE(window->netmaskValidatorLabel->text(), hint);

    // Leaving an empty field marks it wrong.
    window->dns1LineEdit->setFocus();
    window->refreshPushButton->setFocus();
    QCOMPARE(window->dns1ValidatorLabel->text(), wrongMark);

    // Among widgets that are none of the four fields no mark changes.
    const QStringList before = markTexts(window.get());
    for (QWidget *widget : {static_cast<QWidget *>(window->interfaceComboBox),
                            static_cast<QWidget *>(window->writeToSystemPushButton),
                            static_cast<QWidget *>(window->ipInfoLabel),
                            static_cast<QWidget *>(window->enableDhcpPushButton)})
        widget->setFocus();
    QCOMPARE(markTexts(window.get()), before);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
}

void tst_window::writeToSystem_data()
{
    QTest::addColumn<int>("dhcp");          // the adapter's state before
    QTest::addColumn<QStringList>("typed"); // IP, netmask, gateway, DNS
    QTest::addColumn<QString>("refused");   // the kind of command the system refuses
    QTest::addColumn<QStringList>("expectedCommands");
    QTest::addColumn<QStringList>("expectedMessages");
    QTest::addColumn<bool>("refreshes");    // the refresh timer runs afterwards

    const QStringList shown = {"10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.53"};
    const QString address = addressCommand("10.0.0.9", "255.255.255.0", "10.0.0.1");
    const QString dns = dnsCommand("10.0.0.54");

    QTest::newRow("nothing differs") << 0 << shown << "" << QStringList() << QStringList({changeDone}) << true;
    QTest::newRow("IP differs") << 0 << QStringList({"10.0.0.9", "255.255.255.0", "10.0.0.1", "10.0.0.53"}) << ""
                                << QStringList({address}) << QStringList({addressStarts, addressDone, changeDone}) << true;
    QTest::newRow("netmask differs") << 0 << QStringList({"10.0.0.5", "255.255.0.0", "10.0.0.1", "10.0.0.53"}) << ""
                                     << QStringList({addressCommand("10.0.0.5", "255.255.0.0", "10.0.0.1")})
                                     << QStringList({addressStarts, addressDone, changeDone}) << true;
    QTest::newRow("gateway differs") << 0 << QStringList({"10.0.0.5", "255.255.255.0", "10.0.0.254", "10.0.0.53"}) << ""
                                     << QStringList({addressCommand("10.0.0.5", "255.255.255.0", "10.0.0.254")})
                                     << QStringList({addressStarts, addressDone, changeDone}) << true;
    QTest::newRow("only DNS differs") << 0 << QStringList({"10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.54"}) << ""
                                      << QStringList({dns}) << QStringList({dnsStarts, dnsDone, changeDone}) << true;
    QTest::newRow("both differ") << 0 << QStringList({"10.0.0.9", "255.255.255.0", "10.0.0.1", "10.0.0.54"}) << ""
                                 << QStringList({address, dns})
                                 << QStringList({addressStarts, addressDone, dnsStarts, dnsDone, changeDone}) << true;
    // Written statically, the adapter leaves DHCP: the DNS step then runs only
    // when the DNS server differs.
    QTest::newRow("DHCP, same values") << 1 << shown << ""
                                       << QStringList({addressCommand("10.0.0.5", "255.255.255.0", "10.0.0.1")})
                                       << QStringList({addressStarts, addressDone, changeDone}) << true;
    QTest::newRow("DHCP, DNS differs") << 1 << QStringList({"10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.54"}) << ""
                                       << QStringList({addressCommand("10.0.0.5", "255.255.255.0", "10.0.0.1"), dns})
                                       << QStringList({addressStarts, addressDone, dnsStarts, dnsDone, changeDone}) << true;
    // A refused static address leaves the adapter on DHCP with the values
    // typed: the address reads back right, and the DNS step runs too.
    QTest::newRow("DHCP kept, same values") << 1 << shown << "address"
                                            << QStringList({addressCommand("10.0.0.5", "255.255.255.0", "10.0.0.1"),
                                                            dnsCommand("10.0.0.53")})
                                            << QStringList({addressStarts, addressDone, dnsStarts, dnsDone, changeDone})
                                            << true;
    QTest::newRow("address refused") << 0 << QStringList({"10.0.0.9", "255.255.255.0", "10.0.0.1", "10.0.0.54"})
                                     << "address" << QStringList({address})
                                     << QStringList({addressStarts, addressFailed}) << false;
    QTest::newRow("DNS refused") << 0 << QStringList({"10.0.0.9", "255.255.255.0", "10.0.0.1", "10.0.0.54"}) << "dns"
                                 << QStringList({address, dns})
                                 << QStringList({addressStarts, addressDone, dnsStarts, dnsFailed}) << false;
    QTest::newRow("only DNS, refused") << 0 << QStringList({"10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.54"})
                                       << "dns" << QStringList({dns}) << QStringList({dnsStarts, dnsFailed}) << false;
}

// Each half of a manual change runs only where the typed values differ from
// the panel (or the adapter is on DHCP), and is judged by reading back.
void tst_window::writeToSystem()
{
    QFETCH(int, dhcp);
    QFETCH(QStringList, typed);
    QFETCH(QString, refused);
    QFETCH(QStringList, expectedCommands);
    QFETCH(QStringList, expectedMessages);
    QFETCH(bool, refreshes);

    writeTable({adapter(first, unsigned(dhcp))});
    if (!refused.isEmpty()) {
        QFile refuse(root.filePath("refuse-" + refused));
        QVERIFY(refuse.open(QIODevice::WriteOnly));
    }
    window = makeWindow();
    type(window.get(), typed);

    struct Seen {
        davErirido *window;
        bool enabledDuringReadBack = false;
    } seen{window.get()};
    fake::onAdaptersInfo([](void *context) {
        auto *s = static_cast<Seen *>(context);
        if (s->window->writeToSystemPushButton->isEnabled() || s->window->enableDhcpPushButton->isEnabled())
            s->enabledDuringReadBack = true;
    }, &seen);

    run("writeToSystem");

    QStringList wanted;
    for (const QString &command : expectedCommands)
        wanted << command.arg(first);
    QCOMPARE(commands(), wanted);
    QCOMPARE(messages, expectedMessages);
    QVERIFY2(buttonsDisabledAtEveryMessage, "an action button was enabled while the change was written");
    QVERIFY2(!seen.enabledDuringReadBack, "an action button was enabled during a read-back");
    QVERIFY2(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled(),
             "the action buttons were left disabled");
    QCOMPARE(markTexts(window.get()), QStringList({rightMark, rightMark, rightMark, rightMark}));

    // A running refresh timer makes the refresh step read the adapter again.
    fake::onAdaptersInfo(nullptr, nullptr);
    const int queries = adapterQueries();
    run("timeoutGetAddress");
    QCOMPARE(adapterQueries() > queries, refreshes);
}

void tst_window::writeWithWrongField_data()
{
    QTest::addColumn<int>("wrongField");
    QTest::addColumn<QString>("text");

    QTest::newRow("IP") << 0 << "1.2.3";
    QTest::newRow("netmask") << 1 << "255.0.0.0";
    QTest::newRow("gateway") << 2 << "";
    QTest::newRow("DNS") << 3 << "1.2.3.4.";
}

// A wrong field stops the change before anything is written; every field is
// judged all the same.
void tst_window::writeWithWrongField()
{
    QFETCH(int, wrongField);
    QFETCH(QString, text);

    window = makeWindow();
    const QStringList values = {"10.0.0.9", "255.255.255.0", "10.0.0.1", "10.0.0.54"};
    QStringList typed, expectedMarks;
    for (int i = 0; i < values.size(); ++i) {
        typed << (i == wrongField ? text : values[i]);
        expectedMarks << (i == wrongField ? wrongMark : rightMark);
    }
    type(window.get(), typed);
    const int queries = adapterQueries();

    run("writeToSystem");

    QCOMPARE(markTexts(window.get()), expectedMarks);
    QVERIFY2(commands().isEmpty(), qPrintable(commands().join(" / ")));
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
    QCOMPARE(adapterQueries(), queries);
    QVERIFY(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled());
    run("timeoutGetAddress");
    QCOMPARE(adapterQueries(), queries);
}

void tst_window::dhcpAddress_data()
{
    QTest::addColumn<int>("dhcp");
    QTest::newRow("from a static address") << 0;
    QTest::newRow("already on DHCP") << 1;
}

// The switch runs both commands whatever the panel shows; the refresh then
// reports once the adapter has an address.
void tst_window::dhcpAddress()
{
    QFETCH(int, dhcp);

    writeTable({adapter(first, unsigned(dhcp))});
    window = makeWindow();
    run("dhcpAddress");

    const QString head = QStringLiteral("netsh interface ip set %1 name=\"") + first + "\" source=dhcp";
    QCOMPARE(commands(), QStringList({head.arg("address"), head.arg("dns")}));
    QCOMPARE(messages, QStringList({"Auto distributing ip, netmask, and gateway...", "Auto distributing DNS server...",
                                    "Dhcp addressed finished. Refreshing the addresses information."}));
    QVERIFY2(buttonsDisabledAtEveryMessage, "an action button was enabled during the switch");
    QVERIFY(window->writeToSystemPushButton->isEnabled() && window->enableDhcpPushButton->isEnabled());

    // No lease yet: the panel shows no address and the message stays.
    run("timeoutGetAddress");
    QCOMPARE(window->addressTypeInfoLabel->text(), QStringLiteral("DHCP"));
    QCOMPARE(window->ipInfoLabel->text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(messages.size(), 3);

    // The timer goes on by itself and reports the lease when it comes.
    writeTable({adapter(first, 1, "10.0.0.77")});
    QTRY_COMPARE_WITH_TIMEOUT(window->statusbar->currentMessage(), QStringLiteral("Refreshing information successful."), 5000);
    QCOMPARE(window->ipInfoLabel->text(), QStringLiteral("10.0.0.77"));
}

// Before a change has been written, Refresh and a new choice of interface
// leave the panel as it is.
void tst_window::refreshBeforeChange()
{
    std::vector<fake::Adapter> table = {adapter(first)};
    if (!second.isEmpty())
        table.push_back(adapter(second, 1, "10.0.2.5"));
    writeTable(table);
    window = makeWindow();
    const QStringList panel = panelTexts(window.get());
    const int queries = adapterQueries();

    run("timeoutGetAddress");
    window->refreshPushButton->click();
    if (window->interfaceComboBox->count() > 1)
        window->interfaceComboBox->setCurrentIndex(1);

    QCOMPARE(adapterQueries(), queries);
    QCOMPARE(panelTexts(window.get()), panel);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(" / ")));
}

// Once the refresh runs, choosing another interface shows it at once.
void tst_window::refreshFollowsChosenInterface()
{
    if (second.isEmpty())
        QSKIP("the system lists only one network interface");
    writeTable({adapter(first), adapter(second, 1, "10.0.2.5")});
    window = makeWindow();
    QCOMPARE(window->interfaceComboBox->count(), 2);
    type(window.get(), {"10.0.0.5", "255.255.255.0", "10.0.0.1", "10.0.0.53"});
    window->writeToSystemPushButton->click();
    QCOMPARE(messages, QStringList({changeDone}));

    window->interfaceComboBox->setCurrentIndex(1);
    QCOMPARE(window->adapterNameInfoLabel->text(), second);
    QCOMPARE(window->ipInfoLabel->text(), QStringLiteral("10.0.2.5"));
    QCOMPARE(window->statusbar->currentMessage(), QStringLiteral("Refreshing information successful."));
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
    app.setAttribute(Qt::AA_Use96Dpi, true);
    commandLineStyle = QApplication::style()->metaObject()->className();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));

    tst_window test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, count, arguments.data());
}

#include "tst_window.moc"
