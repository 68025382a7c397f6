// Small text pieces of the progress display: sizes, rates, durations and the bar itself.
#pragma once

#include <string>

// A byte count for people: "512 B", "1.5 KiB", "12.3 MiB", "2.04 GiB".
std::wstring FormatBytes(unsigned long bytes);

// Bytes per second over `seconds`: "640 KiB/s"; "-" when no time has passed yet.
std::wstring FormatRate(unsigned long bytes, double seconds);

// A duration: "0.4 s", "12 s", "3 min 05 s".
std::wstring FormatSeconds(double seconds);

// A bar of `width` columns (brackets included) filled to done/total: "[#####.....]".
// An unknown total (0) gives an empty bar; more done than total gives a full one.
std::wstring FormatBar(unsigned long done, unsigned long total, int width);

// done/total as a whole percentage, capped at 100; 0 when the total is unknown.
int Percent(unsigned long done, unsigned long total);
