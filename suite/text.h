// Small text and time helpers that every stage of the runner uses.
#ifndef SUITE_TEXT_H
#define SUITE_TEXT_H

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// x with the given number of decimals: fixed(2.5, 1) is "2.5".
std::string fixed(double x, int decimals);

// x written so that it reads back as the same double: a time scale passed
// on to another runner.
std::string scale_text(double x);

double seconds_since(std::chrono::steady_clock::time_point t0);

// The length of the UTF-8 sequence that starts at t[i], 1 for ASCII; 0
// when the bytes there are not UTF-8 (overlong, a surrogate, past U+10FFFF
// or cut short). *code is the character.
std::size_t utf8_length(const std::string &t, std::size_t i, unsigned long *code);

bool is_utf8(const std::string &t);

// text fit to show on a terminal or in a report: each control character
// (C0, DEL, and C1 in UTF-8) and each byte that is not UTF-8 as an escape,
// \n, \t or \xNN a byte, so that text from outside (a probe, a guest, a
// record) cannot move a terminal's cursor or clear it. With backslashes,
// a backslash shows doubled, so that an escape tells from the same text
// printed: a transcript's.
std::string escaped(const std::string &text, bool backslashes = false);

// t as an error echoes it: its first 200 bytes and "…" where longer, not
// cutting a character in two.
std::string cut(const std::string &t);

// The entity HTML and XML both need for c ("&amp;" for '&', and so for
// '<', '>' and '"'); null for any other character.
const char *markup_entity(char c);

// "1 process", "2 processes"
std::string counted(long n, const char *one, const char *many);

// words with sep between them: joined({"a", "b"}, ",") is "a,b".
std::string joined(const std::vector<std::string> &words, const char *sep);

// words as a shell or split() reads them back: each in single quotes.
std::string shell_words(const std::vector<std::string> &words);

// The lines of a file's text that hold something, each with its number
// from 1: blank lines and those that begin with '#' left out, and a
// carriage return at a line's end.
std::vector<std::pair<int, std::string>> meant_lines(const std::string &text);

// s in base64 (RFC 4648, padded); and back, false for a text that is not
// base64.
std::string base64(const std::string &s);
bool unbase64(const std::string &e, std::string &s);
// Whether s, not empty, holds base64's letters and padding alone.
bool base64_letters(const std::string &s);

#endif
