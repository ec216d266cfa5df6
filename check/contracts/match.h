// Matching a transcript against what its sources may print.
//
// Each source (main, a thread, a process) makes an ordered sequence of
// output calls; the sources interleave only between whole calls. A call is
// a pattern: literal text with these fields in braces:
//   {int}        an optional minus sign and decimal digits
//   {ptr}        a pointer as %p prints it: 0x and hex digits, or (nil)
//   {any}        any text within the line, up to the text after the field
//   {0|1|2}      one of the listed texts
//   {name=int}   an int (or ptr, any, a|b) bound to name: every field with
//                that name must match the same text
//   {=name}      exactly the text bound to name
// A name may be bound before matching (the child's pid, say).
#ifndef CHECK_CONTRACTS_MATCH_H
#define CHECK_CONTRACTS_MATCH_H

#include <map>
#include <string>
#include <vector>

struct source {
	std::string name;
	std::vector<std::string> calls;
	bool first = false;  // on the first source: it finishes before any other begins
};

struct verdict {
	bool ok = false;
	std::string why;                           // "line 3: expected ..., got ..."
	std::map<std::string, std::string> bound;  // the names' values, when ok
	// When ok: the names of the sources whose last call can have ended the
	// text. More than one when the text cannot tell them apart.
	std::vector<std::string> last;
};

verdict match(const std::vector<source> &sources, const std::string &text,
              const std::map<std::string, std::string> &bound = {});

// text with its control characters shown as escapes, for messages.
std::string visible(const std::string &text);

#endif
