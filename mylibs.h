// Small text utilities shared by the agent's components.
#ifndef VANTREL_MYLIBS_H
#define VANTREL_MYLIBS_H

#include <cstdint>
#include <string>
#include <string_view>

// Removes space characters (code 32 only) from both ends.
std::string trim(std::string _str);

// Decimal text of |_num|; empty text if formatting fails.
std::string intToStr(int32_t _num);

// Leading signed decimal number of |_str| after white space; 0 when there is
// none, the nearest 64-bit limit when it is out of range.
int64_t strToInt(std::string _str);

// Returns the text before the first |_token| in |_line| and moves |_line| to
// one character past the start of that occurrence, trimmed. Returns empty
// text and leaves |_line| alone when |_token| does not occur.
std::string getNextToken(std::string& _line, std::string _token);

// Writes |_message| and "!" as one line to standard output.
void dprint(std::string _message);

// Removes "//" line comments (the line feed stays) and "/*" ... "*/" block
// comments, recognised anywhere in the text. The scan ends at the first NUL
// byte outside a comment; the rest is left untouched. An unclosed comment runs
// to the end of the text; |_unclosedBlock|, when given, tells whether a "/*"
// comment did. Linear time, in place.
void stripComments(std::string* _text, bool* _unclosedBlock = nullptr);

// |_c| with A-Z folded to a-z; every other byte unchanged. The one ASCII
// case folder of the agent: DNS names compare without regard to ASCII case.
inline char asciiFold(char _c) {
    return _c >= 'A' && _c <= 'Z' ? static_cast<char>(_c - 'A' + 'a') : _c;
}

// ASCII lower-case copy of |_str|; other bytes unchanged.
std::string asciiLower(std::string _str);

// "grant the user NAME read access to it and its folders", NAME being the
// agent's own user (its number when it has no name): the advice for a file
// the agent, or a program it runs, may not read.
std::string readAccessAdvice();

// <0, 0 or >0 as |_a| sorts before, with or after |_b| with A-Z folded.
int compareFolded(std::string_view _a, std::string_view _b);

// True when |_a| and |_b| are equal ignoring ASCII letter case; other bytes
// compare exactly.
bool sameZoneName(const std::string& _a, const std::string& _b);

#endif  // VANTREL_MYLIBS_H
