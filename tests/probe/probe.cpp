// Loaded into a started program with LD_PRELOAD, which knows nothing of it: when the program's main window is first
// shown, reports on stderr what a person would see of it, then closes it as a window manager would.
#include <QApplication>
#include <QMainWindow>
#include <QMetaEnum>
#include <QStyle>
#include <QTimer>

namespace {

struct Probe : QObject {
    using QObject::QObject;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *window = qobject_cast<QMainWindow *>(object);
        if (event->type() != QEvent::Show || !window || !window->isWindow())
            return false;
        qApp->removeEventFilter(this);
        const char *scaling = QCoreApplication::testAttribute(Qt::AA_EnableHighDpiScaling)
            ? QMetaEnum::fromType<Qt::HighDpiScaleFactorRoundingPolicy>().valueToKey(int(QGuiApplication::highDpiScaleFactorRoundingPolicy()))
            : "off";
        fprintf(stderr, "probe: shown %s \"%s\", style %s, scaling %s, systemroot %s\n", window->metaObject()->className(),
                qPrintable(window->windowTitle()), window->style()->metaObject()->className(), scaling,
                qgetenv("systemroot").constData());
        // Only a running event loop gets here: a program that never enters it ends without this line.
        QTimer::singleShot(0, window, [window] { fprintf(stderr, "probe: closing\n"); window->close(); });
        return false;
    }
};

void install() { qApp->installEventFilter(new Probe(qApp)); }   // released with the application

} // namespace

Q_COREAPP_STARTUP_FUNCTION(install)
