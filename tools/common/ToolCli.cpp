#include "ToolCli.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "TextFormat.h"

namespace tk {

namespace {

int g_usage_status = 1;
const char *g_program = "trendkeep";

void PrintUsage(const ToolInfo &tool, FILE *out) {
    fprintf(out, "Usage: %s %s\n\n%s\n\nCommands:\n", tool.Program, tool.Synopsis, tool.Summary);
    size_t width = 0;
    for (const CommandInfo &c : tool.Commands) width = std::max(width, strlen(c.Name) + 1 + strlen(c.Args));
    for (const CommandInfo &c : tool.Commands) {
        std::string head = std::string(c.Name) + (c.Args[0] ? " " : "") + c.Args;
        fprintf(out, "  %-*s  %s\n", (int)width, head.c_str(), c.Help);
    }
    fprintf(out, "\nOptions:\n");
    std::vector<std::string> heads;
    width = 0;
    for (const OptionInfo &o : tool.Options) {
        std::string head = o.ShortName ? std::string("-") + o.ShortName + ", " : std::string("    ");
        head += std::string("--") + o.LongName;
        if (o.ValueName) head += std::string(" ") + o.ValueName;
        width = std::max(width, head.size());
        heads.push_back(head);
    }
    for (size_t i = 0; i < tool.Options.size(); ++i) {
        fprintf(out, "  %-*s  %s\n", (int)width, heads[i].c_str(), tool.Options[i].Help);
    }
    fprintf(out, "  %-*s  %s\n", (int)width, "-h, --help", "show this help and exit");
    if (tool.Epilogue && tool.Epilogue[0]) fprintf(out, "\n%s", tool.Epilogue);
}

const OptionInfo *FindLong(const ToolInfo &tool, const std::string &name) {
    for (const OptionInfo &o : tool.Options) {
        if (name == o.LongName) return &o;
    }
    return nullptr;
}

const OptionInfo *FindShort(const ToolInfo &tool, char c) {
    for (const OptionInfo &o : tool.Options) {
        if (o.ShortName == c) return &o;
    }
    return nullptr;
}

// Takes the option argv[i] (one that is neither --, -h nor --help) into
// parsed, with its value given inline (--name=value) or as the next word;
// returns the index of the last word taken.
int TakeOption(const ToolInfo &tool, int argc, char **argv, int i, ParsedArgs *parsed) {
    const std::string a = argv[i];
    const OptionInfo *o = nullptr;
    std::string value;
    bool has_inline = false;
    if (a[1] == '-') {
        std::string name = a.substr(2);
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_inline = true;
        }
        o = FindLong(tool, name);
    } else if (a.size() == 2) {
        o = FindShort(tool, a[1]);
    }
    if (o == nullptr) throw ToolError(tool.UsageStatus, "unknown option " + a + " (see --help)");
    if (o->ValueName == nullptr) {
        if (has_inline) throw ToolError(tool.UsageStatus, "option --" + std::string(o->LongName) + " takes no value");
        parsed->Options[o->LongName] = "";
        parsed->Given.emplace_back(o->LongName, "");
        return i;
    }
    if (!has_inline) {
        if (i + 1 >= argc) {
            throw ToolError(tool.UsageStatus, "option --" + std::string(o->LongName) + " needs " + o->ValueName);
        }
        value = argv[++i];
    }
    parsed->Options[o->LongName] = value;
    parsed->Given.emplace_back(o->LongName, value);
    return i;
}

}  // namespace

std::string ParsedArgs::Get(const std::string &name, const std::string &fallback) const {
    auto it = Options.find(name);
    return it == Options.end() ? fallback : it->second;
}

std::vector<std::string> ParsedArgs::GetAll(const std::string &name) const {
    std::vector<std::string> values;
    for (const auto &[given, value] : Given) {
        if (given == name) values.push_back(value);
    }
    return values;
}

int UsageStatus() { return g_usage_status; }

const char *ProgramName() { return g_program; }

void SetProgramName(const char *program) { g_program = program; }

void Warn(const std::string &text) {
    fflush(stdout);
    fprintf(stderr, "%s: warning: %s\n", g_program, PrintableText(text).c_str());
}

void ExpectArgCount(const ParsedArgs &args, size_t min, size_t max, const char *what) {
    if (args.Positional.size() < min || args.Positional.size() > max) {
        throw ToolError(g_usage_status, std::string("usage: ") + what + " (see --help)");
    }
}

int RunTool(const ToolInfo &tool, int argc, char **argv) {
    g_usage_status = tool.UsageStatus;
    g_program = tool.Program;
    try {
        ParsedArgs parsed;
        std::vector<std::string> words;
        bool options_done = false;
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (options_done || a.size() < 2 || a[0] != '-') {
                words.push_back(a);
                continue;
            }
            if (a == "--") {
                options_done = true;
                continue;
            }
            if (a == "-h" || a == "--help") {
                PrintUsage(tool, stdout);
                return 0;
            }
            i = TakeOption(tool, argc, argv, i, &parsed);
        }
        if (words.empty()) throw ToolError(tool.UsageStatus, "no command given (see --help)");
        for (const CommandInfo &c : tool.Commands) {
            if (words[0] == c.Name) {
                parsed.Positional.assign(words.begin() + 1, words.end());
                return c.Handler(parsed);
            }
        }
        throw ToolError(tool.UsageStatus, "unknown command '" + words[0] + "' (see --help)");
    } catch (const ToolError &e) {
        // Messages quote card file names and what a FIFO answered.
        fflush(stdout);
        fprintf(stderr, "%s: %s\n", tool.Program, PrintableText(e.what()).c_str());
        return e.Status;
    } catch (const std::exception &e) {
        fflush(stdout);
        fprintf(stderr, "%s: %s\n", tool.Program, PrintableText(e.what()).c_str());
        return tool.UsageStatus;
    }
}

Progress::Progress(const char *label, size_t total, bool enabled)
    : Label(label), Total(total), Enabled(enabled && isatty(STDERR_FILENO)) {}

Progress::~Progress() { Done(); }

void Progress::Step(const std::string &item) {
    ++Count;
    if (!Enabled) return;
    fprintf(stderr, "\r\033[K%s %zu/%zu %s", Label, Count, Total, PrintableText(item).c_str());
    fflush(stderr);
    Open = true;
}

void Progress::Done() {
    if (Open) {
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
        Open = false;
    }
}

}  // namespace tk
