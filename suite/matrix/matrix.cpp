// The platform matrix: the rows and the cells, and what differs from the
// reference.
#include "suite/matrix/matrix.h"

#include <set>

std::vector<std::string> rows(const matrix &m)
{
	std::vector<std::string> titles;
	std::set<std::string> seen;
	for (const column &c : m.platforms)
		for (const tally &t : c.r.scenarios)
			if (seen.insert(t.title).second)
				titles.push_back(t.title);
	return titles;
}

const tally *cell(const column &c, const std::string &title)
{
	for (const tally &t : c.r.scenarios)
		if (t.title == title)
			return &t;
	return nullptr;
}

std::vector<difference> differences(const matrix &m)
{
	std::vector<difference> found;
	if (m.platforms.empty())
		return found;
	for (const std::string &title : rows(m)) {
		const tally *ref = cell(m.platforms[0], title);
		for (std::size_t i = 1; ref && i < m.platforms.size(); i++) {
			const tally *t = cell(m.platforms[i], title);
			if (!t || t->j.result == ref->j.result)
				continue;
			found.push_back({m.platforms[i].name, title, t,
			                 form(t->j.result).listed_reason ? t->j.listed : t->j.why});
		}
	}
	return found;
}
