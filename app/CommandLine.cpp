#include "CommandLine.h"

#include <array>
#include <utility>

namespace {
struct Option {
    const char* name;
    CommandLine::Action action;
    const char* word; // sent to the running instance
    const char* help;
};
constexpr std::array kOptions{
    Option{"--help", CommandLine::Action::Help, "", "print this help and exit"},
    Option{"--version", CommandLine::Action::Version, "", "print the version and exit"},
    Option{"--show", CommandLine::Action::Show, "show",
           "show the running instance's window (starts the application when none runs)"},
    Option{"--restart-cli", CommandLine::Action::RestartCLI, "restart-cli",
           "restart the CLI in the running instance"},
    Option{"--update-cli", CommandLine::Action::UpdateCLI, "update-cli",
           "check for a new CLI build now and switch to it"},
    Option{"--quit", CommandLine::Action::Quit, "quit",
           "stop the CLI and quit the running instance; returns once it has left"},
    Option{"--status", CommandLine::Action::Status, "status",
           "print the running instance's state as key: value lines"},
};

// Qt's own options, which QApplication takes out of the arguments itself; the bool says
// whether a value follows as the next argument (unless given as -name=value).
constexpr std::array<std::pair<const char*, bool>, 25> kQtOptions{{
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowicon", true},
    {"qwindowtitle", true},
    {"session", true},
    {"display", true},
    {"geometry", true},
    {"style", true},
    {"stylesheet", true},
    {"qmljsdebugger", true},
    {"title", true},
    {"name", true},
    {"visual", true},
    {"ncols", true},
    {"cmap", true},
    {"dialogs", true},
    {"fontengine", true},
    {"reverse", false},
    {"widgetcount", false},
    {"sync", false},
    {"nograb", false},
    {"dograb", false},
}};

// -1: not one of Qt's; else how many arguments after this one it takes.
int qtOptionValues(const QString& argument) {
    if (!argument.startsWith(QLatin1Char('-')) || argument.size() < 2)
        return -1;
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0)
        name.truncate(equals);
    for (const auto& [qtName, takesValue] : kQtOptions)
        if (name == QLatin1String(qtName))
            return takesValue && equals < 0 ? 1 : 0;
    return -1;
}

CommandLine invalid(const QString& error) {
    CommandLine line;
    line.action = CommandLine::Action::Invalid;
    line.error = error;
    return line;
}
} // namespace

CommandLine CommandLine::parse(const QStringList& arguments) {
    CommandLine line;
    bool json = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--json")) {
            json = true;
            continue;
        }
        Action action = Action::Run;
        if (argument == QLatin1String("-h"))
            action = Action::Help;
        for (const Option& option : kOptions)
            if (argument == QLatin1String(option.name))
                action = option.action;
        if (action == Action::Run) {
            const int values = qtOptionValues(argument);
            if (values < 0)
                return invalid(QStringLiteral("unknown option '%1'").arg(argument));
            if (i + values >= arguments.size())
                return invalid(QStringLiteral("option '%1' needs a value").arg(argument));
            i += values;
            continue;
        }
        // Help and version win over anything else asked, as users expect of them.
        if (action == Action::Help || action == Action::Version) {
            if (line.action != Action::Help)
                line.action = action;
            continue;
        }
        if (line.action == Action::Help || line.action == Action::Version)
            continue;
        if (line.action != Action::Run && line.action != action)
            return invalid(
                QStringLiteral("'%1' cannot be combined with another command").arg(argument));
        line.action = action;
    }
    if (json && line.action != Action::Status && line.action != Action::Help &&
        line.action != Action::Version)
        return invalid(QStringLiteral("'--json' goes with '--status'"));
    line.json = json;
    return line;
}

QByteArray CommandLine::request() const {
    for (const Option& option : kOptions)
        if (option.action == action)
            return QByteArray(option.word) + (json ? " json" : "");
    return {};
}

CommandLine CommandLine::fromRequest(const QByteArray& line) {
    CommandLine command;
    command.json = line == "status json";
    for (const Option& option : kOptions)
        if (*option.word &&
            (line == option.word || (command.json && option.action == Action::Status)))
            command.action = option.action;
    if (!command.isInstanceCommand())
        return invalid(QStringLiteral("unknown request"));
    return command;
}

QString CommandLine::helpText() {
    QString text = QStringLiteral(
        "Usage: halvane [OPTION]\n"
        "Keeps the vantrel command-line program installed, current and running, and shows what "
        "it prints.\nWithout an option it starts, or shows the window of the instance that "
        "runs.\n\n");
    for (const Option& option : kOptions)
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(option.name), -16)
                    .arg(QLatin1String(option.help));
    text += QStringLiteral("  %1%2\n")
                .arg(QStringLiteral("--status --json"), -16)
                .arg(QStringLiteral("the same as one JSON object"));
    text += QStringLiteral(
        "\nExit status: 0 done (with --status: an instance runs), 1 the command failed, "
        "2 a usage error,\n3 no instance runs. Qt's own options (-platform, -display, ...) are "
        "accepted too.\nSee halvane(1).\n");
    return text;
}

QString CommandLine::versionText() {
    return QStringLiteral("Vantrel Halvane " HALVANE_VERSION " (" HALVANE_SOURCE_REVISION ")\n");
}
