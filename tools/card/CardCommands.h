// The card tool's commands; each returns the exit status.
#ifndef TRENDKEEP_TOOLS_CARDCOMMANDS_H
#define TRENDKEEP_TOOLS_CARDCOMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "CardReader.h"
#include "ToolCli.h"

namespace tk {

int CmdCheck(const ParsedArgs &args);
int CmdList(const ParsedArgs &args);
int CmdDump(const ParsedArgs &args);
int CmdExport(const ParsedArgs &args);
int CmdReport(const ParsedArgs &args);

// Shared by the commands.
CardImage LoadCardArg(const ParsedArgs &args);
// The --date option as a day key, or nothing when it is absent.
std::optional<int64_t> DateOption(const ParsedArgs &args);
// Names of the files selected by a file name, a sensor name or a number
// (all when selector is empty); complete files only.  Reads every header.
std::vector<std::string> SelectFiles(const CardImage &card, const std::string &selector);

}  // namespace tk

#endif
