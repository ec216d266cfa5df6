// Saved records brought together as one matrix, a column per platform.
#include "suite/matrix/compare.h"
#include "check/harness/file.h"
#include "suite/matrix/lava_log.h"

#include <algorithm>
#include <set>

namespace
{

// The record text holds: a saved record, or the last one in a LAVA job's
// log.
bool taken(const std::string &file, const std::string &text, matrix &one, std::string &why)
{
	if (read_records(text, one, why))
		return true;
	if (!is_lava_log(text)) {
		why = file + " is no run record: " + why;
		return false;
	}
	std::string json;
	if (!record_from_log(text, json, why)) {
		why = file + " is " + why;
		return false;
	}
	if (!read_records(json, one, why)) {
		why = file + " is a LAVA log whose run record is damaged: " + why;
		return false;
	}
	return true;
}

}  // namespace

bool compared(const std::vector<std::string> &files, matrix &m, std::string &why)
{
	std::set<std::string> names;
	for (const std::string &file : files) {
		std::string text;
		if (!read_regular(file, record_limit, false, text, why)) {
			why.insert(0, "cannot read the record " + file + ": ");
			return false;
		}
		matrix one;
		if (!taken(file, text, one, why))
			return false;
		text = std::string();  // before the next file's
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
	return true;
}
