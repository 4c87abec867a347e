// The command-line front end: one command per invocation.
#pragma once

#include <string>
#include <vector>

// Exit statuses that scripts can rely on.
enum ExitStatus {
    kExitOk = 0,     // the command did what was asked
    kExitFailed = 1, // an operation failed (device, composition, files, scan)
    kExitUsage = 2   // the command line or a value was refused
};

// Runs the command given by the words after the program name.
int run_command(const std::vector<std::string> &words);
// 0 for the core's success code, 2 for a refused value, else 1.
int exit_status_for(int core_result);
void print_usage();
void print_invalid_args();
