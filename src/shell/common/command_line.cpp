#include "shell/common/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "base/version.h"

CommandLine::CommandLine(const char* program, const char* synopsis, int column)
    : program_(program),
      synopsis_(synopsis),
      column_(column),
      help_(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
      version_(QStringLiteral("version")) {
    // "-start" is "--start", never "-s -t -a -r -t".
    parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser_.addOption(help_);
    parser_.addOption(version_);
}

QCommandLineOption CommandLine::add(const QStringList& names, const char* value, const char* help) {
    QCommandLineOption option(names);
    if (*value) option.setValueName(QString::fromLatin1(value));
    parser_.addOption(option);
    if (*help) {
        std::string label = "--" + names.last().toStdString();
        if (*value) label += std::string(" ") + value;
        listed_.push_back({label, help});
    }
    return option;
}

void CommandLine::describe(const char* name, const char* help) { listed_.push_back({name, help}); }

std::string CommandLine::usage() const {
    std::string text = synopsis_ + "       " + program_ + " --help | --version\n";
    const std::string indent(column_, ' ');
    for (const Listed& entry : listed_) {
        std::string line = "  " + entry.label;
        // A label too long for its column stands on a line of its own.
        if (line.size() + 2 > indent.size()) text += line + "\n" + indent;
        else text += line + indent.substr(line.size());
        for (char c : entry.help) {
            text += c;
            if (c == '\n') text += indent;
        }
        text += "\n";
    }
    return text + notes_;
}

ParseOutcome CommandLine::parse(const QStringList& arguments) {
    const bool parsed = parser_.parse(arguments);
    if (parser_.isSet(help_)) return {false, 0, usage()};
    if (parser_.isSet(version_))
        return {false, 0, program_ + " " + PROGRAM_VERSION + " (build " + build_id() + ")\n"};
    if (parsed) return {};
    const QStringList unknown = parser_.unknownOptionNames();
    if (!unknown.isEmpty()) {
        // Named as it was typed: "-x" or "--x".
        const QString name = unknown.first();
        QString typed = QStringLiteral("--") + name;
        for (const QString& argument : arguments)
            if (argument == QStringLiteral("-") + name) typed = argument;
        return wrong("unknown option " + typed.toStdString());
    }
    // "Missing value after '--skin'." becomes "missing value after '--skin'".
    std::string problem = parser_.errorText().toStdString();
    if (!problem.empty()) problem[0] = static_cast<char>(tolower(problem[0]));
    if (!problem.empty() && problem.back() == '.') problem.pop_back();
    return wrong(problem);
}

ParseOutcome CommandLine::wrong(const std::string& problem) const {
    return {false, EXIT_WRONG_COMMAND_LINE, program_ + ": " + problem + "\n" + usage()};
}

std::string CommandLine::value(const QCommandLineOption& option) const {
    return parser_.value(option).toLocal8Bit().toStdString();
}

std::vector<std::string> CommandLine::arguments() const {
    std::vector<std::string> found;
    for (const QString& argument : parser_.positionalArguments())
        found.push_back(argument.toLocal8Bit().toStdString());
    return found;
}

int CommandLine::options_given() const {
    // An option given twice counts once.
    std::set<QString> options;
    for (const QString& name : parser_.optionNames()) options.insert(name);
    return static_cast<int>(options.size());
}

void describe_settings_file(CommandLine& command_line) {
    command_line.describe("SETTINGS-FILE",
                          "the station's settings file: a name with a folder is that\n"
                          "file, a bare name is looked for in the current folder,\n"
                          "then in ~/.config/velmora (default: lumo.ini there)");
}

bool parse_number(const std::string& text, double low, double high, bool whole, double* number) {
    char* end = nullptr;
    *number = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(*number >= low && *number <= high)) return false;
    return !whole || *number == static_cast<double>(static_cast<long long>(*number));
}

QStringList argument_list(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

int print_outcome(const ParseOutcome& outcome) {
    fputs(outcome.text.c_str(), outcome.status == 0 ? stdout : stderr);
    return outcome.status;
}
