#include "application.h"
#include "daverirido.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    vantorel::prepareApplication();
    QApplication app(argc, argv);
    // Set before any widget exists, so every widget is drawn in it, whatever
    // style the desktop or the command line asked for.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));

    davErirido window;
    window.show();
    return app.exec();
}
