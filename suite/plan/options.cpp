// The runner's command line.
#include "suite/plan/options.h"
#include "suite/judge/outcome.h"
#include "suite/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char usage[] =
        "usage: probesuite [--launcher CMD] [--only NAME,...] [--dir DIR] [-j N]\n"
        "                  [--repeat N] [--tap] [--junit FILE] [--json FILE] [-q]\n"
        "                  [--expect FILE] [--kernel IMAGE | --ssh DEST [--ssh-option OPT]...]\n"
        "                  [--time-scale F]\n"
        "       probesuite --platforms FILE [--html FILE] [--tap] [--junit FILE]\n"
        "                  [--json FILE] [-q]\n"
        "       probesuite --compare RECORD... [--html FILE] [--tap] [--junit FILE]\n"
        "                  [--json FILE] [-q]\n"
        "       probesuite --list | --version | --help\n"
        "\n"
        "Runs the ten probes in their standard scenarios, shows each transcript\n"
        "with a verdict, then a summary. Exits 0 when every scenario kept its\n"
        "contract, 1 when one broke it, 3 when none broke it but one could not\n"
        "be arranged, 2 on a usage error, 4 when the report could not be written,\n"
        "128+N when signal N stopped the run.\n"
        "\n"
        "  --launcher CMD   run every probe through CMD, which gets the probe's path\n"
        "                   as its last argument (an emulator, a sandbox's loader,\n"
        "                   'valgrind -q --error-exitcode=99'). CMD is split at\n"
        "                   blanks; quotes group words. It may exec the probe, fork\n"
        "                   it, trace it or give it a pid namespace: the runner sees\n"
        "                   which process the probe is (by seccomp, where it can).\n"
        "  --only NAME,...  run only these probes (ductread and splitcount have two\n"
        "                   scenarios each)\n"
        "  --dir DIR        where the probes are (default: this program's directory)\n"
        "  -j, --jobs N     run at most N probes at once (default 4: the three\n"
        "                   5-second probes side by side, the quick ones beside them)\n"
        "  --repeat N       run every scenario N times and count what each run gave:\n"
        "                   its verdict and the values that may differ between runs\n"
        "  --tap            report in TAP: a plan line, then ok or not ok per scenario\n"
        "  --junit FILE     also write a JUnit XML report to FILE\n"
        "  --json FILE      also write the run's record to FILE as JSON: the platform,\n"
        "                   and each scenario's outcome, reason and raw result\n"
        "  -q, --quiet      show the summary alone, without the transcripts\n"
        "  --list           list the scenarios and how each is started, run none\n"
        "  --version        show the version\n"
        "  --expect FILE    FILE lists known differences, a line each: a scenario's\n"
        "                   title or a probe's name, a tab, the reason ('#' starts a\n"
        "                   comment). A listed scenario that breaks its contract is\n"
        "                   a known difference; one that keeps it no longer differs.\n"
        "                   Neither fails the run.\n"
        "  --kernel IMAGE   boot IMAGE under qemu-system-x86_64 and run the suite\n"
        "                   inside it, the runner as init; DIR must hold a static\n"
        "                   build. KVM when it works, else TCG (PROBESUITE_ACCEL=tcg\n"
        "                   or kvm takes only that one). An IMAGE that is a program,\n"
        "                   a user-mode Linux kernel (/usr/bin/linux.uml), runs as\n"
        "                   one, without qemu\n"
        "  --ssh DEST       run the suite on another machine, as ssh reaches it (host,\n"
        "                   user@host, an alias): the runner and probes of DIR, a\n"
        "                   static build, go to a fresh folder there, removed after\n"
        "  --ssh-option OPT pass -o OPT on to ssh (Port=2222, IdentityFile=...)\n"
        "  --raw            send each scenario's raw result to stdout as a JSON line,\n"
        "                   for a runner that judges them (--ssh runs this there);\n"
        "                   the run stops when stdin ends\n"
        "  --time-scale F   multiply every time limit by F, for a slow launcher: a\n"
        "                   scenario gets its contract's bound (20 s for the 5-second\n"
        "                   probes, 5 s for the others) times F, and what a probe\n"
        "                   started gets 1 s times F to end after it\n"
        "  --platforms FILE check every platform FILE lists, a line each: a name, a\n"
        "                   tab, the options that make it (--launcher, --dir,\n"
        "                   --expect, --kernel, ...), side by side; show a matrix\n"
        "                   of outcomes, a row per scenario, a column per platform,\n"
        "                   and every cell that differs from the first platform's\n"
        "  --compare RECORD... show the records of earlier runs (--json files, of one\n"
        "                   platform or of a matrix, or LAVA job logs) as a matrix,\n"
        "                   running nothing\n"
        "  --html FILE      also write the matrix as a web page to FILE, each cell\n"
        "                   opening its transcript and verdict\n"
        "  -h, --help       show this text\n"
        "\n"
        "Verdicts are in colour when standard output is a terminal and NO_COLOR\n"
        "is not set.\n";

// The options. Those without a one-letter form take a code past the
// characters.
enum {
	opt_launcher = 256,
	opt_only,
	opt_dir,
	opt_repeat,
	opt_tap,
	opt_junit,
	opt_json,
	opt_list,
	opt_version,
	opt_expect,
	opt_kernel,
	opt_ssh,
	opt_ssh_option,
	opt_raw,
	opt_time_scale,
	opt_platforms,
	opt_compare,
	opt_html,
};

const char shorts[] = "hj:q";

const struct option longs[] = {
        {"launcher", required_argument, nullptr, opt_launcher},
        {"only", required_argument, nullptr, opt_only},
        {"dir", required_argument, nullptr, opt_dir},
        {"jobs", required_argument, nullptr, 'j'},
        {"repeat", required_argument, nullptr, opt_repeat},
        {"tap", no_argument, nullptr, opt_tap},
        {"junit", required_argument, nullptr, opt_junit},
        {"json", required_argument, nullptr, opt_json},
        {"quiet", no_argument, nullptr, 'q'},
        {"list", no_argument, nullptr, opt_list},
        {"version", no_argument, nullptr, opt_version},
        {"expect", required_argument, nullptr, opt_expect},
        {"kernel", required_argument, nullptr, opt_kernel},
        {"ssh", required_argument, nullptr, opt_ssh},
        {"ssh-option", required_argument, nullptr, opt_ssh_option},
        {"raw", no_argument, nullptr, opt_raw},
        {"time-scale", required_argument, nullptr, opt_time_scale},
        {"help", no_argument, nullptr, 'h'},
        {"platforms", required_argument, nullptr, opt_platforms},
        {"compare", required_argument, nullptr, opt_compare},
        {"html", required_argument, nullptr, opt_html},
        {nullptr, 0, nullptr, 0},
};

// The option's name as the usage text gives it: "--tap", "-q".
std::string option_name(int c)
{
	if (c == 'q')
		return "-q";
	if (c == 'j')
		return "-j";
	for (const struct option *l = longs; l->name; l++)
		if (l->val == c)
			return std::string("--") + l->name;
	return "?";
}

// Whether option c makes or shapes a platform, rather than a report.
bool makes_platform(int c)
{
	switch (c) {
	case opt_launcher:
	case opt_only:
	case opt_dir:
	case 'j':
	case opt_repeat:
	case opt_expect:
	case opt_kernel:
	case opt_ssh:
	case opt_ssh_option:
	case opt_time_scale:
		return true;
	default:
		return false;
	}
}

// What getopt_long found wrong with the option it has just read: optopt
// is the option's code, or 0 when no option has that name.
std::string bad_option(int argc, char **argv)
{
	std::string a = optind > 0 && optind <= argc ? argv[optind - 1] : "";
	a = cut(a.substr(0, a.find('=')));
	bool is_long = a.starts_with("--");
	if (optopt == 0) {
		std::string names;
		int n = 0;
		for (const struct option *l = longs; l->name; l++)
			if (std::string(l->name).starts_with(a.substr(2)))
				names += std::string(n++ ? " or --" : "--") + l->name;
		if (n > 1)
			return "option '" + a + "' is ambiguous: it could be " + names;
		return "unknown option '" + a + "'";
	}
	for (const struct option *l = longs; l->name; l++) {
		if (l->val != optopt)
			continue;
		std::string name = optopt < 256 && !is_long ? std::string("-") + (char)optopt
		                                            : std::string("--") + l->name;
		return name + (l->has_arg ? " needs a value" : " takes no value");
	}
	return std::string("unknown option '-") + (char)optopt + "'";
}

// A count from 1 to most_count given to option name, in n.
bool count(const char *name, const std::string &value, int &n, std::string &why)
{
	char *end;
	errno = 0;
	long v = strtol(value.c_str(), &end, 10);
	if (value[0] < '0' || value[0] > '9' || *end || errno || v < 1 || v > most_count) {
		why = std::string(name) + " takes a count from 1 to " + std::to_string(most_count) +
		      ", not '" + cut(value) + "'";
		return false;
	}
	n = (int)v;
	return true;
}

// A time scale from least_scale to most_scale: a 5-second probe's
// bound of 20 s becomes 0.2 s to 5.6 hours.
bool scale(const std::string &value, double &x, std::string &why)
{
	char *end;
	x = strtod(value.c_str(), &end);
	if (!value.empty() && !*end && x >= least_scale && x <= most_scale)
		return true;
	char range[64];
	snprintf(range, sizeof range, "from %g to %g", least_scale, most_scale);
	why = std::string("--time-scale needs a number ") + range + ", not '" + cut(value) + "'";
	return false;
}

// The probes --only names, each word split at commas.
bool only(const std::string &value, std::vector<std::string> &names, std::string &why)
{
	std::vector<std::string> words;
	split(value, words);
	for (const std::string &w : words) {
		for (std::size_t from = 0; from <= w.size();) {
			std::size_t comma = w.find(',', from);
			if (comma == std::string::npos)
				comma = w.size();
			std::string name = w.substr(from, comma - from);
			if (!name.empty())
				names.push_back(name);
			from = comma + 1;
		}
	}
	why = names.empty() ? "--only names no probe" : "";
	return why.empty();
}

bool launcher(const std::string &value, std::vector<std::string> &words, std::string &why)
{
	words.clear();
	why = !split(value, words) ? "unclosed quote in the launcher: " + cut(value)
	      : words.empty()      ? "the launcher is empty"
	                           : "";
	return why.empty();
}

// Takes option c with its value into o; false with why when it is wrong.
// Exits on --help and --version.
bool take(int c, const std::string &value, options &o, std::string &why)
{
	switch (c) {
	case 'h':
		fputs(usage, stdout);
		exit(0);
	case opt_version:
		printf("probesuite %s\n", VERSION);
		exit(0);
	case opt_tap:
		o.tap = true;
		return true;
	case opt_launcher:
		return launcher(value, o.launcher, why);
	case opt_only:
		return only(value, o.only, why);
	case opt_dir:
		o.dir = value;
		return true;
	case 'j':
		return count("-j", value, o.jobs, why);
	case opt_repeat:
		return count("--repeat", value, o.repeat, why);
	case opt_junit:
	case opt_json:
		if (value.empty())
			why = std::string(c == opt_json ? "--json" : "--junit") +
			      " needs a file name";
		(c == opt_json ? o.json : o.junit) = value;
		return why.empty();
	case 'q':
		o.quiet = true;
		return true;
	case opt_list:
		o.list = true;
		return true;
	case opt_expect:
		o.expect = value;
		return true;
	case opt_kernel:
		o.kernel = value;
		return true;
	case opt_ssh:
		if (value.empty())
			why = "--ssh needs a destination";
		o.ssh = value;
		return why.empty();
	case opt_ssh_option:
		o.ssh_options.push_back(value);
		return true;
	case opt_raw:
		o.raw = true;
		return true;
	case opt_time_scale:
		return scale(value, o.time_scale, why);
	case opt_platforms:
		o.platforms = value;
		return true;
	case opt_compare:
		o.compare.push_back(value);
		return true;
	case opt_html:
		o.html = value;
		return true;
	}
	return false;
}

// The options that do not go together: why, or empty.
std::string combined(const options &o, int platform_option)
{
	const char *away = !o.kernel.empty() ? "--kernel" : !o.ssh.empty() ? "--ssh" : nullptr;
	if (away && o.repeat > 1)
		return std::string("--repeat runs on this machine only, not with ") + away;
	if (!o.kernel.empty() && !o.ssh.empty())
		return "--kernel and --ssh each name another platform: give one";
	if (o.raw && away)
		return std::string("--raw runs here, not with ") + away;
	if (!o.ssh_options.empty() && o.ssh.empty())
		return "--ssh-option needs --ssh";
	for (const std::string *a : {&o.junit, &o.json})
		for (const std::string *b : {&o.json, &o.html})
			if (a != b && !a->empty() && *a == *b)
				return option_name(a == &o.junit ? opt_junit : opt_json) + " and " +
				       option_name(b == &o.json ? opt_json : opt_html) +
				       " name the same file";
	bool matrix = !o.platforms.empty() || !o.compare.empty();
	if (!o.platforms.empty() && !o.compare.empty())
		return "give --platforms or --compare, not both";
	if (!o.html.empty() && !matrix)
		return "--html draws a matrix: give --platforms or --compare";
	if (matrix && platform_option)
		return option_name(platform_option) +
		       (o.compare.empty() ? " makes a platform: give it on the platform's line"
		                          : " makes a platform, and --compare runs none");
	if (matrix && (o.list || o.raw))
		return std::string(o.list ? "--list" : "--raw") + " runs no matrix";
	return "";
}

// PROBESUITE_BOOT_TIMEOUT and PROBESUITE_ACCEL, for another platform:
// why they are wrong, or empty.
std::string from_environment(options &o)
{
	if (const char *t = getenv("PROBESUITE_BOOT_TIMEOUT")) {
		char *end;
		o.boot_timeout = strtod(t, &end);
		if (*t == 0 || *end != 0 || !(o.boot_timeout > 0))
			return "PROBESUITE_BOOT_TIMEOUT is not a number of seconds: " + cut(t);
	}
	const char *accel = getenv("PROBESUITE_ACCEL");
	o.accel = accel ? accel : "";
	if (o.accel != "" && o.accel != "tcg" && o.accel != "kvm")
		return "PROBESUITE_ACCEL is neither tcg nor kvm: " + cut(o.accel);
	return "";
}

}  // namespace

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

namespace
{

// Whether path is a regular file this process may execute: not a
// directory, as an empty name or a folder's makes.
bool is_program(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
	       access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_program(const std::string &program)
{
	if (program.empty())
		return "";
	if (program.find('/') != std::string::npos)
		return is_program(program) ? program : "";
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
	for (std::size_t from = 0; from <= dirs.size();) {
		std::size_t colon = dirs.find(':', from);
		if (colon == std::string::npos)
			colon = dirs.size();
		std::string dir = dirs.substr(from, colon - from);
		std::string full = (dir.empty() ? "." : dir) + "/" + program;
		if (is_program(full))
			return full;
		from = colon + 1;
	}
	return "";
}

// A usage error may quote a file's or a record's text: its control bytes
// are shown escaped, as in every report.
[[noreturn]] void bad_usage(const std::string &why)
{
	fprintf(stderr, "probesuite: %s\nTry 'probesuite --help'.\n", escaped(why).c_str());
	exit(2);
}

bool parse(int argc, char **argv, options &o, parse_mode mode, std::string &why)
{
	why.clear();
	opterr = 0;               // the messages are ours
	optind = 0;               // from the start, should it have read another line
	int platform_option = 0;  // one that makes a platform, on the command line
	for (int c; (c = getopt_long(argc, argv, shorts, longs, nullptr)) != -1;) {
		bool known = c != '?' && c != ':';
		if (known && mode == from_platform_line && !makes_platform(c))
			why = option_name(c) + " makes no platform";
		else if (!known || (!take(c, optarg ? optarg : "", o, why) && why.empty()))
			why = bad_option(argc, argv);
		if (!why.empty())
			return false;
		if (makes_platform(c) && !platform_option)
			platform_option = c;
	}
	if (!o.compare.empty())  // and the records after it
		for (; optind < argc; optind++)
			o.compare.push_back(argv[optind]);
	if (optind < argc) {
		why = "unexpected argument '" + cut(argv[optind]) + "'";
		return false;
	}
	why = combined(o, platform_option);
	if (why.empty() && (!o.kernel.empty() || !o.ssh.empty()))
		why = from_environment(o);
	return why.empty();
}

bool parse_platform(const std::vector<std::string> &words, options &o, std::string &why)
{
	std::vector<std::string> args = {"probesuite"};
	args.insert(args.end(), words.begin(), words.end());
	std::vector<char *> argv;
	argv.reserve(args.size() + 1);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	return parse((int)args.size(), argv.data(), o, from_platform_line, why);
}
