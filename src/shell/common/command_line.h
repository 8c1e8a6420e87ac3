#pragma once
// The front ends' command lines. A program declares each option once, with
// the value it takes and its help text; --help prints the usage made from
// those declarations (laid out so that help2man makes the man page of it),
// and a wrong command line ends with status 2 and a message that names the
// option and what is wrong with it. A failure at run time ends with 1.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <string>
#include <vector>

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_WRONG_COMMAND_LINE = 2;

// What the command line asks for: the program runs, or it ends at once with
// `status` after printing `text` (to standard output for 0: the usage or
// the version; to standard error for 2: the problem and the usage).
struct ParseOutcome {
    bool run = true;
    int status = 0;
    std::string text;
};

class CommandLine {
public:
    // `synopsis`: the usage lines ("usage: PROGRAM ..." and its other
    // forms), each ending with a line break; the form with --help and
    // --version is added. `column`: where the help texts start in the list.
    CommandLine(const char* program, const char* synopsis, int column);

    // Declares an option: its names ("skin", or {"s", "S"}), the value it
    // takes ("DIR"; none when empty) and its help text, whose lines are
    // listed under each other. An option without help is accepted but not listed.
    QCommandLineOption add(const QStringList& names, const char* value, const char* help);
    // Lists an argument that is no option ("SETTINGS-FILE", "/s") among the options.
    void describe(const char* name, const char* help);
    // Lines printed after the list.
    void set_notes(const char* notes) { notes_ = notes; }

    std::string usage() const;
    // Parses `arguments` (the program's name first). --help and --version
    // are answered wherever they stand.
    ParseOutcome parse(const QStringList& arguments);
    // The outcome of a wrong command line that parsing let through (a value
    // out of range, two settings files): "PROGRAM: problem" and the usage.
    ParseOutcome wrong(const std::string& problem) const;

    bool is_set(const QCommandLineOption& option) const { return parser_.isSet(option); }
    std::string value(const QCommandLineOption& option) const;
    std::vector<std::string> arguments() const;  // those that are no option, in their order
    // How many different options were given (--set-proxy stands alone).
    int options_given() const;
    const std::string& program() const { return program_; }

private:
    struct Listed {
        std::string label;
        std::string help;
    };
    std::string program_;
    std::string synopsis_;
    int column_;
    std::vector<Listed> listed_;
    std::string notes_;
    QCommandLineParser parser_;
    QCommandLineOption help_;
    QCommandLineOption version_;
};

// Both front ends take the station's settings file the same way.
void describe_settings_file(CommandLine& command_line);

// Whether `text` is all a number (a whole one when `whole`) from `low` to
// `high`; it is then in *number.
bool parse_number(const std::string& text, double low, double high, bool whole, double* number);

// A program's arguments as the parser takes them.
QStringList argument_list(int argc, char** argv);

// Prints the outcome's text where it belongs; its status.
int print_outcome(const ParseOutcome& outcome);
