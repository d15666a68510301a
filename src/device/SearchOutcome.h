#pragma once

// Why a search attempt took no port: each port's fate, noted on the searching
// thread, and the outcome the last attempt left for the caller that waited.
// Shared by the Linux and the Windows transports.
#include <stddef.h>

#include <string>

void BeginSearchAttempt();
// Notes a port's fate and logs it at info level; the most telling code of an
// attempt (access, then busy, then any other, then not found) is its code.
void NoteSearchFate(const std::string& port, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Ends the attempt; without a fate noted, the outcome is noneFound.
void EndSearchAttempt(bool found, const char* noneFound);
// The outcome of the last attempt: kErrorNone after one that found the device.
void LastSearchOutcome(int* code, char* text, size_t size);
