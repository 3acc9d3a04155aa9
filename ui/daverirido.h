#pragma once

#include "adapterrecord.h"
#include "ui_daverirido.h"

#include <QMainWindow>
#include <QRegExp>

class QRegExpValidator;
class QTimer;
class windowChanger;

// The main window: shows one adapter's IPv4 configuration and changes it.
class davErirido : public QMainWindow, public Ui_Daverirido
{
    Q_OBJECT

public:
    explicit davErirido(QWidget *parent = nullptr);
    ~davErirido() override;

private slots:
    int getInterfacesInfoToLabel(const QString &adapteName);
    bool lineEditCheck(QWidget *old, QWidget *now = nullptr);
    void writeToSystem();
    void dhcpAddress();
    void timeoutGetAddress();

private:
    QString currentAdapterName() const;
    QString currentConnectionName() const;
    void showStatus(const QString &text);
    void setActionButtonsEnabled(bool enabled);
    // True when the panel shows the IP, netmask and gateway of the list.
    bool panelShowsAddress(const QStringList &addressList) const;

    bool panelBusy;
    windowChanger *changer;
    adapterRecord adapterInfo;
    QRegExpValidator *ipValidator;
    QRegExp ipRegExp;
    QTimer *refreshTimer;
};
