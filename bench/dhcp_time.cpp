// Time from "Auto distribute" to "Refreshing information successful." on one
// adapter, as the user sees it: the window's own slots, the real stand-ins and
// a real DHCP server. Each round first puts the adapter back on a static
// address, so that every round starts without a lease.
//
//   bench_dhcp_time <interface> <static ip> <mask> <gateway> <dns> [rounds]
#include "application.h"
#include "daverirido.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStyleFactory>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

int main(int argc, char *argv[])
{
    vantorel::prepareApplication();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    const QStringList args = app.arguments();
    QTextStream out(stdout);
    if (args.size() < 6) {
        out << "usage: bench_dhcp_time <interface> <ip> <mask> <gateway> <dns> [rounds]\n";
        return 2;
    }
    const int rounds = args.size() > 6 ? args.at(6).toInt() : 5;

    davErirido window;
    const int row = window.interfaceComboBox->findData(args.at(1), Qt::UserRole);
    if (row < 0) {
        out << "no adapter " << args.at(1) << "\n";
        return 1;
    }
    window.interfaceComboBox->setCurrentIndex(row);

    QList<qint64> times;
    for (int round = 0; round < rounds; ++round) {
        window.ipLineEdit->setText(args.at(2));
        window.netmaskLineEdit->setText(args.at(3));
        window.gatewayLineEdit->setText(args.at(4));
        window.dns1LineEdit->setText(args.at(5));
        QMetaObject::invokeMethod(&window, "writeToSystem");

        QElapsedTimer clock;
        clock.start();
        QMetaObject::invokeMethod(&window, "dhcpAddress");
        while (window.statusbar->currentMessage() != QLatin1String("Refreshing information successful.")) {
            if (clock.elapsed() > 60000) {
                out << "no lease within 60 s\n";
                return 1;
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        }
        times << clock.elapsed();
        out << "round " << round + 1 << ": " << times.last() << " ms (" << window.ipInfoLabel->text() << ")\n";
        out.flush();
    }
    std::sort(times.begin(), times.end());
    out << "median " << times.at(times.size() / 2) << " ms, min " << times.first() << " ms, max " << times.last()
        << " ms over " << times.size() << " rounds\n";
    return 0;
}
