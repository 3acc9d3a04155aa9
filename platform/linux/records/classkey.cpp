#include "records/classkey.h"
#include "records/records.h"
#include "kernel/rtnl.h"

#include <QFile>
#include <QRegularExpression>
#include <QSettings>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

namespace classkey {

namespace {

// The next instance number to give out. Kept so that a number stays taken
// even if its subkey is deleted by hand.
constexpr const char nextInstance[] = "NextInstance";
constexpr int numbers = 10000;                  // four digits: 0000 to 9999
constexpr off_t maxSize = 64 * 1024;     // some 400 subkeys

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// Gives every interface of the namespace (but loopback) a subkey of its own.
// An interface keeps its subkey for good; a new name gets the next number.
bool keepInStep(const QString &path, QString *error)
{
    sys::Error linkError;
    const std::vector<rtnl::Link> links = rtnl::links(&linkError);
    if (!linkError.empty())
        return check(path, error);   // nothing to bring in step with; the key stays as it is

    const Lock lock(path);
    if (!check(path, error))
        return false;
    QSettings classKey(path, QSettings::IniFormat);
    const QStringList subkeys = classKey.childGroups();
    int next = classKey.value(QLatin1String(nextInstance), 0).toInt();
    for (const QString &subkey : subkeys)
        next = std::max(next, subkey.toInt() + 1);

    for (const rtnl::Link &link : links) {
        if (link.flags & IFF_LOOPBACK)
            continue;
        const QString name = QString::fromStdString(link.name);
        QString subkey = subkeyOf(classKey, name);
        if (subkey.isEmpty()) {
            if (next >= numbers)
                return fail(error, QStringLiteral("The class key %1 has no subkey number left for %2.").arg(path, name));
            subkey = QStringLiteral("%1").arg(next++, 4, 10, QLatin1Char('0'));
            classKey.setValue(key(subkey, instanceId), name);
        }
        // A new interface under a known name is another device: the override
        // and the own address remembered for the old one do not hold for it.
        const QString identity = QString::fromStdString(records::identityOf(link));
        if (classKey.value(key(subkey, linkIdentity)).toString() != identity) {
            classKey.remove(key(subkey, networkAddress));
            classKey.remove(key(subkey, originalAddress));
            classKey.setValue(key(subkey, linkIdentity), identity);
        }
    }
    if (classKey.value(QLatin1String(nextInstance)).toInt() != next)
        classKey.setValue(QLatin1String(nextInstance), next);
    classKey.sync();
    return classKey.status() == QSettings::NoError
        || fail(error, QStringLiteral("The class key %1 can't be written.").arg(path));
}

} // namespace

Lock::Lock(const QString &path)
    : m_file(path + QStringLiteral(".numbering.lock"))
{
    m_file.lock();
}

QString driverKey(const QString &subkey)
{
    // The platform reports the class GUID of this property in lower case.
    return QStringLiteral("{4d36e972-e325-11ce-bfc1-08002be10318}\\") + subkey;
}

QString subkeyOf(const QSettings &classKey, const QString &ifname)
{
    const QStringList subkeys = classKey.childGroups();
    for (const QString &subkey : subkeys) {
        if (classKey.value(key(subkey, instanceId)).toString() == ifname)
            return subkey;
    }
    return QString();
}

bool checkText(const QByteArray &text, QString *error)
{
    // Checked line by line before any settings object sees it: QSettings
    // passes over lines it can't read and drops them when it writes.
    static const QRegularExpression fourDigits(QStringLiteral("^[0-9]{4}$"));
    if (text.contains('\0'))
        return fail(error, QStringLiteral("holds a NUL byte"));
    QString section;
    const QList<QByteArray> lines = text.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        const QString where = QStringLiteral("line %1 ").arg(n + 1);
        if (line.startsWith('[')) {
            section = QString::fromUtf8(line.mid(1, line.size() - 2));
            if (!line.endsWith(']') || line.count(']') != 1)
                return fail(error, where + QStringLiteral("is no [section]"));
            if (section != QLatin1String("General") && !fourDigits.match(section).hasMatch())
                return fail(error, where + QStringLiteral("names a subkey \"%1\" that is no four-digit number")
                                               .arg(section.left(40)));
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq <= 0)
            return fail(error, where + QStringLiteral("is no key=value"));
        if ((section.isEmpty() || section == QLatin1String("General")) && line.left(eq).trimmed() == nextInstance) {
            bool ok = false;
            const int number = line.mid(eq + 1).trimmed().toInt(&ok);
            if (!ok || number < 0 || number > numbers)
                return fail(error, where + QStringLiteral("has a NextInstance that is no number from 0 to %1").arg(numbers));
        }
    }
    return true;
}

bool check(const QString &path, QString *error)
{
    QString why;
    // Opened so that a FIFO or a device can't hold the reader up, and read
    // only when it is a regular file of bounded size.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    QByteArray text;
    if (fd < 0 && errno == ENOENT)
        return true;
    if (fd < 0)
        why = errno == ELOOP ? QStringLiteral("is a symbolic link")
                             : QStringLiteral("can't be read: ") + QString::fromLocal8Bit(std::strerror(errno));
    else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = QStringLiteral("is not a regular file");
    else if (st.st_size > maxSize)
        why = QStringLiteral("is larger than a class key can be");
    if (why.isEmpty()) {
        text.resize(int(st.st_size) + 1);
        const ssize_t n = ::read(fd, text.data(), size_t(text.size()));
        if (n < 0 || n > st.st_size)
            why = QStringLiteral("can't be read whole");
        text.resize(int(std::max<ssize_t>(n, 0)));
    }
    if (fd >= 0)
        ::close(fd);
    if (why.isEmpty() && checkText(text, &why))
        return true;
    return fail(error, QStringLiteral("The class key %1 %2; it is left as it is.").arg(path, why));
}

bool relabel(QSettings &classKey, const QString &subkey, const QString &identity)
{
    classKey.setValue(key(subkey, linkIdentity), identity);
    classKey.sync();
    return classKey.status() == QSettings::NoError;
}

QString file(QString *error)
{
    // A class key moved elsewhere is taken as it is: whoever moved it keeps it.
    QString path = qEnvironmentVariable("VANTOREL_CLASS_KEY");
    if (!path.isEmpty())
        return check(path, error) ? path : QString();
    std::string folderError;
    const std::string dir = records::namespaceDir(&folderError);
    *error = QString::fromStdString(folderError);
    path = QString::fromStdString(dir) + QStringLiteral("/class-key.ini");
    return !dir.empty() && keepInStep(path, error) ? path : QString();
}

} // namespace classkey
