// Command-line frame shared by the tools: a table of commands (name,
// handler, help), a table of options, one usage text built from both, and
// one way to fail (a ToolError carrying the exit status, reported as one
// line on standard error).
#ifndef TRENDKEEP_TOOLS_TOOLCLI_H
#define TRENDKEEP_TOOLS_TOOLCLI_H

#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tk {

// Ends a command with an exit status and a one-line message for stderr.
struct ToolError : std::runtime_error {
    int Status;
    ToolError(int status, const std::string &message) : std::runtime_error(message), Status(status) {}
};

struct OptionInfo {
    const char *LongName;   // without the leading "--"
    char ShortName;         // 0 when there is none
    const char *ValueName;  // null for a flag
    const char *Help;
};

struct ParsedArgs {
    std::map<std::string, std::string> Options;              // long name -> last value given ("" for flags)
    std::vector<std::pair<std::string, std::string>> Given;  // every option given, in order
    std::vector<std::string> Positional;                     // after the command name

    bool Has(const std::string &name) const { return Options.count(name) != 0; }
    std::string Get(const std::string &name, const std::string &fallback = "") const;
    // Every value of an option that may be given more than once.
    std::vector<std::string> GetAll(const std::string &name) const;
};

struct CommandInfo {
    const char *Name;
    const char *Args;  // argument synopsis shown in the usage, may be ""
    int (*Handler)(const ParsedArgs &);
    const char *Help;
};

struct ToolInfo {
    const char *Program;
    const char *Synopsis;  // what follows the program name on the Usage line
    const char *Summary;   // one paragraph under the Usage line
    std::span<const CommandInfo> Commands;
    std::span<const OptionInfo> Options;
    const char *Epilogue;  // exit statuses, notes
    int UsageStatus;       // status of a usage error
};

// Parses the command line, runs the command's handler and returns the exit
// status.  "-h"/"--help" anywhere prints the usage on stdout and returns 0.
int RunTool(const ToolInfo &tool, int argc, char **argv);

// Fails with the tool's usage status unless the command got between min
// and max positional arguments.
void ExpectArgCount(const ParsedArgs &args, size_t min, size_t max, const char *what);

// The usage status of the running tool (for handlers that reject a value).
int UsageStatus();

// Says on stderr, as "PROGRAM: warning: text", what the output leaves out.
void Warn(const std::string &text);

// The running program's name, as messages begin: the tool's (set by
// RunTool), or the one a program without RunTool sets.
const char *ProgramName();
void SetProgramName(const char *program);

// Reports progress of long work on stderr, on one rewritten line, when
// stderr is a terminal; silent otherwise or when disabled.
class Progress {
public:
    Progress(const char *label, size_t total, bool enabled);
    ~Progress();
    void Step(const std::string &item);
    void Done();

private:
    const char *Label;
    size_t Total;
    size_t Count = 0;
    bool Enabled;
    bool Open = false;
};

}  // namespace tk

#endif
