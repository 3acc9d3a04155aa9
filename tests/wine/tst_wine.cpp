// The Windows program's window and worker on Wine's IP Helper, cmd.exe, registry and SetupAPI, inside the
// network namespace run-wine-test makes. netsh.exe is ours: it records the command line cmd.exe gives it.
#include "daverirido.h"
#include "platform.h"
#include "windowchanger.h"

#include <QtTest>
#include <QNetworkInterface>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>

#include <winsock2.h>
#include <iphlpapi.h>
#include <setupapi.h>
#include <devguid.h>

#include <memory>
#include <string>

namespace {

const QString classKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                         "{4D36E972-E325-11CE-BFC1-08002bE10318}";
const QString driverPrefix = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\";
const QString subkey = "0007";

// What run-wine-test set up: "<adapter> <address> <netmask> <gateway> <DNS server>".
QStringList expected()
{
    return qEnvironmentVariable("VANTOREL_WINE_ADAPTER").split(' ');
}

struct AdapterInfo { QString name, macAddress; };

// GetAdaptersInfo's own answer, read here without the worker: the Ethernet adapters by Linux name (Description).
QMap<QString, AdapterInfo> adaptersInfo()
{
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    auto *info = reinterpret_cast<IP_ADAPTER_INFO *>(buffer.get());
    QMap<QString, AdapterInfo> adapters;
    if (GetAdaptersInfo(info, &size) != ERROR_SUCCESS)
        return adapters;
    for (; info; info = info->Next) {
        if (info->Type != MIB_IF_TYPE_ETHERNET)
            continue;
        const QByteArray address(reinterpret_cast<const char *>(info->Address), int(info->AddressLength));
        adapters.insert(QString::fromLocal8Bit(info->Description),
                        {QString::fromLatin1(info->AdapterName), QString(address.toHex('-')).toUpper()});
    }
    return adapters;
}

// The visible top-level window of a process; null when it has none (yet).
HWND windowOf(qint64 processId)
{
    struct Search { DWORD process; HWND found; } search{DWORD(processId), nullptr};
    EnumWindows([](HWND window, LPARAM data) -> BOOL {
        auto *s = reinterpret_cast<Search *>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->process || !IsWindowVisible(window))
            return TRUE;
        s->found = window;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int fill(davErirido *w, const QString &name)
{
    int result = -100;
    QMetaObject::invokeMethod(w, "getInterfacesInfoToLabel", Q_RETURN_ARG(int, result), Q_ARG(QString, name));
    return result;
}

} // namespace

class tst_wine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void list_data();
    void list();
    void panel();
    void commands_data();
    void commands();
    void setMac_data();
    void setMac();
    void restartCard();
    void deployed();
    void icon();

private:
    QStringList netshCommands();

    QScopedPointer<davErirido> window;
    QString guid;   // GetAdaptersInfo's name of the test's adapter
    QString netshLog;
};

void tst_wine::initTestCase()
{
    QCOMPARE(expected().size(), 5);
    guid = adaptersInfo().value(expected().at(0)).name;
    QVERIFY2(!guid.isEmpty(), "GetAdaptersInfo does not report the test's adapter");
    // Set as the program does.
    QApplication::setStyle(QStyleFactory::create("Plastique"));
    QCOMPARE(QByteArray(QApplication::style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));

    netshLog = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/netsh.log");
    qputenv("VANTOREL_NETSH_LOG", netshLog.toLocal8Bit());

    // The adapter's subkey of the class key, which Wine does not have.
    QCOMPARE(QProcess::execute("reg", {"add", classKey + '\\' + subkey, "/v", "NetCfgInstanceId", "/d", guid, "/f"}),
             0);
    window.reset(new davErirido);
}

void tst_wine::init()
{
    QFile::remove(netshLog);
}

// Listed by connection name with GetAdaptersInfo's name as item data; an interface that GetAdaptersInfo does
// not report as Ethernet is left out. The way back from that name finds the interface, by the exact name only,
// and the worker's record carries its hardware address.
void tst_wine::list_data()
{
    QTest::addColumn<QString>("linuxName");
    QTest::addColumn<bool>("listed");
    QTest::newRow("the test's adapter") << expected().at(0) << true;
    QTest::newRow("its peer") << "vwin1" << true;
    QTest::newRow("loopback") << "lo" << false;
}

void tst_wine::list()
{
    QFETCH(QString, linuxName);
    QFETCH(bool, listed);
    const AdapterInfo adapter = adaptersInfo().value(linuxName);
    const QString name = adapter.name;
    const int item = window->interfaceComboBox->findText(linuxName);
    QCOMPARE(item >= 0, listed);
    if (!listed)
        return;
    QVERIFY2(QRegularExpression("^\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}$").match(name).hasMatch(),
             qPrintable(name));
    QCOMPARE(window->interfaceComboBox->itemData(item, Qt::UserRole).toString(), name);
    const QNetworkInterface back = platform::interfaceFromAdapterName(name);
    QCOMPARE(back.humanReadableName(), linuxName);
    QCOMPARE(platform::adapterName(back), name);
    QVERIFY(!platform::interfaceFromAdapterName(name.toLower()).isValid());
    windowChanger changer;
    QCOMPARE(changer.getAddress(name).macAddress, adapter.macAddress);
}

// The panel shows what Wine's IP Helper reports (an adapter on DHCP, as Wine says of every one), drawn in the
// Plastique style; the picture is kept beside the test.
void tst_wine::panel()
{
    const QStringList e = expected();
    window->interfaceComboBox->setCurrentIndex(window->interfaceComboBox->findText(e.at(0)));
    QCOMPARE(fill(window.data(), guid), 1);
    const QStringList shown = {window->adapterNameInfoLabel->text(), window->adapterDescribeInfoLabel->text(),
                               window->addressTypeInfoLabel->text(), window->ipInfoLabel->text(),
                               window->netmaskInfoLabel->text(), window->gatewayInfoLabel->text(),
                               window->dns1InfoLabel->text()};
    QCOMPARE(shown, QStringList({guid, e.at(0), "DHCP", e.at(1), e.at(2), e.at(3), e.at(4)}));

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.data()));
    QCOMPARE(QByteArray(window->interfaceComboBox->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
    const QString picture = QCoreApplication::applicationDirPath() + "/wine-window.png";
    QVERIFY2(window->grab().save(picture), qPrintable(picture));
}

// The command line netsh.exe got from cmd.exe for each command, in order: the command text as cmd.exe passes
// it on after splitting Qt's command line for it.
void tst_wine::commands_data()
{
    const QStringList e = expected();
    const QString name = e.at(0);
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("Manual change, the panel's own values")
        << "writeToSystem" << name
        << QStringList{"netsh interface ip set address name=\"" + name + "\" source=static addr=" + e.at(1) + " mask="
                           + e.at(2) + " gateway=" + e.at(3) + " gwmetric=1",
                       "netsh interface ip set dns name=\"" + name + "\" source=static addr=" + e.at(4)
                           + " register=primary"};
    QTest::newRow("Auto distribute")
        << "dhcpAddress" << name
        << QStringList{"netsh interface ip set address name=\"" + name + "\" source=dhcp",
                       "netsh interface ip set dns name=\"" + name + "\" source=dhcp"};
    // A Linux interface name can't hold a blank, so Wine never shows such a connection name; the worker is
    // handed one directly.
    const QString blanks = "Local Area Connection 2";
    QTest::newRow("worker, a connection name with blanks")
        << "worker" << blanks
        << QStringList{"netsh interface ip set address name=\"" + blanks
                           + "\" source=static addr=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1 gwmetric=1",
                       "netsh interface ip set dns name=\"" + blanks + "\" source=static addr=8.8.8.8 register=primary",
                       "netsh interface ip set address name=\"" + blanks + "\" source=dhcp",
                       "netsh interface ip set dns name=\"" + blanks + "\" source=dhcp"};
}

void tst_wine::commands()
{
    QFETCH(QString, action);
    QFETCH(QString, connection);
    QFETCH(QStringList, commands);
    const QStringList e = expected();
    if (action == "worker") {
        windowChanger changer;
        QVERIFY(changer.setAddress({connection, "192.168.1.10", "255.255.255.0", "192.168.1.1"}));
        QVERIFY(changer.setDns({connection, "8.8.8.8"}));
        QVERIFY(changer.setDhcpAddress(connection));
        QVERIFY(changer.setDhcpDns(connection));
    } else {
        window->interfaceComboBox->setCurrentIndex(window->interfaceComboBox->findText(connection));
        fill(window.data(), guid);
        window->ipLineEdit->setText(e.at(1));
        window->netmaskLineEdit->setText(e.at(2));
        window->gatewayLineEdit->setText(e.at(3));
        window->dns1LineEdit->setText(e.at(4));
        QVERIFY(QMetaObject::invokeMethod(window.data(), qPrintable(action)));
    }
    QCOMPARE(netshCommands(), commands);
}

QStringList tst_wine::netshCommands()
{
    QFile log(netshLog);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split("\n", Qt::SkipEmptyParts);
}

// The override is written into the subkey whose NetCfgInstanceId is the name exactly, and the answer names
// that subkey's driver key; any other name writes nothing.
void tst_wine::setMac_data()
{
    QTest::addColumn<bool>("upperCase");
    QTest::addColumn<bool>("written");
    QTest::newRow("the adapter's name") << true << true;
    QTest::newRow("in lower case") << false << false;
}

void tst_wine::setMac()
{
    QFETCH(bool, upperCase);
    QFETCH(bool, written);
    {
        QSettings key(classKey, QSettings::NativeFormat);
        key.remove(subkey + "/NetworkAddress");
    }
    windowChanger changer;
    QStringList result;
    const QString address = "02-11-22-33-44-55";
    QVERIFY(QMetaObject::invokeMethod(&changer, "setMac", Q_RETURN_ARG(QStringList, result),
                                      Q_ARG(QStringList, QStringList({upperCase ? guid : guid.toLower(), address}))));
    QCOMPARE(result, QStringList({"1", driverPrefix + (written ? subkey : QString())}));
    const QSettings key(classKey, QSettings::NativeFormat);
    QCOMPARE(key.value(subkey + "/NetworkAddress"), written ? QVariant(address) : QVariant());
}

// Wine's device set holds no network device: the adapter's driver key finds none, and nothing failing is true.
void tst_wine::restartCard()
{
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
    QVERIFY(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    const bool anyNetworkDevice = SetupDiEnumDeviceInfo(set, 0, &device);
    SetupDiDestroyDeviceInfoList(set);
    QVERIFY2(!anyNetworkDevice, "Wine's device set has a network device now");

    windowChanger changer;
    bool restarted = false;
    QVERIFY(QMetaObject::invokeMethod(&changer, "restartCard", Q_RETURN_ARG(bool, restarted),
                                      Q_ARG(QString, driverPrefix + subkey)));
    QVERIFY(restarted);
}

// The deployed folder runs as it stands: its vantorel.exe, started with no Qt folder on any path, shows its
// window (kept as a picture beside the test) and ends with 0 when the window is closed.
void tst_wine::deployed()
{
    QProcess program;
    program.start(qEnvironmentVariable("VANTOREL_DEPLOYED"), QStringList());
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));
    HWND window = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((window = windowOf(program.processId())) != nullptr, 30000);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    QCOMPARE(QString::fromWCharArray(title), QString("Vantorel"));
    // Drawn: more than a few colours where the window stands.
    QImage picture;
    const auto colours = [&picture, window] {
        RECT frame;
        GetWindowRect(window, &frame);
        picture = QGuiApplication::primaryScreen()
                      ->grabWindow(0, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top)
                      .toImage();
        QSet<QRgb> seen;
        for (int y = 0; y < picture.height(); y += 4)
            for (int x = 0; x < picture.width(); x += 4)
                seen.insert(picture.pixel(x, y));
        return seen.size();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(colours() > 8, "the deployed program's window stays blank", 15000);
    QTest::qWait(500);   // the last of the drawing
    colours();
    picture.save(QCoreApplication::applicationDirPath() + "/wine-deployed.png");

    PostMessageW(window, WM_CLOSE, 0, 0);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

// The program file's icon group IDI_ICON1 (US English): eight images, 4, 8 and 32 bits per pixel.
void tst_wine::icon()
{
    const std::wstring path = qEnvironmentVariable("VANTOREL_DEPLOYED").toStdWString();
    const HMODULE program =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(program);
    const HRSRC found = FindResourceExW(program, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, L"IDI_ICON1",
                                        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    QVERIFY2(found, "no icon group IDI_ICON1 in US English");
    const auto *group = static_cast<const BYTE *>(LockResource(LoadResource(program, found)));
    QVERIFY(group);
    // GRPICONDIR: reserved, type, count (WORDs); then 14-byte entries: width, height, colours, reserved (BYTEs),
    // planes, bits per pixel (WORDs), size (DWORD), id (WORD).
    QStringList images;
    const int count = group[4] | group[5] << 8;
    for (int i = 0; i < count; ++i) {
        const BYTE *entry = group + 6 + 14 * i;
        images << QString("%1x%2x%3").arg(entry[0]).arg(entry[1]).arg(entry[6] | entry[7] << 8);
    }
    FreeLibrary(program);
    QCOMPARE(images, QStringList({"32x32x4", "16x16x4", "48x48x8", "32x32x8", "16x16x8", "48x48x32", "32x32x32",
                                  "16x16x32"}));
}

QTEST_MAIN(tst_wine)
#include "tst_wine.moc"
