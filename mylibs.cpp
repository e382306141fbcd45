#include "mylibs.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>

#include "EventLog.h"

std::string trim(std::string _str) {
    const size_t first = _str.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = _str.find_last_not_of(' ');
    return _str.substr(first, last - first + 1);
}

std::string intToStr(int32_t _num) {
    try {
        std::ostringstream out;
        out << _num;
        return out.str();
    } catch (...) {
        return std::string();
    }
}

int64_t strToInt(std::string _str) {
    try {
        std::istringstream in(_str);
        int64_t value = 0;
        in >> value;
        // On overflow the stream stores the nearest limit and sets failbit;
        // on no number at all it stores 0.
        return value;
    } catch (...) {
        return 0;
    }
}

std::string getNextToken(std::string& _line, std::string _token) {
    const size_t pos = _line.find(_token);
    if (pos == std::string::npos) {
        return std::string();
    }
    std::string head = _line.substr(0, pos);
    _line = trim(_line.substr(pos + 1));
    return head;
}

void dprint(std::string _message) {
    say(_message + "!");
}

void stripComments(std::string* _text, bool* _unclosedBlock) {
    std::string& s = *_text;
    if (_unclosedBlock != nullptr) {
        *_unclosedBlock = false;
    }
    char* const data = &s[0];
    const size_t size = s.size();
    // The scan ends at the first NUL byte met outside a comment.
    const auto nulFrom = [&](size_t from) {
        const void* nul = from < size ? std::memchr(data + from, '\0', size - from) : nullptr;
        return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
    };
    size_t stop = nulFrom(0);
    size_t out = 0;  // write position; never passes the read position
    size_t in = 0;
    while (in < stop) {
        // Text up to the next slash is kept as it is.
        const void* slash = std::memchr(data + in, '/', stop - in);
        const size_t plainEnd =
            slash != nullptr ? static_cast<size_t>(static_cast<const char*>(slash) - data) : stop;
        if (out != in) {
            std::memmove(data + out, data + in, plainEnd - in);
        }
        out += plainEnd - in;
        in = plainEnd;
        if (in >= stop) {
            break;
        }
        const char next = in + 1 < size ? data[in + 1] : '\0';
        if (next == '/') {
            // A line comment runs to the line feed, which stays.
            const void* lf = std::memchr(data + in, '\n', size - in);
            in = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
        } else if (next == '*') {
            // The closing marker is searched from the opening "*", so "/*/"
            // is a complete comment. An unclosed comment runs to the end.
            const size_t close = s.find("*/", in + 1);
            in = close == std::string::npos ? size : close + 2;
            if (close == std::string::npos && _unclosedBlock != nullptr) {
                *_unclosedBlock = true;
            }
        } else {
            data[out++] = data[in++];
            continue;
        }
        if (in > stop) {
            // The comment swallowed the NUL byte that would have ended the scan.
            stop = nulFrom(in);
        }
    }
    // A NUL byte ended the scan: the rest of the text stays as it is.
    if (in < size) {
        if (out != in) {
            s.erase(out, in - out);
        }
        return;
    }
    s.resize(out);
}

std::string asciiLower(std::string _str) {
    for (char& c : _str) {
        c = asciiFold(c);
    }
    return _str;
}

bool sameZoneName(const std::string& _a, const std::string& _b) {
    return _a.size() == _b.size() &&
           std::equal(_a.begin(), _a.end(), _b.begin(),
                      [](char _x, char _y) { return asciiFold(_x) == asciiFold(_y); });
}

int compareFolded(std::string_view _a, std::string_view _b) {
    const size_t common = std::min(_a.size(), _b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = static_cast<unsigned char>(asciiFold(_a[i]));
        const unsigned char y = static_cast<unsigned char>(asciiFold(_b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return _a.size() < _b.size() ? -1 : _a.size() > _b.size() ? 1 : 0;
}

std::string readAccessAdvice() {
    const passwd* user = getpwuid(geteuid());
    return "grant the user " + (user != nullptr ? user->pw_name : std::to_string(geteuid())) +
           " read access to it and its folders";
}
