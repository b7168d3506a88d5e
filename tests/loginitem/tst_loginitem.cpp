#include "Environment.h"
#include "LaunchAgentBackend.h"
#include "LoginItemManager.h"
#include "TestEnvironment.h"
#include "XdgAutostartBackend.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
QString contents(const QString& path) {
    return QString::fromUtf8(readFile(path));
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

private Q_SLOTS:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }

    void registersOnceThenToggles_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("blocked");         // the first registration fails
        QTest::addColumn<QByteArray>("rewritten"); // by someone else, later
        QTest::addColumn<bool>("enabled");         // what the rewritten file says
        const auto row = [](const char* name, const char* kind, bool blocked,
                            const QByteArray& rewritten, bool enabled) {
            QTest::newRow(name) << QString(kind) << blocked << rewritten << enabled;
        };
        const QByteArray entry = "[Desktop Entry]\nType=Application\nName=X\nExec=/bin/true\n";
        const QByteArray agent = "<?xml version=\"1.0\"?><plist><dict><key>RunAtLoad</key><true/>";
        row("xdg, then hidden", "xdg", false, entry + "Hidden = true\n", false);
        row("xdg failing, then GNOME off", "xdg", true, entry + "X-GNOME-Autostart-enabled=false\n",
            false);
        row("xdg, then hidden in another group", "xdg", false,
            entry + "[Desktop Action x]\nHidden=true\n", true);
        row("LaunchAgent, then disabled", "LaunchAgent", false,
            agent + "<key>Disabled</key><true/></dict></plist>", false);
        row("LaunchAgent failing, then unreadable", "LaunchAgent", true,
            agent + "<key></dict></plist>", false);
    }
    void registersOnceThenToggles() {
        QFETCH(QString, kind);
        QFETCH(bool, blocked);
        QFETCH(QByteArray, rewritten);
        QFETCH(bool, enabled);
        // A file where the back end's folder goes stops even root, unlike a read-only folder.
        const QString inTheWay = QFileInfo(backend(kind)->location()).absolutePath();
        QVERIFY(!blocked || writeFile(inTheWay, "in the way"));
        LoginItemManager first(backend(kind), settings());
        QCOMPARE(first.isEnabled(), !blocked);
        QSignalSpy changed(&first, &LoginItemManager::isEnabledChanged);
        first.toggleLoginItem(); // the user switches it off, or fails to switch it on
        QVERIFY(!first.isEnabled() && !QFileInfo(backend(kind)->location()).isFile());
        QCOMPARE(changed.count(), blocked ? 0 : 1);
        QVERIFY(!blocked || QFile::remove(inTheWay)); // the way is clear for later launches
        LoginItemManager later(backend(kind), settings());
        QVERIFY(!later.isEnabled() && !backend(kind)->isEnabled()); // no second registration
        later.toggleLoginItem();
        QVERIFY(later.isEnabled() && backend(kind)->isEnabled());
        // Changed elsewhere since: the toggle acts on what the file says now.
        QVERIFY(writeFile(backend(kind)->location(), rewritten));
        QCOMPARE(backend(kind)->isEnabled(), enabled);
        later.toggleLoginItem();
        QVERIFY(later.isEnabled() != enabled && backend(kind)->isEnabled() != enabled);
    }

    void awkwardPathsReadBack_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        const auto rows = [](const char* kind, QStringList names) {
            for (const QString& name : names)
                QTest::addRow("%s: %s", kind, qPrintable(name)) << QString(kind) << name;
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
        const bool writable = !name.contains(QChar(1)); // no entry can carry a control character
        const QString binary = path(u"opt/"_s + name + u"/halvane"_s);
        const auto item = backend(kind, binary);
        QString error;
        QCOMPARE(item->enable(&error), writable);
        QCOMPARE(item->isEnabled(), writable);
        if (!writable) {
            QVERIFY2(error.contains(binary), qPrintable(error));
        } else if (kind == u"LaunchAgent") {
            QCOMPARE(programArgument(item->location()), binary);
        } else {
            QCOMPARE(execArgument(item->location()), binary);
            const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
            HALVANE_REQUIRE_TOOL(!validator.isEmpty(), "desktop-file-validate");
            QCOMPARE(QProcess::execute(validator, {item->location()}), 0); // prints its complaint
        }
    }

    void defaults() {
        // A relative XDG_CONFIG_HOME is ignored; from an AppImage, start it, not its mount,
        // but an APPIMAGE inherited from another AppImage names someone else.
        const QString image = path(u"Halvane.AppImage"_s);
        QVERIFY(writeFile(image, "#!/bin/sh\n"));
        QProcessEnvironment system;
        system.insert(u"HOME"_s, path(u"home"_s));
        system.insert(u"XDG_CONFIG_HOME"_s, u"relative/config"_s);
        system.insert(u"APPIMAGE"_s, image);
        system.insert(u"APPDIR"_s,
                      QFileInfo(QCoreApplication::applicationDirPath()).absolutePath());
        const auto item = LoginItemBackend::createForPlatform(Environment::fromSystem(system));
#ifdef Q_OS_LINUX
        QCOMPARE(item->location(), path(u"home/.config/autostart/halvane.desktop"_s));
#endif
        QVERIFY(item->enable(nullptr));
        QCOMPARE(execArgument(item->location()), image);
        system.insert(u"APPDIR"_s, u"/tmp/.mount_other"_s);
        QCOMPARE(LoginItemBackend::defaultBinaryPath(Environment::fromSystem(system)),
                 QCoreApplication::applicationFilePath());
    }

#ifdef Q_OS_LINUX
    // Last: the user's instance registers in this process's private home. Elsewhere it would
    // register in the user's real native settings, so it is not built there.
    void theUsersInstance() {
        QVERIFY(LoginItemManager::forUser(Environment::fromProcess())->isEnabled());
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        QCOMPARE(execArgument(config + u"/autostart/halvane.desktop"_s),
                 QCoreApplication::applicationFilePath());
        const QSettings stored(config + u"/Halvane/halvane.conf"_s, QSettings::IniFormat);
        QVERIFY(stored.value(LoginItemManager::hasEnabledLoginItemKey).toBool());
    }
#endif
};

HALVANE_TEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
