#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velto {

// Listings and spreadsheets hold single-byte Windows-1252 text (the "²" of N/mm² is the byte
// 0xB2). Terminals and JSON want UTF-8. Bytes that Windows-1252 leaves undefined map to the C1
// control of the same number, so nothing is lost.
std::string Cp1252ToUtf8(std::string_view text);

// A console's single-byte text (Windows-1252, as the solver prints it) as UTF-8 to show on a
// terminal or in a window: as Cp1252ToUtf8, but control characters other than tabs and line ends
// (LF, CR), DEL and the bytes Windows-1252 leaves undefined are shown as escapes of the byte
// ("\x1b[2J", "\x81"), so the text cannot clear a screen, retitle a window or hide what it says.
// A backslash stays one: the solver's own paths keep theirs.
std::string ConsoleToUtf8(std::string_view text);

// A file name as text: the file system holds names as bytes, normally UTF-8. Well-formed UTF-8
// stays as it is; a byte that is not part of it is read as Windows-1252, so the result is always
// UTF-8 and nothing is dropped.
std::string FileNameToUtf8(std::string_view name);

// A file name for a message in the tools' single-byte text (Windows-1252): each UTF-8 character
// that Windows-1252 holds becomes its byte, any other becomes '?'; bytes that are not UTF-8 stay
// as they are.
std::string FileNameToCp1252(std::string_view name);

// A text given in UTF-8 (an argument typed on a terminal) in the tools' single-byte text, each
// character as its Windows-1252 byte and bytes that are not UTF-8 as they are (as
// FileNameToCp1252 has them); nullopt when a character has no byte there. Unlike a file name, a
// text that goes into a file must not lose a character to '?'.
std::optional<std::string> TextToCp1252(std::string_view text);

// A file name (or any text of bytes) made safe to print on a terminal: well-formed UTF-8 stays as
// it is, while C0 and C1 control characters, DEL and bytes that are not UTF-8 are shown as
// escapes ("\n", "\t", "\x1b", "\xff"), so a name cannot move the cursor, retitle the window
// or hide itself behind escape codes. A backslash shows as "\\" so the escapes read back
// unambiguously.
// With keepLineEnds an LF stays a line end (for a text of several lines).
std::string TerminalSafe(std::string_view bytes, bool keepLineEnds = false);

// A message whose names were made safe already (TerminalSafe) made safe as a whole: escapes as
// TerminalSafe's, but a backslash stays one, so the names' escapes are not escaped twice.
std::string ControlsEscaped(std::string_view text);

}  // namespace velto
