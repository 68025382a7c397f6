// The publisher's command line: one row per option in PublishCommandLine.cpp (name, value,
// help text, what it sets), from which both the parsing and the usage text are made.
#pragma once

#include <string>
#include <vector>

#include "Publisher.h"

namespace UpdateNew {

// What the command line asks for. Filled by ParsePublishCommandLine.
struct PublishCommandLine {
    PublishOptions options;
    bool check = false;  // check the description and the files, write nothing
    bool quiet = false;  // print nothing but errors
    std::vector<std::string> operands;
    // Set when an option already did the whole work (`--help`, `--scramble-password`):
    // the process ends with this status.
    int finished = -1;
};

// The usage text: the synopsis, then one entry per row of the table.
std::string PublishUsage();

// Parses argv[1..argc-1]. Returns the empty text, or the problem for a usage error (the
// caller prints it with the usage text and ends with status 2).
std::wstring ParsePublishCommandLine(int argc, char** argv, PublishCommandLine& line);

}  // namespace UpdateNew
