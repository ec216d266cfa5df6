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
#include "suite/away/needs.h"
#include "suite/plan/prepare.h"
#include "suite/text.h"

#include <cerrno>
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

// The newest file that pattern matches, by version; pattern itself when
// it is none.
std::string newest(const std::string &pattern)
{
	if (pattern.find_first_of("*?[") == std::string::npos)
		return pattern;
	glob_t g;
	std::string found;
	if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
		for (std::size_t i = 0; i < g.gl_pathc; i++)
			if (found.empty() || strverscmp(g.gl_pathv[i], found.c_str()) > 0)
				found = g.gl_pathv[i];
	globfree(&g);
	if (found.empty())
		bad_usage("no kernel image matches " + pattern);
	return found;
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

// Line n of the file, neither blank nor a comment.
platform_line platform_of(const std::string &l, const std::string &folder, int n)
{
	platform_line p;
	p.line = n;
	std::size_t tab = l.find('\t');
	p.name = l.substr(0, tab);
	if (p.name.find_first_not_of(' ') == std::string::npos)
		bad_usage("no platform's name before the tab");
	if (tab == std::string::npos && p.name.find(' ') != std::string::npos)
		bad_usage("a tab, not a blank, separates the platform's name from its options");
	std::vector<std::string> words;
	if (tab != std::string::npos && !split(l.substr(tab + 1), words))
		bad_usage("unclosed quote");
	parse_platform(words, p.o);
	options &o = p.o;
	for (std::string *path : {&o.dir, &o.expect, &o.kernel})
		*path = from_folder(folder, *path);
	o.kernel = newest(o.kernel);
	if (!o.launcher.empty() && o.launcher[0].find('/') != std::string::npos)
		o.launcher[0] = from_folder(folder, o.launcher[0]);
	p.plan = prepare(o);
	check_away_usage(p.plan, o);
	p.heavy = heavy(o);
	return p;
}

}  // namespace

std::vector<platform_line> read_platforms(const std::string &file)
{
	std::string text;
	if (!read_file(file, text))
		bad_usage("cannot read the platforms file " + file + ": " + strerror(errno));
	std::size_t slash = file.rfind('/');
	std::string folder = slash == std::string::npos ? ""
	                     : slash == 0               ? "/"
	                                                : file.substr(0, slash);
	std::vector<platform_line> platforms;
	std::map<std::string, int> named;
	for (const auto &[n, l] : meant_lines(text)) {
		usage_at(file + ":" + std::to_string(n) + ": ");
		platform_line p = platform_of(l, folder, n);
		if (named.count(p.name))
			bad_usage("the platform '" + p.name + "' is named already on line " +
			          std::to_string(named[p.name]));
		named[p.name] = n;
		platforms.push_back(std::move(p));
	}
	usage_at("");
	if (platforms.empty())
		bad_usage("the platforms file " + file + " names no platform");
	return platforms;
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
