#include "TestEnvironment.h"

#include "Console.h"
#include "LaunchAgentBackend.h"
#include "LoginItemManager.h"
#include "XdgAutostartBackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <optional>

namespace {

// --- An independent reader of desktop entries, strict about the escaping rules ------------

// Raw values of the [Desktop Entry] group.
QMap<QString, QString> readDesktopEntry(const QString& path) {
    QMap<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    bool inMain = false;
    for (const QByteArray& rawLine : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(rawLine);
        if (line.startsWith(u'['))
            inMain = line == QLatin1String("[Desktop Entry]");
        else if (inMain && line.contains(u'='))
            values.insert(line.section(u'=', 0, 0).trimmed(), line.section(u'=', 1).trimmed());
    }
    return values;
}

// The general escapes of string values: \s \n \t \r \\ and nothing else.
std::optional<QString> unescapeString(const QString& raw) {
    QString out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != u'\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size())
            return std::nullopt;
        switch (raw[i].unicode()) {
        case u's':
            out += u' ';
            break;
        case u'n':
            out += u'\n';
            break;
        case u't':
            out += u'\t';
            break;
        case u'r':
            out += u'\r';
            break;
        case u'\\':
            out += u'\\';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

// Splits an unescaped Exec value into arguments; nullopt when it breaks a quoting rule or
// holds a field code.
std::optional<QStringList> splitExec(const QString& value) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QStringList args;
    qsizetype i = 0;
    const qsizetype n = value.size();
    while (i < n) {
        if (value[i] == u' ') {
            ++i;
            continue;
        }
        QString arg;
        if (value[i] == u'"') {
            ++i;
            for (;;) {
                if (i >= n)
                    return std::nullopt;
                const QChar c = value[i];
                if (c == u'"') {
                    ++i;
                    break;
                }
                if (c == u'\\') {
                    if (i + 1 < n && QStringLiteral("\"`$\\").contains(value[i + 1])) {
                        arg += value[i + 1];
                        i += 2;
                        continue;
                    }
                    return std::nullopt;
                }
                if (c == u'`' || c == u'$')
                    return std::nullopt;
                arg += c;
                ++i;
            }
            if (i < n && value[i] != u' ')
                return std::nullopt;
        } else {
            while (i < n && value[i] != u' ') {
                if (reserved.contains(value[i]))
                    return std::nullopt;
                arg += value[i++];
            }
        }
        QString literal;
        for (qsizetype k = 0; k < arg.size(); ++k) {
            if (arg[k] != u'%') {
                literal += arg[k];
            } else if (k + 1 < arg.size() && arg[k + 1] == u'%') {
                literal += u'%';
                ++k;
            } else {
                return std::nullopt;
            }
        }
        args << literal;
    }
    return args;
}

// Top-level keys of a property list: strings as text, booleans as "true"/"false", arrays of
// strings joined by '\n'.
std::optional<QMap<QString, QString>> readPropertyList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QXmlStreamReader xml(&file);
    QMap<QString, QString> values;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist") ||
        !xml.readNextStartElement() || xml.name() != QLatin1String("dict"))
        return std::nullopt;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("key"))
            return std::nullopt;
        const QString key = xml.readElementText();
        if (!xml.readNextStartElement())
            return std::nullopt;
        if (xml.name() == QLatin1String("string")) {
            values[key] = xml.readElementText();
        } else if (xml.name() == QLatin1String("true") || xml.name() == QLatin1String("false")) {
            values[key] = xml.name().toString();
            xml.skipCurrentElement();
        } else if (xml.name() == QLatin1String("array")) {
            QStringList items;
            while (xml.readNextStartElement())
                items << xml.readElementText();
            values[key] = items.join(u'\n');
        } else {
            return std::nullopt;
        }
    }
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return std::nullopt;
    return values;
}

// Runs an external checker when it is installed; returns its complaint, or {} when it passed
// or is missing.
QString externalComplaint(const QString& tool, const QStringList& args) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return {};
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(30000))
        return tool + QStringLiteral(" did not finish");
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return tool + QStringLiteral(" rejected the file: ") + QString::fromUtf8(process.readAll());
    return {};
}

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), contents.size());
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
        old_ = qgetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }
    void set(const QByteArray& value) { qputenv(name_, value); }
    void unset() { qunsetenv(name_); }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// A back end whose answers the test decides, counting the calls made to it.
class FakeBackend : public LoginItemBackend {
public:
    struct State {
        bool enabled = false;
        bool enableSucceeds = true;
        bool disableSucceeds = true;
        bool enableTakesEffect = true;
        bool disableTakesEffect = true;
        int enableCalls = 0;
        int disableCalls = 0;
    };
    explicit FakeBackend(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool isEnabled() const override { return state_->enabled; }
    bool enable(QString* error) override {
        ++state_->enableCalls;
        if (!state_->enableSucceeds) {
            *error = QStringLiteral("registration refused");
            return false;
        }
        state_->enabled = state_->enabled || state_->enableTakesEffect;
        return true;
    }
    bool disable(QString* error) override {
        ++state_->disableCalls;
        if (!state_->disableSucceeds) {
            *error = QStringLiteral("unregistration refused");
            return false;
        }
        state_->enabled = state_->enabled && !state_->disableTakesEffect;
        return true;
    }
    QString mechanismName() const override { return QStringLiteral("Fake"); }
    QString location() const override { return QStringLiteral("fake"); }

private:
    std::shared_ptr<State> state_;
};

const QString firstLaunchLine =
    QStringLiteral("🚀 First launch detected, enabling login item by default");

} // namespace

class TestLoginItem : public QObject {
    Q_OBJECT

private:
    QTemporaryDir* dir_ = nullptr;
    QStringList lines_;

    QString configDir() const { return dir_->path() + QStringLiteral("/config"); }
    QString settingsPath() const { return dir_->path() + QStringLiteral("/settings/halvane.conf"); }
    QString binaryPath() const {
        return dir_->path() + QStringLiteral("/opt/Vantrel Halvane/halvane");
    }
    std::unique_ptr<QSettings> settings() const {
        return std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat);
    }
    std::unique_ptr<XdgAutostartBackend> xdg() const {
        return std::make_unique<XdgAutostartBackend>(binaryPath(), configDir());
    }
    QString autostartFile() const {
        return configDir() + QStringLiteral("/autostart/halvane.desktop");
    }
    bool flagStored() const {
        return QSettings(settingsPath(), QSettings::IniFormat)
            .value(LoginItemManager::hasEnabledLoginItemKey, false)
            .toBool();
    }
    // Occupies the autostart folder's place with a regular file, so no entry can be written
    // (a read-only folder would not stop root).
    void blockAutostartFolder() const {
        QDir().mkpath(configDir());
        writeFile(configDir() + QStringLiteral("/autostart"), "not a folder");
    }

private slots:
    void init() {
        dir_ = new QTemporaryDir;
        QVERIFY(dir_->isValid());
        lines_.clear();
        Console::setSink([this](const QString& line) { lines_ << line; });
    }
    void cleanup() {
        Console::setSink({});
        delete dir_;
        dir_ = nullptr;
    }

    // --- XDG autostart ---------------------------------------------------------------------

    void xdgWritesReadsBackAndRemoves() {
        XdgAutostartBackend backend(binaryPath(), configDir());
        QCOMPARE(backend.location(), autostartFile());
        QCOMPARE(backend.mechanismName(), QStringLiteral("XDG autostart"));
        QVERIFY(!backend.isEnabled());

        QString error;
        QVERIFY2(backend.enable(&error), qPrintable(error));
        QVERIFY(backend.isEnabled());
        const auto entry = readDesktopEntry(autostartFile());
        QCOMPARE(entry.value("Type"), QStringLiteral("Application"));
        QCOMPARE(entry.value("Name"), QStringLiteral("Vantrel Halvane"));
        QCOMPARE(entry.value("Terminal"), QStringLiteral("false"));
        QCOMPARE(entry.value("X-GNOME-Autostart-enabled"), QStringLiteral("true"));
        QVERIFY(!entry.value("Comment").isEmpty());
        const QString complaint = externalComplaint("desktop-file-validate", {autostartFile()});
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));

        // Switching on twice rewrites the same entry; no leftovers from the atomic write.
        QVERIFY(backend.enable(&error));
        QCOMPARE(QDir(configDir() + "/autostart").entryList(QDir::Files | QDir::Hidden),
                 QStringList{"halvane.desktop"});

        QVERIFY2(backend.disable(&error), qPrintable(error));
        QVERIFY(!QFileInfo::exists(autostartFile()));
        QVERIFY(!backend.isEnabled());
        QVERIFY2(backend.disable(&error), "switching off what is off succeeds");
    }

    void xdgExecQuoting_data() {
        QTest::addColumn<QString>("subPath");
        QTest::addColumn<bool>("quoted");
        QTest::newRow("plain") << "opt/halvane/bin/halvane" << false;
        QTest::newRow("space") << "opt/Vantrel Halvane/halvane" << true;
        QTest::newRow("quote and dollar") << "opt/say \"hi\" $HOME/halvane" << true;
        QTest::newRow("backslash") << "opt/back\\slash/halvane" << true;
        QTest::newRow("backtick and shell") << "opt/it`s & (x); a|b <c> ~d *?#/halvane" << true;
        QTest::newRow("single quote") << "opt/it's/halvane" << true;
        QTest::newRow("percent") << "opt/100%/halvane %f" << true;
        QTest::newRow("percent unquoted") << "opt/100%/halvane" << false;
        QTest::newRow("tab and newline") << "opt/a\tb\nc/halvane" << true;
        QTest::newRow("trailing space") << "opt/halvane " << true;
        QTest::newRow("unicode") << "opt/Ünïcødé ✓/halvane" << true;
    }
    void xdgExecQuoting() {
        QFETCH(QString, subPath);
        QFETCH(bool, quoted);
        const QString path = dir_->path() + u'/' + subPath;
        XdgAutostartBackend backend(path, configDir());
        QString error;
        QVERIFY2(backend.enable(&error), qPrintable(error));
        QVERIFY(backend.isEnabled());

        const auto entry = readDesktopEntry(autostartFile());
        const auto exec = unescapeString(entry.value("Exec"));
        QVERIFY2(exec, qPrintable(entry.value("Exec")));
        QCOMPARE(exec->startsWith(u'"'), quoted);
        const auto args = splitExec(*exec);
        QVERIFY2(args, qPrintable(*exec));
        QCOMPARE(*args, QStringList{path});
        QCOMPARE(unescapeString(entry.value("TryExec")).value_or(QString()), path);
        const QString complaint = externalComplaint("desktop-file-validate", {autostartFile()});
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    }

    void xdgRefusesUnwritablePaths_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("relative") << "bin/halvane";
        QTest::newRow("control character") << "/opt/a\x01"
                                              "b/halvane";
    }
    void xdgRefusesUnwritablePaths() {
        QFETCH(QString, path);
        XdgAutostartBackend backend(path, configDir());
        QString error;
        QVERIFY(!backend.enable(&error));
        QVERIFY(error.contains(path));
        QVERIFY(!QFileInfo::exists(autostartFile()));
    }

    void xdgStateIsReadFromTheFile_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("enabled");
        const QByteArray head = "[Desktop Entry]\nType=Application\nName=X\nExec=/bin/true\n";
        QTest::newRow("minimal") << head << true;
        QTest::newRow("hidden") << head + "Hidden=true\n" << false;
        QTest::newRow("hidden, spaced") << head + "Hidden = true \n" << false;
        QTest::newRow("not hidden") << head + "Hidden=false\n" << true;
        QTest::newRow("gnome off") << head + "X-GNOME-Autostart-enabled=false\n" << false;
        QTest::newRow("gnome on") << head + "X-GNOME-Autostart-enabled=true\n" << true;
        QTest::newRow("hidden in another group") << head + "[Desktop Action x]\nHidden=true\n"
                                                 << true;
        QTest::newRow("comment") << head + "# Hidden=true\n" << true;
        QTest::newRow("no main group") << QByteArray("Type=Application\nExec=/bin/true\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void xdgStateIsReadFromTheFile() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, enabled);
        writeFile(autostartFile(), contents);
        QCOMPARE(XdgAutostartBackend(binaryPath(), configDir()).isEnabled(), enabled);
    }

    void xdgEnableReplacesAHiddenEntry() {
        writeFile(autostartFile(), "[Desktop Entry]\nType=Application\nExec=/old\nHidden=true\n");
        XdgAutostartBackend backend(binaryPath(), configDir());
        QVERIFY(!backend.isEnabled());
        QString error;
        QVERIFY2(backend.enable(&error), qPrintable(error));
        QVERIFY(backend.isEnabled());
        QVERIFY(!readDesktopEntry(autostartFile()).contains("Hidden"));
    }

    void xdgConfigHome_data() {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("used");
        QTest::newRow("absolute") << true << "/tmp/halvane-xdg-abs" << true;
        QTest::newRow("absolute, trailing slash") << true << "/tmp/halvane-xdg-abs/" << true;
        QTest::newRow("empty") << true << "" << false;
        QTest::newRow("relative") << true << "relative/config" << false;
        QTest::newRow("unset") << false << "" << false;
    }
    void xdgConfigHome() {
        QFETCH(bool, set);
        QFETCH(QString, value);
        QFETCH(bool, used);
        ScopedEnv env("XDG_CONFIG_HOME");
        if (set)
            env.set(value.toUtf8());
        else
            env.unset();
        const QString expected =
            used ? QStringLiteral("/tmp/halvane-xdg-abs") : QDir::homePath() + "/.config";
        QCOMPARE(XdgAutostartBackend::defaultConfigDir(), expected);
        QCOMPARE(XdgAutostartBackend(binaryPath()).location(),
                 expected + QStringLiteral("/autostart/halvane.desktop"));
    }

    void xdgBlockedFolderIsReported() {
        blockAutostartFolder();
        XdgAutostartBackend backend(binaryPath(), configDir());
        QString error;
        QVERIFY(!backend.enable(&error));
        QVERIFY2(error.contains(configDir() + "/autostart") && error.contains("not a folder"),
                 qPrintable(error));
        QVERIFY(!backend.isEnabled());
    }

    void xdgEntryInTheWayOfRemovalIsReported() {
        QDir().mkpath(autostartFile());
        XdgAutostartBackend backend(binaryPath(), configDir());
        QString error;
        QVERIFY(!backend.disable(&error));
        QVERIFY2(error.contains(autostartFile()), qPrintable(error));
    }

    void defaultBinaryPath() {
        ScopedEnv env("APPIMAGE");
        env.unset();
        QCOMPARE(XdgAutostartBackend().binaryPath(), QCoreApplication::applicationFilePath());
        const QString image = dir_->path() + "/Halvane.AppImage";
        writeFile(image, "#!/bin/sh\n");
        env.set(image.toUtf8());
        QCOMPARE(XdgAutostartBackend().binaryPath(), image);
        QCOMPARE(LaunchAgentBackend().binaryPath(), image);
        // A stale or bogus value is not trusted.
        env.set("relative.AppImage");
        QCOMPARE(XdgAutostartBackend().binaryPath(), QCoreApplication::applicationFilePath());
    }

    // --- LaunchAgent -----------------------------------------------------------------------

    void launchAgentWritesReadsBackAndRemoves() {
        const QString agents = dir_->path() + "/Library/LaunchAgents";
        const QString path = dir_->path() + "/Apps & <Tools>/Vantrel \"Halvane\".app/halvane";
        LaunchAgentBackend backend(path, agents);
        QCOMPARE(backend.location(), agents + "/dev.halvane.app.plist");
        QCOMPARE(backend.mechanismName(), QStringLiteral("LaunchAgent"));
        QVERIFY(!backend.isEnabled());

        QString error;
        QVERIFY2(backend.enable(&error), qPrintable(error));
        QVERIFY(backend.isEnabled());
        const auto plist = readPropertyList(backend.location());
        QVERIFY(plist);
        QCOMPARE(plist->value("Label"), QStringLiteral("dev.halvane.app"));
        QCOMPARE(plist->value("ProgramArguments"), path);
        QCOMPARE(plist->value("RunAtLoad"), QStringLiteral("true"));
        const QString complaint = externalComplaint("xmllint", {"--noout", backend.location()});
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));

        QVERIFY2(backend.disable(&error), qPrintable(error));
        QVERIFY(!QFileInfo::exists(backend.location()));
        QVERIFY(!backend.isEnabled());
        QVERIFY(backend.disable(&error));
    }

    void launchAgentKeepsAwkwardPaths_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("carriage return") << "/Applications/a\rb/halvane";
        QTest::newRow("newline and tab") << "/Applications/a\nb\tc/halvane";
        QTest::newRow("entities") << "/Applications/&amp; &lt;/halvane";
        QTest::newRow("control character refused") << "/Applications/a\x02/halvane";
    }
    void launchAgentKeepsAwkwardPaths() {
        QFETCH(QString, path);
        LaunchAgentBackend backend(path, dir_->path() + "/agents");
        QString error;
        const bool writable = !path.contains(QChar(2));
        QCOMPARE(backend.enable(&error), writable);
        if (!writable) {
            QVERIFY(error.contains(path));
            QVERIFY(!QFileInfo::exists(backend.location()));
            return;
        }
        const auto plist = readPropertyList(backend.location());
        QVERIFY(plist);
        QCOMPARE(plist->value("ProgramArguments"), path);
    }

    void launchAgentStateIsReadFromTheFile_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("enabled");
        const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                "version=\"1.0\"><dict><key>Label</key><string>x</string>";
        QTest::newRow("run at load") << head + "<key>RunAtLoad</key><true/></dict></plist>" << true;
        QTest::newRow("not at load")
            << head + "<key>RunAtLoad</key><false/></dict></plist>" << false;
        QTest::newRow("no run at load") << head + "</dict></plist>" << false;
        QTest::newRow("disabled")
            << head + "<key>RunAtLoad</key><true/><key>Disabled</key><true/></dict></plist>"
            << false;
        QTest::newRow("nested run at load")
            << head + "<key>X</key><dict><key>RunAtLoad</key><true/></dict></dict></plist>"
            << false;
        QTest::newRow("truncated") << head + "<key>RunAtLoad</key><true/></dict>" << false;
        QTest::newRow("garbage") << QByteArray("RunAtLoad true") << false;
    }
    void launchAgentStateIsReadFromTheFile() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, enabled);
        const QString agents = dir_->path() + "/agents";
        writeFile(agents + "/dev.halvane.app.plist", contents);
        QCOMPARE(LaunchAgentBackend(binaryPath(), agents).isEnabled(), enabled);
    }

    void launchAgentBlockedFolderIsReported() {
        writeFile(dir_->path() + "/Library", "not a folder");
        LaunchAgentBackend backend(binaryPath(), dir_->path() + "/Library/LaunchAgents");
        QString error;
        QVERIFY(!backend.enable(&error));
        QVERIFY2(error.contains(dir_->path() + "/Library") && error.contains("not a folder"),
                 qPrintable(error));
        QVERIFY(!backend.isEnabled());
    }

    void platformBackend() {
        const auto backend = LoginItemBackend::createForPlatform();
#ifdef Q_OS_MACOS
        QCOMPARE(backend->mechanismName(), QStringLiteral("LaunchAgent"));
        QCOMPARE(backend->location(),
                 QDir::homePath() + "/Library/LaunchAgents/dev.halvane.app.plist");
#else
        QCOMPARE(backend->mechanismName(), QStringLiteral("XDG autostart"));
        QCOMPARE(backend->location(),
                 XdgAutostartBackend::defaultConfigDir() + "/autostart/halvane.desktop");
#endif
    }

    // --- The manager -----------------------------------------------------------------------

    void firstLaunchRegistersOnce() {
        LoginItemManager first(xdg(), settings());
        QCOMPARE(lines_, (QStringList{firstLaunchLine,
                                      "🔧 Login item enabled by default using XDG autostart"}));
        QVERIFY(first.isEnabled());
        QVERIFY(flagStored());
        QVERIFY(XdgAutostartBackend(binaryPath(), configDir()).isEnabled());

        // A later launch, even while the first one is still around: nothing happens.
        lines_.clear();
        auto state = std::make_shared<FakeBackend::State>();
        state->enabled = true;
        LoginItemManager second(std::make_unique<FakeBackend>(state), settings());
        QCOMPARE(lines_, QStringList{});
        QCOMPARE(state->enableCalls + state->disableCalls, 0);
        QVERIFY(second.isEnabled());
    }

    void laterLaunchTakesTheStatusAlone() {
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true);
        for (const bool enabled : {false, true}) {
            auto state = std::make_shared<FakeBackend::State>();
            state->enabled = enabled;
            LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
            QCOMPARE(manager.isEnabled(), enabled);
            QCOMPARE(state->enableCalls + state->disableCalls, 0);
        }
        QCOMPARE(lines_, QStringList{});
    }

    void usersOffIsKeptAcrossLaunches() {
        {
            LoginItemManager manager(xdg(), settings());
            QVERIFY(manager.isEnabled());
            QSignalSpy changed(&manager, &LoginItemManager::isEnabledChanged);
            lines_.clear();
            manager.toggleLoginItem();
            QCOMPARE(lines_, QStringList{"🔧 Login item disabled using XDG autostart"});
            QVERIFY(!manager.isEnabled());
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.first().first().toBool(), false);
            QVERIFY(!QFileInfo::exists(autostartFile()));
        }
        for (int launch = 0; launch < 2; ++launch) {
            lines_.clear();
            LoginItemManager manager(xdg(), settings());
            QCOMPARE(lines_, QStringList{});
            QVERIFY(!manager.isEnabled());
            QVERIFY(!QFileInfo::exists(autostartFile()));
        }
    }

    void failedFirstRegistrationIsReportedAndNotRetried() {
        blockAutostartFolder();
        {
            LoginItemManager manager(xdg(), settings());
            QCOMPARE(lines_.size(), 2);
            QCOMPARE(lines_[0], firstLaunchLine);
            QVERIFY2(lines_[1].startsWith("❌ Failed to enable login item by default: Could not "
                                          "create the folder " +
                                          configDir() + "/autostart"),
                     qPrintable(lines_[1]));
            QVERIFY(!manager.isEnabled());
            QVERIFY(flagStored());
        }
        // Even once the way is clear, the next launch prints nothing and registers nothing.
        QVERIFY(QFile::remove(configDir() + "/autostart"));
        lines_.clear();
        LoginItemManager manager(xdg(), settings());
        QCOMPARE(lines_, QStringList{});
        QVERIFY(!manager.isEnabled());
        QVERIFY(!QFileInfo::exists(autostartFile()));

        // The user can still switch it on from the menu.
        manager.toggleLoginItem();
        QCOMPARE(lines_, QStringList{"🔧 Login item enabled using XDG autostart"});
        QVERIFY(manager.isEnabled());
    }

    void firstLaunchAcceptedButNotEnabled() {
        auto state = std::make_shared<FakeBackend::State>();
        state->enableTakesEffect = false;
        LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
        QCOMPARE(lines_,
                 (QStringList{firstLaunchLine, "🔧 Login item enabled by default using Fake"}));
        QCOMPARE(state->enableCalls, 1);
        QVERIFY(!manager.isEnabled());
        QVERIFY(flagStored());
    }

    void toggleReadsTheStatusBack() {
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true);
        LoginItemManager manager(xdg(), settings());
        QVERIFY(!manager.isEnabled());
        QSignalSpy changed(&manager, &LoginItemManager::isEnabledChanged);

        manager.toggleLoginItem();
        QVERIFY(manager.isEnabled());
        QVERIFY(XdgAutostartBackend(binaryPath(), configDir()).isEnabled());
        manager.toggleLoginItem();
        QVERIFY(!manager.isEnabled());
        QVERIFY(!QFileInfo::exists(autostartFile()));
        QCOMPARE(lines_, (QStringList{"🔧 Login item enabled using XDG autostart",
                                      "🔧 Login item disabled using XDG autostart"}));
        QCOMPARE(changed.count(), 2);
    }

    void toggleFollowsTheSystemNotTheFlag_data() {
        QTest::addColumn<bool>("enabledBefore");
        QTest::addColumn<bool>("takesEffect");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("enabledAfter");
        QTest::newRow("accepted, not enabled")
            << false << false << "🔧 Login item enabled using Fake" << false;
        QTest::newRow("accepted, still enabled")
            << true << false << "🔧 Login item disabled using Fake" << true;
        QTest::newRow("enabled") << false << true << "🔧 Login item enabled using Fake" << true;
        QTest::newRow("disabled") << true << true << "🔧 Login item disabled using Fake" << false;
    }
    void toggleFollowsTheSystemNotTheFlag() {
        QFETCH(bool, enabledBefore);
        QFETCH(bool, takesEffect);
        QFETCH(QString, line);
        QFETCH(bool, enabledAfter);
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true);
        auto state = std::make_shared<FakeBackend::State>();
        state->enabled = enabledBefore;
        state->enableTakesEffect = state->disableTakesEffect = takesEffect;
        LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
        manager.toggleLoginItem();
        QCOMPARE(lines_, QStringList{line});
        QCOMPARE(state->enableCalls, enabledBefore ? 0 : 1);
        QCOMPARE(state->disableCalls, enabledBefore ? 1 : 0);
        QCOMPARE(manager.isEnabled(), enabledAfter);
    }

    void toggleAsksTheSystemFirst() {
        // Switched on elsewhere (e.g. in the desktop's settings) after the manager started:
        // the toggle acts on what the system reports, so it switches off.
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true);
        auto state = std::make_shared<FakeBackend::State>();
        LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
        state->enabled = true;
        QVERIFY(!manager.isEnabled());
        manager.toggleLoginItem();
        QCOMPARE(state->disableCalls, 1);
        QCOMPARE(lines_, QStringList{"🔧 Login item disabled using Fake"});
        QVERIFY(!manager.isEnabled());
    }

    void failedToggleKeepsTheFlag() {
        settings()->setValue(LoginItemManager::hasEnabledLoginItemKey, true);
        {
            blockAutostartFolder();
            LoginItemManager manager(xdg(), settings());
            QSignalSpy changed(&manager, &LoginItemManager::isEnabledChanged);
            manager.toggleLoginItem();
            QCOMPARE(lines_.size(), 1);
            QVERIFY2(lines_[0].startsWith("❌ Failed to toggle login item: Could not create the "
                                          "folder "),
                     qPrintable(lines_[0]));
            QVERIFY(!manager.isEnabled());
            QCOMPARE(changed.count(), 0);
        }
        lines_.clear();
        auto state = std::make_shared<FakeBackend::State>();
        state->enabled = true;
        state->disableSucceeds = false;
        LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
        QSignalSpy changed(&manager, &LoginItemManager::isEnabledChanged);
        manager.toggleLoginItem();
        QCOMPARE(lines_, QStringList{"❌ Failed to toggle login item: unregistration refused"});
        QVERIFY(manager.isEnabled());
        QCOMPARE(changed.count(), 0);
    }

    void toggleLeavesTheFirstLaunchFlagAlone() {
        auto state = std::make_shared<FakeBackend::State>();
        LoginItemManager manager(std::make_unique<FakeBackend>(state), settings());
        manager.settings().remove(LoginItemManager::hasEnabledLoginItemKey);
        manager.toggleLoginItem();
        manager.toggleLoginItem();
        manager.settings().sync();
        QVERIFY(!manager.settings().contains(LoginItemManager::hasEnabledLoginItemKey));
        QVERIFY(!QSettings(settingsPath(), QSettings::IniFormat)
                     .contains(LoginItemManager::hasEnabledLoginItemKey));
    }

    void defaultSettingsNeedNoApplicationNames() {
#ifdef Q_OS_LINUX
        const QString org = QCoreApplication::organizationName();
        const QString app = QCoreApplication::applicationName();
        QCoreApplication::setOrganizationName("SomeoneElse");
        QCoreApplication::setApplicationName("other");
        const QString file = LoginItemManager::defaultSettings()->fileName();
        QCoreApplication::setOrganizationName(org);
        QCoreApplication::setApplicationName(app);
        QCOMPARE(file, qEnvironmentVariable("XDG_CONFIG_HOME") + "/Halvane/halvane.conf");
#else
        QSKIP("native settings are not a file here");
#endif
    }

    // Last: the process-wide instance writes into this process's private HOME and XDG folders.
    void sharedInstanceUsesThePlatformDefaults() {
#ifdef Q_OS_LINUX
        LoginItemManager* manager = LoginItemManager::shared();
        QCOMPARE(LoginItemManager::shared(), manager);
        QCOMPARE(lines_, (QStringList{firstLaunchLine,
                                      "🔧 Login item enabled by default using XDG autostart"}));
        QVERIFY(manager->isEnabled());
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        const auto entry = readDesktopEntry(config + "/autostart/halvane.desktop");
        const auto args = splitExec(unescapeString(entry.value("Exec")).value_or(QString()));
        QVERIFY(args);
        QCOMPARE(*args, QStringList{QCoreApplication::applicationFilePath()});
        QVERIFY(QSettings(config + "/Halvane/halvane.conf", QSettings::IniFormat)
                    .value(LoginItemManager::hasEnabledLoginItemKey)
                    .toBool());
#else
        QSKIP("would write the user's real native settings");
#endif
    }
};

HALVANE_TEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
