// The access log (one dated row per blocked program) and the routines that
// create it and append to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace procblock {

using DWORD = std::uint32_t;
inline constexpr DWORD kCreateFileSuccess = 0;
inline constexpr DWORD kCreateFileFailure = 1;

inline constexpr std::string_view kAccessLogHeader1 = "Date and Time \t\t\t\t Application Name \n";
// 84 hyphens and a line feed.
inline constexpr std::string_view kAccessLogHeader2 =
    "------------------------------------------------------------------------------------\n";

// Creates the access log with its two header lines unless something already
// exists at its path; an existing file is left exactly as it is.
void CreateBlockAccessLog();

// Whether anything (file or directory) exists at the path. Logs its answer.
bool isFileExists(const std::string& path);

// Creates an empty regular file unless a non-directory exists there already.
// Never follows a symbolic link at the path. kCreateFileSuccess when the file
// exists afterwards, kCreateFileFailure otherwise.
DWORD CreateFile(const std::string& path);

// Appends the text unchanged to an existing regular file, in one write, at
// the end. Never creates, never follows a symbolic link; failures are silent.
void PrintAccessLog(const std::string& path, std::string_view text);

// Appends one dated row with the text in the name column; an absent name
// prints as (null).
void Printlog(const std::optional<std::string>& name);

// Local date as "dd-MM-yyyy" and local time as "HH:mm:ss".
std::string GetCurrDateString();
std::string GetCurrTime();

// The local time of a moment as "HH:mm:ss".
std::string formatTime(std::chrono::system_clock::time_point when);

// The row Printlog writes for a given moment: "dd-MM-yyyy HH:mm:ss \t\t\t\t name\n".
// Control characters in the name become visible escapes, so a name can never
// end the row early or forge another one.
std::string formatAccessLogRow(std::chrono::system_clock::time_point when,
                               const std::optional<std::string>& name);

// Reopens standard error onto the diagnostic log in append mode, creating the
// file when missing but never through a symbolic link. False when it could not.
bool reopenStandardError();

}  // namespace procblock
