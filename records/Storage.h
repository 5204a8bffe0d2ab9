// The program's own files: whole-file routines, the program's folder
// (config.txt, error.txt), the error log, request dumps and the line of the
// failed-login log.
#pragma once

#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/System.h"

namespace records {

// The directory of the running executable, ending with "/".
std::string ProgramDir();

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

// One line of the failed-login log, ending in LF:
// "yyyy-mm-dd hh:mm:ss orvalengate failed login from ADDR session=S command=C id=ID"
// ("password reset" in place of "failed login" for a mail asked for).
// The address stands right after "from" for blocking tools such as fail2ban;
// one that is not plainly an address is written as "-". Control bytes,
// blanks and "%" in the other values are written as %XX, so no value can
// end the line or pass for another field, and each is cut at 256 bytes.
std::string FailedLoginLine(const platform::LocalTime& t, std::string_view remote_addr, std::string_view session,
                            std::string_view command, std::string_view id,
                            std::string_view event = "failed login");

// One line of the activity log: the failed-login line's fields with the
// event ("registered", "posted", ...) in place of "failed login", and, for
// a post, " file=" and the stored file's name, written by the same rules.
std::string ActivityLine(const platform::LocalTime& t, std::string_view remote_addr, std::string_view session,
                         std::string_view command, std::string_view id, std::string_view event,
                         std::string_view file = {});

// A value as those lines write it (escaped and cut), so that a reader can
// find the lines of one session: " session=" + LogField(name) + " ".
std::string LogField(std::string_view value);

// "yyyymmdd-hhmmss-zzz", "yyyymmdd" and "yyyymmdd-hh:mm:ss".
std::string FormatStamp(const platform::LocalTime& t);
std::string FormatDay(const platform::LocalTime& t);
std::string FormatLogTime(const platform::LocalTime& t);

}  // namespace records
