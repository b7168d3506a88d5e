#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the user asked for on the command line. Read before anything else happens, so --help,
// --version and a mistyped option start nothing: no lock, no sweep, no login item, no download.
struct CommandLine {
    enum class Action {
        Run,     // no option of ours: run, or show the running instance's window
        Help,    // print the usage, exit 0
        Version, // print the version, exit 0
        Invalid, // print the error and the pointer to --help, exit 2
        Show,    // the commands below are for the running instance
        RestartCLI,
        UpdateCLI,
        Quit,
        Status,
    };

    Action action = Action::Run;
    bool json = false; // with --status
    QString error;     // when Invalid: what was wrong, naming the argument

    // Exit statuses, also named in the manual page.
    static constexpr int kUsageError = 2;
    static constexpr int kNoInstance = 3;

    // arguments as the process got them, the program's name first. Qt's own options (-platform
    // and the rest) are left for Qt.
    static CommandLine parse(const QStringList& arguments);
    static QString helpText();
    static QString versionText();

    // Whether the action is a command for the running instance, and the word that asks it.
    bool isInstanceCommand() const { return action >= Action::Show; }
    QByteArray request() const;
    // The way back, for the running instance: the command a request line asks for, Invalid
    // when it is none.
    static CommandLine fromRequest(const QByteArray& line);
};
