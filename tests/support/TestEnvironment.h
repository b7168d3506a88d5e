#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdlib>

// Gives the whole test process a private HOME and XDG folders before Qt reads them, so no
// test can touch the real home of whoever runs the suite.
class TestEnvironment {
public:
    TestEnvironment() {
        root_.setAutoRemove(true);
        const QString home = root_.path() + QStringLiteral("/home");
        QDir().mkpath(home);
        set("HOME", home);
        for (const auto& [name, sub] :
             {std::pair{"XDG_CONFIG_HOME", ".config"}, std::pair{"XDG_STATE_HOME", ".local/state"},
              std::pair{"XDG_DATA_HOME", ".local/share"}, std::pair{"XDG_CACHE_HOME", ".cache"}}) {
            const QString path = home + QLatin1Char('/') + QLatin1String(sub);
            QDir().mkpath(path);
            set(name, path);
        }
        const QString runtime = root_.path() + QStringLiteral("/runtime");
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        set("XDG_RUNTIME_DIR", runtime);
        // Variables that would change what a child shell or the supervisor does.
        for (const char* name :
             {"HALVANE_BASE_URL", "HALVANE_CA_CERTS", "ZDOTDIR", "BASH_ENV", "ENV"})
            qunsetenv(name);
    }
    QString root() const { return root_.path(); }
    QString home() const { return root_.path() + QStringLiteral("/home"); }

private:
    static void set(const char* name, const QString& value) { qputenv(name, value.toUtf8()); }
    QTemporaryDir root_{QDir::tempPath() + QStringLiteral("/halvane-test-XXXXXX")};
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
