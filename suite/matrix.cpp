// The platform matrix: the rows and the cells, what differs from the
// reference, and saved records brought together as one.
#include "suite/matrix.h"
#include "check/file.h"
#include "suite/matrix/lava_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unistd.h>

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

matrix compared(const std::vector<std::string> &files)
{
	matrix m;
	std::set<std::string> names;
	for (const std::string &file : files) {
		std::string text, why;
		if (!read_file(file, text))
			bad_usage("cannot read the record " + file + ": " + strerror(errno));
		matrix one;
		bool record = read_records(text, one, why);
		if (!record && !is_lava_log(text))
			bad_usage(file + " is no run record: " + std::move(why));
		std::string json;
		if (!record && !record_from_log(text, json, why))
			bad_usage(file + " is " + std::move(why));
		if (!record && !read_records(json, one, why))
			bad_usage(file +
			          " is a LAVA log whose run record is damaged: " + std::move(why));
		std::string base = file.substr(file.rfind('/') + 1);
		if (base.ends_with(".json"))
			base.resize(base.size() - 5);
		for (column &c : one.platforms) {
			c.name = c.name.empty()        ? base
			         : names.count(c.name) ? base + "/" + c.name
			                               : c.name;
			for (int n = 2; names.count(c.name); n++)
				c.name += " (" + std::to_string(n) + ")";
			names.insert(c.name);
			m.platforms.push_back(std::move(c));
		}
		m.seconds = std::max(m.seconds, one.seconds);
	}
	return m;
}
