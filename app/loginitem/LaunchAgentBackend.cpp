#include "LaunchAgentBackend.h"

#include "LoginItemFiles.h"

#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

namespace {
void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// XML 1.0 text can carry every character but most C0 controls and U+FFFE/U+FFFF.
bool isXmlCharacter(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x20)
        return u == u'\t' || u == u'\n' || u == u'\r';
    return u != 0xfffe && u != 0xffff;
}

QString escapeXmlText(const QString& text) {
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&':
            out += QStringLiteral("&amp;");
            break;
        case u'<':
            out += QStringLiteral("&lt;");
            break;
        case u'>':
            out += QStringLiteral("&gt;");
            break;
        case u'\r':
            // A literal carriage return would be read back as a line feed.
            out += QStringLiteral("&#13;");
            break;
        default:
            out += c;
        }
    }
    return out;
}
} // namespace

LaunchAgentBackend::LaunchAgentBackend(QString binaryPath, QString agentsDir, QString label)
    : binaryPath_(std::move(binaryPath)), agentsDir_(std::move(agentsDir)),
      label_(std::move(label)) {}

QString LaunchAgentBackend::location() const {
    return agentsDir_ + u'/' + label_ + QStringLiteral(".plist");
}

QString LaunchAgentBackend::propertyList(const QString& label, const QString& binaryPath,
                                         QString* error) {
    if (!QDir::isAbsolutePath(binaryPath)) {
        setError(error,
                 QStringLiteral("The application path \"%1\" is not absolute").arg(binaryPath));
        return {};
    }
    for (const QString& text : {label, binaryPath}) {
        for (const QChar c : text) {
            if (!isXmlCharacter(c)) {
                setError(error, QStringLiteral("\"%1\" holds a character that a property list "
                                               "cannot carry")
                                    .arg(text));
                return {};
            }
        }
    }
    // LimitLoadToSessionType keeps the agent to graphical logins (not ssh sessions).
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\">\n"
                          "<dict>\n"
                          "\t<key>Label</key>\n"
                          "\t<string>%1</string>\n"
                          "\t<key>ProgramArguments</key>\n"
                          "\t<array>\n"
                          "\t\t<string>%2</string>\n"
                          "\t</array>\n"
                          "\t<key>RunAtLoad</key>\n"
                          "\t<true/>\n"
                          "\t<key>LimitLoadToSessionType</key>\n"
                          "\t<string>Aqua</string>\n"
                          "\t<key>ProcessType</key>\n"
                          "\t<string>Interactive</string>\n"
                          "</dict>\n"
                          "</plist>\n")
        .arg(escapeXmlText(label), escapeXmlText(binaryPath));
}

bool LaunchAgentBackend::isEnabled() const {
    QFile file(location());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return false;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("dict"))
        return false;
    bool runAtLoad = false;
    bool disabled = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("key")) {
            xml.skipCurrentElement();
            continue;
        }
        const QString key = xml.readElementText();
        if (!xml.readNextStartElement())
            break;
        if (key == QLatin1String("RunAtLoad"))
            runAtLoad = xml.name() == QLatin1String("true");
        else if (key == QLatin1String("Disabled"))
            disabled = xml.name() == QLatin1String("true");
        xml.skipCurrentElement();
    }
    // A file launchd cannot parse loads nothing, so read it to the end.
    while (!xml.atEnd())
        xml.readNext();
    return !xml.hasError() && runAtLoad && !disabled;
}

bool LaunchAgentBackend::enable(QString* error) {
    const QString plist = propertyList(label_, binaryPath_, error);
    if (plist.isEmpty())
        return false;
    return LoginItemFiles::ensureFolder(agentsDir_, error) &&
           LoginItemFiles::writeAtomically(location(), plist.toUtf8(), error);
}

bool LaunchAgentBackend::disable(QString* error) {
    return LoginItemFiles::removeIfPresent(location(), error);
}
