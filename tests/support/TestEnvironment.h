#pragma once

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QTemporaryDir>
#include <QtGlobal>
#ifdef QT_NETWORK_LIB
#include <QHostAddress>
#include <QTcpServer>
#endif

#include <optional>
#include <utility>

// A file's bytes; none when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifdef QT_NETWORK_LIB
// A download location on a loopback port that was bound and released, so every connection is
// refused at once; a fixed port number may be in use on the machine.
inline QString closedBaseUrl() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot bind a loopback port: %s", qPrintable(server.errorString()));
    return QStringLiteral("https://127.0.0.1:%1/static/cli").arg(server.serverPort());
}
#endif

// What the test needs but the machine lacks (a tool, a capability) skips the test for a
// developer; under CI=true it fails it, so the suite cannot lose a test and stay green.
#define HALVANE_REQUIRE(present, why)                                                              \
    do {                                                                                           \
        if (present)                                                                               \
            break;                                                                                 \
        const QString missing = (why);                                                             \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                   \
            QFAIL(qPrintable(missing));                                                            \
        QSKIP(qPrintable(missing));                                                                \
    } while (false)
#define HALVANE_REQUIRE_TOOL(present, tool)                                                        \
    HALVANE_REQUIRE(                                                                               \
        present,                                                                                   \
        QStringLiteral("%1 is not installed (run scripts/setup)").arg(QLatin1String(tool)))

// Gives the whole test process a private HOME and XDG folders before Qt reads them, so no
// test can touch the real home of whoever runs the suite.
class TestEnvironment {
public:
    TestEnvironment() {
        for (const auto& [name, sub] :
             {std::pair{"HOME", ""}, std::pair{"XDG_CONFIG_HOME", "/.config"},
              std::pair{"XDG_STATE_HOME", "/.local/state"},
              std::pair{"XDG_DATA_HOME", "/.local/share"},
              std::pair{"XDG_CACHE_HOME", "/.cache"}}) {
            QDir().mkpath(home() + QLatin1String(sub));
            qputenv(name, (home() + QLatin1String(sub)).toUtf8());
        }
        const QString runtime = root() + QStringLiteral("/runtime");
        QDir().mkdir(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        // Variables that would change what a child shell or the supervisor does.
        for (const char* name : {"HALVANE_BASE_URL", "HALVANE_CA_CERTS", "HALVANE_SWEEP_ROOT",
                                 "APPIMAGE", "APPDIR", "ZDOTDIR", "BASH_ENV", "ENV"})
            qunsetenv(name);
    }
    QString root() const { return root_.path(); }
    QString home() const { return root_.path() + QStringLiteral("/home"); }

private:
    QTemporaryDir root_{QDir::tempPath() + QStringLiteral("/halvane-test-XXXXXX")};
};

// Sets environment variables for one scope, then puts back what was there.
class EnvironmentGuard {
public:
    EnvironmentGuard() = default;
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    ~EnvironmentGuard() {
        // Newest first, so a variable set twice ends up as it was before the first change.
        for (auto it = saved_.crbegin(); it != saved_.crend(); ++it) {
            if (it->second)
                qputenv(it->first.constData(), *it->second);
            else
                qunsetenv(it->first.constData());
        }
    }
    EnvironmentGuard& set(const char* name, const QByteArray& value) {
        saved_.append(
            {name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
        qputenv(name, value);
        return *this;
    }

private:
    QList<std::pair<QByteArray, std::optional<QByteArray>>> saved_;
};

// Like QTEST_GUILESS_MAIN / QTEST_MAIN, with the environment isolated first.
#define HALVANE_TEST_MAIN_IMPL(TestObject, AppClass)                                               \
    int main(int argc, char** argv) {                                                              \
        TestEnvironment environment;                                                               \
        AppClass app(argc, argv);                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#define HALVANE_TEST_GUILESS_MAIN(TestObject) HALVANE_TEST_MAIN_IMPL(TestObject, QCoreApplication)
#define HALVANE_TEST_WIDGETS_MAIN(TestObject) HALVANE_TEST_MAIN_IMPL(TestObject, QApplication)
