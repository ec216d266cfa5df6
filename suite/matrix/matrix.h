// The platform matrix: several platforms checked side by side, each by a
// runner of its own, or their saved records brought together; shown as a
// row per scenario and a column per platform, the first the reference.
#ifndef SUITE_MATRIX_MATRIX_H
#define SUITE_MATRIX_MATRIX_H

#include "suite/record/record.h"

#include <string>
#include <vector>

// Every scenario's title, each once, in the order the platforms give them.
std::vector<std::string> rows(const matrix &m);
// The platform's tally of the scenario with this title; null for none.
const tally *cell(const column &c, const std::string &title);

// A cell whose outcome differs from the reference's, the first platform's.
struct difference {
	std::string platform, title;
	const tally *t;
	std::string reason;  // the listed reason, or the judgement's
};
std::vector<difference> differences(const matrix &m);

#endif
