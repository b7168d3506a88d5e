#include "XdgAutostartBackend.h"

#include "LoginItemFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// Characters that force an Exec argument into double quotes.
bool isReserved(QChar c) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c);
}

// Control characters other than tab, newline and carriage return have no escape in a
// desktop entry's string values.
bool hasUnwritableCharacter(const QString& text) {
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u == 0x7f)
            return true;
    }
    return false;
}

// The general escaping of string values, applied last, on top of the Exec quoting.
QString escapeStringValue(const QString& value) {
    QString out;
    out.reserve(value.size() + 8);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        case u' ':
            // Readers trim the value's ends, so an outer space must be spelled out.
            out += (i == 0 || i == value.size() - 1) ? QStringLiteral("\\s") : QStringLiteral(" ");
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool isTrue(const QString& value) {
    const QString v = value.trimmed();
    return v == QLatin1String("true") || v == QLatin1String("1");
}
bool isFalse(const QString& value) {
    const QString v = value.trimmed();
    return v == QLatin1String("false") || v == QLatin1String("0");
}
} // namespace

XdgAutostartBackend::XdgAutostartBackend(QString binaryPath, QString configDir)
    : binaryPath_(std::move(binaryPath)), configDir_(std::move(configDir)) {}

QString XdgAutostartBackend::location() const {
    return configDir_ + QStringLiteral("/autostart/") + QLatin1String(fileName);
}

QString XdgAutostartBackend::quoteExecArgument(const QString& argument) {
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || isReserved(c);
    if (!needsQuotes)
        return argument;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

QString XdgAutostartBackend::desktopEntry(const QString& binaryPath, QString* error) {
    if (!QDir::isAbsolutePath(binaryPath)) {
        setError(error,
                 QStringLiteral("The application path \"%1\" is not absolute").arg(binaryPath));
        return {};
    }
    if (hasUnwritableCharacter(binaryPath)) {
        setError(error, QStringLiteral("The application path \"%1\" holds a control character that "
                                       "a desktop entry cannot carry")
                            .arg(binaryPath));
        return {};
    }
    QString exec = quoteExecArgument(binaryPath);
    exec.replace(u'%', QStringLiteral("%%"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Vantrel Halvane\n"
                          "Comment=Keeps the Vantrel CLI installed and running\n"
                          "Exec=%1\n"
                          "TryExec=%2\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(escapeStringValue(exec), escapeStringValue(binaryPath));
}

bool XdgAutostartBackend::isEnabled() const {
    QFile file(location());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    bool off = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1);
        if (key == QLatin1String("Hidden") && isTrue(value))
            off = true;
        else if (key == QLatin1String("X-GNOME-Autostart-enabled") && isFalse(value))
            off = true;
    }
    // Sessions ignore a file without the main group, so it starts nothing.
    return sawMainGroup && !off;
}

bool XdgAutostartBackend::enable(QString* error) {
    const QString entry = desktopEntry(binaryPath_, error);
    if (entry.isEmpty())
        return false;
    return LoginItemFiles::ensureFolder(QFileInfo(location()).absolutePath(), error) &&
           LoginItemFiles::writeAtomically(location(), entry.toUtf8(), error);
}

bool XdgAutostartBackend::disable(QString* error) {
    return LoginItemFiles::removeIfPresent(location(), error);
}
