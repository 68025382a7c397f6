// The updater's process entry. The narrow entry (main) converts the arguments and calls
// UpdaterMain; the wide entry turns the command line into one update run and the run's
// result into the process result.
#pragma once

// 0 on success; otherwise the code of the first failure: -1 for a failure at start-up or
// an exception out of the run, 100603 when the configuration cannot be initialised, or the
// run's own result. The process exit status is 0 for 0 and 255 for anything else.
int UpdaterMain(int argc, const wchar_t* const* argv);

// The narrow entry's work: installs the signal handlers, converts every argument in the
// current locale and calls UpdaterMain. 0 when UpdaterMain returned 0, -1 otherwise
// (also when an argument cannot be converted, which is said on standard output).
int UpdaterNarrowMain(int argc, char** argv);

// The configuration's initialisation failed (printed as "Can not initialize updateConfig").
constexpr int kConfigInitFailed = 0x188FB;  // 100603
