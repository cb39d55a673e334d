// Windows-1252, the code page the tables declare and store their text in,
// and its conversion to and from the UTF-8 the rest of the program speaks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tv {

// UTF-8 text in Windows-1252; nullopt when the text is not valid UTF-8 or
// holds a character the code page has no place for (`unfit`, when given,
// then receives that character, or the bad byte sequence).
std::optional<std::string> Utf8ToCp1252(std::string_view utf8, std::string* unfit = nullptr);
// Why Utf8ToCp1252 refuses `utf8`, to follow its name in a message: "is not
// valid UTF-8 text (byte 3 is 0xFC)" or "holds 'Ω', which the table's code
// page (Windows-1252) cannot store"; empty when it is stored.
std::string Cp1252Refusal(std::string_view utf8);
// The text with tabs as spaces and each run of other control characters and
// of bytes that are no UTF-8 character shown as one '?': what a file or a program said, fit for a
// message.
std::string PrintableText(std::string_view text);
// Windows-1252 text in UTF-8. The five bytes the code page leaves unassigned
// become the control characters of the same number, as on Windows, so every
// byte string survives the round trip.
std::string Cp1252ToUtf8(std::string_view text);

// Letter case within the code page: the ASCII letters, the accented Latin
// letters and Š, Œ, Ž, Ÿ. ß and µ have no capital in it and stay as they are.
char UpperCp1252(char c);
char LowerCp1252(char c);

}  // namespace tv
