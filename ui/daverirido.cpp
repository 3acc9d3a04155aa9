#include "daverirido.h"
#include "windowchanger.h"

#include <QRegExpValidator>
#include <QTimer>

davErirido::davErirido(QWidget *parent)
    : QMainWindow(parent), panelBusy(false), changer(nullptr), ipValidator(nullptr), refreshTimer(nullptr)
{
    setupUi(this);
}
davErirido::~davErirido() = default;
int davErirido::getInterfacesInfoToLabel(const QString &) { return 0; }
bool davErirido::lineEditCheck(QWidget *, QWidget *) { return true; }
void davErirido::writeToSystem() {}
void davErirido::dhcpAddress() {}
void davErirido::timeoutGetAddress() {}
QString davErirido::currentAdapterName() const { return QString(); }
QString davErirido::currentConnectionName() const { return QString(); }
