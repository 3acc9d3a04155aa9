// The Windows program's window and worker on Wine's IP Helper, cmd.exe, registry and SetupAPI, inside the
// network namespace run-wine-test makes. netsh.exe is ours: it records the command line cmd.exe gives it.
#include "application.h"
#include "window.h"
#include "windowchanger.h"

#include <QtTest>
#include <QStyleFactory>

#include <winsock2.h>
#include <iphlpapi.h>

#include <memory>
#include <string>

namespace {

const QString classKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                         "{4D36E972-E325-11CE-BFC1-08002bE10318}";
const QString driverPrefix = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\";
const QString subkey = "0007";

// The 680 x 322 window in device pixels at the DPI run-wine-test gives Wine (LogPixels), scaled by DPI / 96.
const int dpi = qEnvironmentVariableIntValue("VANTOREL_TEST_DPI");
const QMap<int, QSize> deviceSizes = {{96, {680, 322}}, {144, {1020, 483}}};

// GetAdaptersInfo's own name of the adapter, read here without the worker.
QString adapterName(const QString &description)
{
    ULONG size = 0;
    GetAdaptersInfo(nullptr, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    auto *info = reinterpret_cast<IP_ADAPTER_INFO *>(buffer.get());
    for (bool ok = GetAdaptersInfo(info, &size) == ERROR_SUCCESS; ok && info; info = info->Next)
        if (QString::fromLocal8Bit(info->Description) == description)
            return QString::fromLatin1(info->AdapterName);
    return QString();
}

} // namespace

class tst_wine : public QObject
{
    Q_OBJECT

public:
    static void initMain() { vantorel::prepareApplication(); }

private slots:
    void initTestCase()
    {
        QVERIFY2(deviceSizes.contains(dpi), "no expected size for this DPI");
        guid = adapterName(expected.at(0));
        QVERIFY2(!guid.isEmpty(), "GetAdaptersInfo does not report the test's adapter");
        // Set as the program does.
        QApplication::setStyle(QStyleFactory::create("Plastique"));
        qputenv("VANTOREL_NETSH_LOG", netshLog.toLocal8Bit());
        // The adapter's subkey of the class key, which Wine does not have. In a prefix just made, reg.exe now and
        // then can't be started at the first try.
        QTRY_COMPARE_WITH_TIMEOUT(
            QProcess::execute("reg", {"add", classKey + '\\' + subkey, "/v", "NetCfgInstanceId", "/d", guid, "/f"}), 0, 20000);
    }

    // Listed by connection name with GetAdaptersInfo's name as item data. The panel shows what Wine's IP Helper
    // reports (an adapter on DHCP, as Wine says of every one), drawn in the Plastique style and scaled to the DPI;
    // the picture is kept.
    void listAndPanel()
    {
        QVERIFY2(testwindow::openOn(window, guid), "the adapter is not listed under GetAdaptersInfo's name");
        QCOMPARE(window->interfaceComboBox->currentText(), expected.at(0));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "getInterfacesInfoToLabel", Q_ARG(QString, guid)));
        QCOMPARE(testwindow::panel(window.get()), QStringList{"DHCP"} + expected.mid(1));

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(QByteArray(window->interfaceComboBox->style()->metaObject()->className()), QByteArray("QPlastiqueStyle"));
        const QString picture = QCoreApplication::applicationDirPath() + QString("/wine-window-%1dpi.png").arg(dpi);
        QVERIFY2(window->grab().save(picture), qPrintable(picture));
        QCOMPARE(window->grab().size(), deviceSizes.value(dpi));
    }

    // Drawn as on Windows, in a sans-serif dialog font of normal metrics: the form's size at the display's DPI and
    // every text whole. The panel's adapter name is exempt: GetAdaptersInfo's {GUID} is wider than the form's label
    // and has no place to wrap.
    void drawnWhole()
    {
        const QStringList cut = testwindow::cut(window.get(), {"adapterNameInfoLabel"});
        QVERIFY2(cut.isEmpty(), qPrintable(QFontInfo(window->font()).family() + ": " + cut.join(", ")));
        QCOMPARE(window->size(), QSize(680, 322));   // in the window's own units, at every DPI
    }

    // What netsh.exe got from cmd.exe, in order, after cmd.exe split Qt's command line for it: Manual change with
    // the panel's own values.
    void commands()
    {
        QFile::remove(netshLog);
        QVERIFY(testwindow::apply(window.get(), expected.mid(1)));
        QFile log(netshLog);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString name = "netsh interface ip set %1 name=\"" + expected.at(0) + "\" source=static addr=";
        QCOMPARE(QString::fromUtf8(log.readAll()).split("\n", Qt::SkipEmptyParts),
                 QStringList({name.arg("address") + expected.at(1) + " mask=" + expected.at(2) + " gateway="
                                  + expected.at(3) + " gwmetric=1",
                              name.arg("dns") + expected.at(4) + " register=primary"}));
    }

    // The override goes into the registry's class key, in the subkey whose NetCfgInstanceId is the name, and the
    // answer names its driver key. Wine's device set holds no network device: restarting finds none, and nothing
    // failing is true.
    void setMacAndRestart()
    {
        windowChanger changer;
        QCOMPARE(changer.setMac({guid, "02-11-22-33-44-55"}), QStringList({"1", driverPrefix + subkey}));
        QVERIFY(changer.restartCard(driverPrefix + subkey));
    }

    // The deployed folder runs as it stands: its vantorel.exe, started with no Qt folder on any path, shows its
    // window scaled to the DPI and ends with 0 when the window is closed. Its icon group IDI_ICON1 (US English)
    // holds eight images of 4, 8 and 32 bits per pixel.
    void deployed()
    {
        window.reset();   // the only other window titled "Vantorel"
        QProcess program;
        program.start(qEnvironmentVariable("VANTOREL_DEPLOYED"), QStringList());
        QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));
        HWND shown = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((shown = FindWindowW(nullptr, L"Vantorel")) && IsWindowVisible(shown), 30000);
        RECT client;
        GetClientRect(shown, &client);
        PostMessageW(shown, WM_CLOSE, 0, 0);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(QSize(client.right, client.bottom), deviceSizes.value(dpi));

        const std::wstring path = qEnvironmentVariable("VANTOREL_DEPLOYED").toStdWString();
        const HMODULE file =
            LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        const HRSRC found = FindResourceExW(file, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, L"IDI_ICON1",
                                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        QVERIFY2(file && found, "no icon group IDI_ICON1 in US English");
        const auto *group = static_cast<const BYTE *>(LockResource(LoadResource(file, found)));
        // GRPICONDIR: reserved, type, count (WORDs); then 14-byte entries: width, height, colours, reserved (BYTEs),
        // planes, bits per pixel (WORDs), size (DWORD), id (WORD).
        QStringList images;
        for (int i = 0; i < (group[4] | group[5] << 8); ++i) {
            const BYTE *entry = group + 6 + 14 * i;
            images << QString("%1x%2x%3").arg(entry[0]).arg(entry[1]).arg(entry[6] | entry[7] << 8);
        }
        FreeLibrary(file);
        QCOMPARE(images, QStringList({"32x32x4", "16x16x4", "48x48x8", "32x32x8", "16x16x8", "48x48x32", "32x32x32",
                                      "16x16x32"}));
    }

private:
    std::unique_ptr<davErirido> window;
    // What run-wine-test set up: adapter, address, netmask, gateway, DNS server.
    QStringList expected = qEnvironmentVariable("VANTOREL_WINE_ADAPTER").split(' ');
    QString guid;   // GetAdaptersInfo's name of the test's adapter
    QString netshLog = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/netsh.log");
};

QTEST_MAIN(tst_wine)
#include "tst_wine.moc"
