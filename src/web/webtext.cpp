#include "web/webtext.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include <sys/utsname.h>

#include <climits>
#include <cmath>

namespace {

constexpr int kMaxAddressLength = 999;

// Blanks, tabs and line ends at the end go, as does anything below a blank.
QString TrimRight(QString text) {
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) <= QLatin1Char(' '))
        --end;
    text.truncate(end);
    return text;
}

bool ParseDecimal(const QString& text, double* value) {
    // The user's own decimal separator first; the service writes a point,
    // so a point is accepted as well.
    for (QLocale locale : {QLocale::system(), QLocale::c()}) {
        locale.setNumberOptions(QLocale::RejectGroupSeparator);
        bool ok = false;
        const double d = locale.toDouble(text, &ok);
        if (ok && std::isfinite(d)) {
            *value = d;
            return true;
        }
    }
    return false;
}

// Value of an os-release assignment: unquoted, or in single or double
// quotes with backslash escapes inside double quotes.
QString OsReleaseValue(const QString& text, const QString& key) {
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (!line.startsWith(key + QLatin1Char('=')))
            continue;
        const QString value = line.mid(key.size() + 1);
        if (value.size() >= 2 && value.front() == QLatin1Char('\'') && value.back() == QLatin1Char('\''))
            return value.mid(1, value.size() - 2);
        if (value.size() >= 2 && value.front() == QLatin1Char('"') && value.back() == QLatin1Char('"')) {
            QString out;
            for (qsizetype i = 1; i + 1 < value.size(); ++i) {
                if (value.at(i) == QLatin1Char('\\') && i + 2 < value.size())
                    ++i;
                out += value.at(i);
            }
            return out;
        }
        return value;
    }
    return QString();
}

}  // namespace

int ParseVersionFinderReply(const QString& body, int* version, QString* address) {
    if (version)
        *version = 0;
    if (address)
        address->clear();

    const qsizetype at = body.indexOf(QLatin1String("http"));
    if (at < 0)
        return kWebParseError;
    const QString foundAddress = TrimRight(body.mid(at, kMaxAddressLength));

    // The character just before the address is the separating white space.
    QString text = at > 0 ? TrimRight(body.left(at - 1)) : QString();
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    text = text.trimmed();

    bool isInteger = false;
    int found = text.toInt(&isInteger);
    if (!isInteger)
        found = 0;
    if (found < 10) {
        double d = 0;
        if (!ParseDecimal(text, &d))
            return kWebParseError;
        if (d < 100)
            d *= 100;
        const double rounded = std::floor(d + 0.5);
        if (rounded > INT_MAX || rounded < INT_MIN)
            return kWebParseError;
        found = static_cast<int>(rounded);
    }
    if (version)
        *version = found;
    if (address)
        *address = foundAddress;
    return 1;
}

bool IsDownloadAddress(const QString& address) {
    return address.contains(QLatin1String(".exe"));
}

QString FormatComputerInformation(const QString& osRelease, const QString& kernelRelease) {
    QString name = OsReleaseValue(osRelease, QStringLiteral("PRETTY_NAME")).trimmed();
    if (name.isEmpty())
        name = OsReleaseValue(osRelease, QStringLiteral("NAME")).trimmed();
    if (name.isEmpty())
        name = QStringLiteral("Linux");

    // "6.1.0-18-amd64": the leading digits of the first three dotted parts.
    unsigned numbers[3] = {0, 0, 0};
    const QStringList parts = kernelRelease.trimmed().split(QLatin1Char('.'));
    for (int i = 0; i < 3 && i < parts.size(); ++i) {
        static const QRegularExpression leadingDigits(QStringLiteral("^[0-9]{1,9}"));
        const QRegularExpressionMatch m = leadingDigits.match(parts.at(i));
        if (!m.hasMatch())
            break;
        numbers[i] = m.captured(0).toUInt();
    }
    return QStringLiteral("%1 (Version %2.%3 build %4)").arg(name).arg(numbers[0]).arg(numbers[1]).arg(numbers[2]);
}

QString CurrentComputerInformation() {
    QString osRelease;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            osRelease = QString::fromUtf8(file.read(16384));
            break;
        }
    }
    struct utsname uts {};
    QString release;
    if (uname(&uts) == 0)
        release = QString::fromUtf8(uts.release);
    return FormatComputerInformation(osRelease, release);
}

QString WindowsComputerInformation(int platform, unsigned major, unsigned minor, unsigned build,
                                   const QString& servicePack) {
    QString name;
    if (platform == 1) {
        build &= 0xFFFF;
        if (major == 4) {
            if (minor == 0)
                name = QStringLiteral("Windows 95 ");
            else if (minor == 10)
                name = QStringLiteral("Windows 98 ");
            else if (minor == 90)
                name = QStringLiteral("Windows ME ");
        } else {
            name = QStringLiteral("Unknown Win32 ");
        }
    } else if (platform == 2) {
        if (major <= 4)
            name = QStringLiteral("Windows NT %1.%2 ").arg(major).arg(minor);
        else if (major == 5 && minor == 0)
            name = QStringLiteral("Windows 2000 ");
        else if (major == 5 && minor == 1)
            name = QStringLiteral("Windows XP ");
        else if (major == 5 && minor == 2)
            name = QStringLiteral("Windows Server 2003 ");
        else if (major == 6)
            name = QStringLiteral("Windows Vista ");
        else if (major >= 7)
            name = QStringLiteral("Unknown WinNT ");
    } else {
        name = QStringLiteral("Unknown Windows Platform ");
    }
    return name + servicePack + QStringLiteral(" (Version %1.%2 build %3)").arg(major).arg(minor).arg(build);
}
