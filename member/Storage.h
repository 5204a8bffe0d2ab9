// Whole-file routines of the member service, the error log and request dumps.
#pragma once

#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/System.h"

namespace member {

// Creates or atomically replaces the file with exactly these bytes.
void WriteFileText(std::string_view text, const std::string& path);
// Creates the file with these bytes only if nothing of that name exists;
// false (nothing written) when something does.
bool CreateFileText(const platform::Bytes& text, const std::string& path);
// Every byte of the file.
void ReadFileText(const std::string& path, std::string& text);

// Replaces ProgramDir() + "error.txt" with the log time and the message.
void LogError(std::string_view message);

// Writes the body to DumpPath/Day/Stamp.txt (creating the day directory);
// a second request in the same millisecond gets Stamp-1.txt, and so on.
void WriteDump(std::string_view dump_path, std::string_view day, std::string_view stamp, std::string_view body);

// "yyyymmdd-hhmmss-zzz", "yyyymmdd" and "yyyymmdd-hh:mm:ss".
std::string FormatStamp(const platform::LocalTime& t);
std::string FormatDay(const platform::LocalTime& t);
std::string FormatLogTime(const platform::LocalTime& t);

}  // namespace member
