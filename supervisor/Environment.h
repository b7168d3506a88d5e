#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <functional>

// Everything the application takes from the environment it was started in: the user's
// folders, the display, the AppImage it may run from, the development overrides and the
// variables its CLI inherits. main reads it once and hands it down; nothing else reads the
// environment, so a test builds one from folders of its own.
class Environment {
public:
    static Environment fromProcess();
    static Environment fromSystem(const QProcessEnvironment& system);

    // $HOME when it is absolute, else the home in the user database.
    QString home() const { return home_; }
    // The XDG base folders: the variable when it names an absolute path, else the default
    // below home (a relative value is invalid and ignored, as if unset).
    QString configHome() const { return configHome_; }
    QString stateHome() const { return stateHome_; }
    QString cacheHome() const { return cacheHome_; }
    // $XDG_RUNTIME_DIR when absolute; empty otherwise, as it has no default.
    QString runtimeDir() const { return runtimeDir_; }
    // $TMPDIR when absolute, else /tmp.
    QString tempDir() const { return tempDir_; }
    // The X11 display name; empty off X11.
    QString display() const { return display_; }

    // What a login should start for the running binary: the AppImage file when the binary
    // runs inside that AppImage's mount (which is gone after logout), else the binary itself.
    // APPIMAGE alone proves nothing: whatever an AppImage starts inherits it.
    QString launchable(const QString& runningBinary) const;

    // The development overrides; each empty when not in effect.
    QUrl baseUrl() const { return baseUrl_; }                  // HALVANE_BASE_URL, https only
    QString caCertificates() const { return caCertificates_; } // HALVANE_CA_CERTS
    QString sweepRoot() const { return sweepRoot_; }           // HALVANE_SWEEP_ROOT, absolute
    // "HALVANE_SWEEP_ROOT=x does not exist": set, but no path that can narrow the sweep, which
    // then ends nothing.
    QString sweepRootProblem() const { return sweepRootProblem_; }
    // A console line for each override in effect, with its value, and for each one set but
    // refused; each also goes to alsoTo, when given, ending in a newline. main calls it once,
    // at start.
    void logOverrides(const std::function<void(const QString&)>& alsoTo = {}) const;

    // The whole environment, as the CLI inherits it.
    QProcessEnvironment variables() const { return variables_; }

private:
    QProcessEnvironment variables_;
    QString home_;
    QString configHome_;
    QString stateHome_;
    QString cacheHome_;
    QString runtimeDir_;
    QString tempDir_;
    QString display_;
    QString appImage_;
    QString appDir_;
    QUrl baseUrl_;
    QString caCertificates_;
    QString sweepRoot_;
    QString sweepRootProblem_;
};
