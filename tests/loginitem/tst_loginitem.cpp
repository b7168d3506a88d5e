#include "LaunchAgentBackend.h"
#include "LoginItemManager.h"
#include "TestEnvironment.h"
#include "XdgAutostartBackend.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
QString contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Undoes the string escapes, the argument's quoting and %%; desktop-file-validate checks syntax.
QString execArgument(const QString& entryPath) {
    const QString raw = contents(entryPath).section(u"\nExec="_s, 1).section(u'\n', 0, 0);
    static const QHash<QChar, QChar> escapes{
        {u's', u' '}, {u'n', u'\n'}, {u't', u'\t'}, {u'r', u'\r'}, {u'\\', u'\\'}};
    QString value;
    for (qsizetype i = 0; i < raw.size(); ++i)
        value += raw[i] == u'\\' && i + 1 < raw.size() ? escapes.value(raw[++i], u'?') : raw[i];
    if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
        value = value.mid(1, value.size() - 2).replace(QRegularExpression(uR"(\\(.))"_s), u"\\1"_s);
    return value.replace(u"%%"_s, u"%"_s);
}

QString programArgument(const QString& plistPath) {
    QXmlStreamReader xml(contents(plistPath));
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"array")
            return xml.readNextStartElement() ? xml.readElementText() : QString();
    return {};
}
} // namespace

// Start at login through both back ends, each writing into a folder of the test's own.
class TestLoginItem : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;

    QString path(const QString& sub) const { return dir_->path() + u'/' + sub; }
    std::unique_ptr<QSettings> settings() const {
        return std::make_unique<QSettings>(path(u"halvane.conf"_s), QSettings::IniFormat);
    }
    std::unique_ptr<LoginItemBackend> backend(const QString& kind, QString binary = {}) const {
        if (binary.isEmpty())
            binary = path(u"opt/Vantrel Halvane/halvane"_s);
        if (kind == u"LaunchAgent")
            return std::make_unique<LaunchAgentBackend>(binary, path(u"Agents"_s));
        return std::make_unique<XdgAutostartBackend>(binary, path(u"config"_s));
    }
    // A file where the back end's folder goes stops even root, unlike a read-only folder.
    QString block(const QString& kind) const {
        const QString folder = QFileInfo(backend(kind)->location()).absolutePath();
        return writeFile(folder, "in the way") ? folder : QString();
    }

private Q_SLOTS:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }

    void firstLaunchRegistersOnce_data() {
        QTest::addColumn<bool>("blocked");
        QTest::newRow("registration works") << false;
        QTest::newRow("registration fails") << true;
    }
    void firstLaunchRegistersOnce() {
        QFETCH(bool, blocked);
        const QString inTheWay = blocked ? block(u"xdg"_s) : QString();
        {
            LoginItemManager first(backend(u"xdg"_s), settings());
            QCOMPARE(first.isEnabled(), !blocked);
            if (blocked)
                QVERIFY(QFile::remove(inTheWay)); // the way is clear for the next launch
            else
                first.toggleLoginItem(); // the user switches it off
        }
        LoginItemManager later(backend(u"xdg"_s), settings());
        QVERIFY(!later.isEnabled() && !backend(u"xdg"_s)->isEnabled());
    }

    void toggle_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("blocked");
        for (const char* kind : {"xdg", "LaunchAgent"}) {
            QTest::addRow("%s", kind) << QString::fromLatin1(kind) << false;
            QTest::addRow("%s, failing", kind) << QString::fromLatin1(kind) << true;
        }
    }
    void toggle() {
        QFETCH(QString, kind);
        QFETCH(bool, blocked);
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true); // a later launch
        if (blocked)
            QVERIFY(!block(kind).isEmpty());
        LoginItemManager manager(backend(kind), settings());
        QSignalSpy changed(&manager, &LoginItemManager::isEnabledChanged);
        manager.toggleLoginItem();
        QCOMPARE(manager.isEnabled(), !blocked);
        QCOMPARE(backend(kind)->isEnabled(), !blocked);
        QCOMPARE(changed.count(), blocked ? 0 : 1);
        if (blocked)
            return;
        manager.toggleLoginItem();
        QVERIFY(!manager.isEnabled() && !QFileInfo::exists(backend(kind)->location()));
        // Switched on elsewhere since: the toggle acts on what the system reports.
        QVERIFY(backend(kind)->enable(nullptr));
        manager.toggleLoginItem();
        QVERIFY(!manager.isEnabled() && !backend(kind)->isEnabled());
        QCOMPARE(changed.count(), 2);
    }

    void awkwardPathsReadBack_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("writable");
        const auto rows = [](const char* kind, QStringList names) {
            for (const QString& name : names)
                QTest::addRow("%s: %s", kind, qPrintable(name))
                    << QString::fromLatin1(kind) << name << !name.contains(QChar(1));
        };
        rows("xdg", {"plain", "Vantrel Halvane", "say \"hi\" $HOME", "back\\slash",
                     "it`s & (x); a|b <c> ~d *?#", "it's", "100% %f", "a\tb\nc", "trailing ",
                     "Ünïcødé ✓", u"control\001character"_s});
        rows("LaunchAgent",
             {"Apps & <Tools> \"x\"", "a\rb\nc\td", "&amp;", u"control\001character"_s});
    }
    void awkwardPathsReadBack() {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(bool, writable);
        const QString binary = path(u"opt/"_s + name + u"/halvane"_s);
        const auto item = backend(kind, binary);
        QString error;
        QCOMPARE(item->enable(&error), writable);
        QCOMPARE(item->isEnabled(), writable);
        if (!writable)
            QVERIFY2(error.contains(binary), qPrintable(error));
        else if (kind == u"LaunchAgent")
            QCOMPARE(programArgument(item->location()), binary);
        else
            QCOMPARE(execArgument(item->location()), binary);
        if (!writable || kind == u"LaunchAgent")
            return;
        const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
        if (validator.isEmpty())
            QSKIP("desktop-file-validate (Debian package desktop-file-utils) is not installed: "
                  "the entry was read back but not validated");
        QCOMPARE(QProcess::execute(validator, {item->location()}), 0); // prints its complaint
    }

    void stateIsReadFromTheFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("enabled");
        const auto xdg = [](const char* name, const QByteArray& lines, bool enabled) {
            QTest::addRow("xdg: %s", name) << u"xdg"_s << lines << enabled;
        };
        const QByteArray entry = "[Desktop Entry]\nType=Application\nName=X\nExec=/bin/true\n";
        xdg("hidden", entry + "Hidden = true\n", false);
        xdg("GNOME off", entry + "X-GNOME-Autostart-enabled=false\n", false);
        xdg("hidden in another group", entry + "[Desktop Action x]\nHidden=true\n", true);
        const auto agent = [](const char* name, const QByteArray& keys, bool enabled) {
            QTest::addRow("LaunchAgent: %s", name)
                << u"LaunchAgent"_s
                << "<?xml version=\"1.0\"?><plist><dict>" + keys + "</dict></plist>" << enabled;
        };
        agent("disabled", "<key>RunAtLoad</key><true/><key>Disabled</key><true/>", false);
        agent("unreadable", "<key>RunAtLoad</key><true/><key>", false);
    }
    void stateIsReadFromTheFile() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, contents);
        QFETCH(bool, enabled);
        QVERIFY(writeFile(backend(kind)->location(), contents));
        QCOMPARE(backend(kind)->isEnabled(), enabled);
    }

    void defaultsFollowTheEnvironment() {
        // A relative XDG_CONFIG_HOME is ignored; from an AppImage, start the image, not its mount.
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        const QString image = path(u"Halvane.AppImage"_s);
        QVERIFY(writeFile(image, "#!/bin/sh\n"));
        qputenv("XDG_CONFIG_HOME", "relative/config");
        qputenv("APPIMAGE", image.toUtf8());
        const XdgAutostartBackend backend;
        qputenv("XDG_CONFIG_HOME", config);
        qunsetenv("APPIMAGE");
        QCOMPARE(backend.configDir(), QDir::homePath() + u"/.config"_s);
        QCOMPARE(backend.binaryPath(), image);
    }

    // Last: the process-wide instance registers in this process's private home.
    void sharedInstanceRegistersTheRunningBinary() {
#ifdef Q_OS_LINUX
        QVERIFY(LoginItemManager::shared()->isEnabled());
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        QCOMPARE(execArgument(config + u"/autostart/halvane.desktop"_s),
                 QCoreApplication::applicationFilePath());
        const QSettings stored(config + u"/Halvane/halvane.conf"_s, QSettings::IniFormat);
        QVERIFY(stored.value(LoginItemManager::hasEnabledLoginItemKey).toBool());
#else
        QSKIP("would register in the user's real native settings");
#endif
    }
};

HALVANE_TEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
