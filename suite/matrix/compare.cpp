// Saved records brought together as one matrix, a column per platform.
#include "suite/matrix/compare.h"
#include "check/harness/file.h"
#include "suite/plan/options.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

matrix compared(const std::vector<std::string> &files)
{
	matrix m;
	std::set<std::string> names;
	for (const std::string &file : files) {
		std::string text, why;
		if (!read_file(file, text))
			bad_usage("cannot read the record " + file + ": " + strerror(errno));
		matrix one;
		if (!read_records(text, one, why))
			bad_usage(file + " is no run record: " + std::move(why));
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
