// The runner's command line.
#include "suite/suite.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace
{

const char usage[] =
        "usage: probesuite [--launcher CMD] [--only NAME,...] [--dir DIR] [--tap]\n"
        "                  [--time-scale F]\n"
        "\n"
        "Runs the ten probes in their standard scenarios, shows each transcript\n"
        "with a verdict, then a summary. Exits 0 when every scenario kept its\n"
        "contract, 1 when one broke it, 3 when none broke it but one could not\n"
        "be arranged, 2 on a usage error.\n"
        "\n"
        "  --launcher CMD   run every probe through CMD, which gets the probe's path\n"
        "                   as its last argument (an emulator, a sandbox's loader,\n"
        "                   'valgrind -q --error-exitcode=99'). CMD is split at\n"
        "                   blanks; quotes group words. The launcher must exec the\n"
        "                   probe in its own process: reapcheck and selfreport print\n"
        "                   their pid, which must be the pid the runner started.\n"
        "  --only NAME,...  run only these probes (ductread and splitcount have two\n"
        "                   scenarios each)\n"
        "  --dir DIR        where the probes are (default: this program's directory)\n"
        "  --tap            report in TAP: a plan line, then ok or not ok per scenario\n"
        "  --time-scale F   multiply every time limit by F, for a slow launcher: a\n"
        "                   scenario gets its contract's bound (20 s for the 5-second\n"
        "                   probes, 5 s for the others) times F, and what a probe\n"
        "                   started gets 1 s times F to end after it\n"
        "  -h, --help       show this text\n";

}  // namespace

// Splits a command line at blanks; '...' and "..." group, a backslash
// takes the next character as it is. False on an unclosed quote.
bool split(const std::string &line, std::vector<std::string> &words)
{
	std::string w;
	bool in_word = false;
	char quote = 0;
	for (std::size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		if (quote) {
			if (c == quote)
				quote = 0;
			else if (c == '\\' && quote == '"' && i + 1 < line.size())
				w += line[++i];
			else
				w += c;
		} else if (c == '\'' || c == '"') {
			quote = c;
			in_word = true;
		} else if (c == '\\' && i + 1 < line.size()) {
			w += line[++i];
			in_word = true;
		} else if (c == ' ' || c == '\t' || c == '\n') {
			if (in_word)
				words.push_back(w);
			w.clear();
			in_word = false;
		} else {
			w += c;
			in_word = true;
		}
	}
	if (in_word)
		words.push_back(w);
	return quote == 0;
}

// The path of program as the shell would find it; empty when there is none.
std::string find_program(const std::string &program)
{
	if (program.find('/') != std::string::npos)
		return access(program.c_str(), X_OK) == 0 ? program : "";
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
	for (std::size_t from = 0; from <= dirs.size();) {
		std::size_t colon = dirs.find(':', from);
		if (colon == std::string::npos)
			colon = dirs.size();
		std::string dir = dirs.substr(from, colon - from);
		std::string full = (dir.empty() ? "." : dir) + "/" + program;
		if (access(full.c_str(), X_OK) == 0)
			return full;
		from = colon + 1;
	}
	return "";
}

[[noreturn]] void bad_usage(const std::string &why)
{
	fprintf(stderr, "probesuite: %s\nTry 'probesuite --help'.\n", why.c_str());
	exit(2);
}

// Fills o from the command line; exits on --help or a usage error.
void parse(int argc, char **argv, options &o)
{
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i], value;
		std::size_t eq = a.find('=');
		bool takes =
		        a == "--launcher" || a == "--only" || a == "--dir" || a == "--time-scale";
		if (a.starts_with("--") && eq != std::string::npos) {
			value = a.substr(eq + 1);
			a = a.substr(0, eq);
			takes = false;
		}
		if (takes) {
			if (i + 1 == argc)
				bad_usage(a + " needs a value");
			value = argv[++i];
		}
		if (a == "-h" || a == "--help") {
			fputs(usage, stdout);
			exit(0);
		} else if (a == "--tap") {
			o.tap = true;
		} else if (a == "--launcher") {
			o.launcher.clear();
			if (!split(value, o.launcher))
				bad_usage("unclosed quote in the launcher: " + value);
			if (o.launcher.empty())
				bad_usage("the launcher is empty");
		} else if (a == "--only") {
			std::vector<std::string> names;
			split(value, names);
			for (const std::string &w : names) {
				for (std::size_t from = 0; from <= w.size();) {
					std::size_t comma = w.find(',', from);
					if (comma == std::string::npos)
						comma = w.size();
					std::string name = w.substr(from, comma - from);
					if (!name.empty())
						o.only.push_back(name);
					from = comma + 1;
				}
			}
			if (o.only.empty())
				bad_usage("--only names no probe");
		} else if (a == "--dir") {
			o.dir = value;
		} else if (a == "--time-scale") {
			char *end;
			o.time_scale = strtod(value.c_str(), &end);
			if (value.empty() || *end || !(o.time_scale > 0 && o.time_scale < 1e6))
				bad_usage("--time-scale needs a positive number, not '" + value +
				          "'");
		} else {
			bad_usage("unknown option '" + a + "'");
		}
	}
}
