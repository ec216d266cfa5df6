// The platforms file: a platform a line, its name, a tab, and the
// runner's options that make it, written as on the command line (none:
// this machine as it is, the name alone). Lines
// that begin with '#' and blank lines are skipped. A relative path is
// taken from the file's folder; a kernel image may be a pattern, of
// which the newest match by version is taken.
//
//	valgrind	--launcher 'valgrind -q --error-exitcode=99' --time-scale 3
//	vm	--kernel /boot/vmlinuz-*-cloud-amd64 --dir ../build/static
#include "suite/matrix/platforms.h"
#include "check/harness/file.h"
#include "suite/plan/prepare.h"
#include "suite/text.h"

#include <cstring>
#include <glob.h>
#include <map>

namespace
{

// path, taken from folder when relative.
std::string from_folder(const std::string &folder, const std::string &path)
{
	return path.empty() || path[0] == '/' || folder.empty() ? path : folder + "/" + path;
}

// The newest file that pattern matches, by version, in found; pattern
// itself when it is none.
bool newest(const std::string &pattern, std::string &found, std::string &why)
{
	found.clear();
	if (pattern.find_first_of("*?[") == std::string::npos) {
		found = pattern;
		return true;
	}
	glob_t g;
	if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
		for (std::size_t i = 0; i < g.gl_pathc; i++)
			if (found.empty() || strverscmp(g.gl_pathv[i], found.c_str()) > 0)
				found = g.gl_pathv[i];
	globfree(&g);
	if (found.empty())
		why = "no kernel image matches " + cut(pattern);
	return !found.empty();
}

bool heavy(const options &o)
{
	if (!o.kernel.empty() || o.time_scale > 1)
		return true;
	if (o.launcher.empty())
		return false;
	std::string program = o.launcher[0].substr(o.launcher[0].rfind('/') + 1);
	return program == "valgrind" || program.starts_with("qemu-");
}

// Line l of the file, neither blank nor a comment, in p; false with why.
bool platform_of(const std::string &l, const std::string &folder, platform_line &p,
                 std::string &why)
{
	std::size_t tab = l.find('\t');
	p.name = l.substr(0, tab);
	std::vector<std::string> words;
	if (l.find('\0') != std::string::npos)
		why = "a NUL byte in the line";
	else if (p.name.find_first_not_of(' ') == std::string::npos)
		why = "no platform's name before the tab";
	else if (tab == std::string::npos && p.name.find(' ') != std::string::npos)
		why = "a tab, not a blank, separates the platform's name from its options";
	else if (tab != std::string::npos && !split(l.substr(tab + 1), words))
		why = "unclosed quote";
	if (!why.empty() || !parse_platform(words, p.o, why))
		return false;
	options &o = p.o;
	for (std::string *path : {&o.dir, &o.expect, &o.kernel})
		*path = from_folder(folder, *path);
	std::string image;
	if (!newest(o.kernel, image, why))
		return false;
	o.kernel = image;
	if (!o.launcher.empty() && o.launcher[0].find('/') != std::string::npos)
		o.launcher[0] = from_folder(folder, o.launcher[0]);
	if (!prepare(o, p.plan, why))
		return false;
	p.heavy = heavy(o);
	return true;
}

}  // namespace

bool read_platforms(const std::string &file, std::vector<platform_line> &platforms,
                    std::string &why)
{
	std::string text;
	why.clear();
	if (!read_regular(file, list_limit, false, text, why)) {
		why = "cannot read the platforms file " + file + ": " + why;
		return false;
	}
	std::size_t slash = file.rfind('/');
	std::string folder = slash == std::string::npos ? ""
	                     : slash == 0               ? "/"
	                                                : file.substr(0, slash);
	std::map<std::string, int> named;
	for (const auto &[n, l] : meant_lines(text)) {
		if (platforms.size() == most_platforms) {
			why = file + ":" + std::to_string(n) + ": more than " +
			      std::to_string((int)most_platforms) + " platforms";
			return false;
		}
		platform_line &p = platforms.emplace_back();
		p.line = n;
		if (platform_of(l, folder, p, why) && named.count(p.name))
			why = "the platform '" + cut(p.name) + "' is named already on line " +
			      std::to_string(named[p.name]);
		if (!why.empty()) {
			why.insert(0, file + ":" + std::to_string(n) + ": ");
			return false;
		}
		named[p.name] = n;
	}
	if (platforms.empty())
		why = "the platforms file " + file + " names no platform";
	return why.empty();
}

std::vector<std::string> platform_args(const options &o)
{
	std::vector<std::string> a = {"--dir", o.dir, "-j", std::to_string(o.jobs)};
	if (!o.launcher.empty())
		a.insert(a.end(), {"--launcher", shell_words(o.launcher)});
	if (!o.only.empty())
		a.insert(a.end(), {"--only", joined(o.only, ",")});
	if (o.repeat > 1)
		a.insert(a.end(), {"--repeat", std::to_string(o.repeat)});
	if (!o.expect.empty())
		a.insert(a.end(), {"--expect", o.expect});
	if (!o.kernel.empty())
		a.insert(a.end(), {"--kernel", o.kernel});
	if (!o.ssh.empty())
		a.insert(a.end(), {"--ssh", o.ssh});
	for (const std::string &opt : o.ssh_options)
		a.insert(a.end(), {"--ssh-option", opt});
	if (o.time_scale != 1)
		a.insert(a.end(), {"--time-scale", scale_text(o.time_scale)});
	return a;
}
