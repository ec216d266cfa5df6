// What the tests of the suite runner share: running it, reading what it
// printed, and a scratch directory for stand-in launchers and probes.
#ifndef TESTS_RUNNER_H
#define TESTS_RUNNER_H

#include "tests/common.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

// The runner, as built beside the probes.
inline const std::string suite_path = std::string(PROBE_DIR) + "/probesuite";

// The runner with args, its verdicts as plain words on a terminal too.
inline run_opts suite_opts(const std::vector<std::string> &args, bool tty = false)
{
	run_opts o;
	o.argv = {suite_path};
	o.argv.insert(o.argv.end(), args.begin(), args.end());
	o.tty = tty;
	o.timeout = 90;
	o.env = {"NO_COLOR=1"};
	return o;
}

inline run_result suite(const std::vector<std::string> &args, bool tty = false)
{
	return run(suite_opts(args, tty));
}

inline std::vector<std::string> lines(const std::string &text)
{
	std::vector<std::string> v;
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		v.push_back(l);
	return v;
}

inline std::size_t occurrences(const std::string &text, const std::string &part)
{
	std::size_t n = 0;
	for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
		n++;
	return n;
}

inline std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

// What Debian's jsonschema says of the JSON file at path against the
// record's schema: empty when it validates.
inline std::string schema_says(const std::string &path)
{
	const char *validate = "import json, sys, jsonschema\n"
	                       "jsonschema.validate(json.load(open(sys.argv[2])),\n"
	                       "                    json.load(open(sys.argv[1])),\n"
	                       "                    cls=jsonschema.Draft202012Validator)\n";
	run_opts o;
	o.argv = {"/usr/bin/python3", "-c", validate, RECORD_SCHEMA, path};
	run_result r = run(o);
	return r.exited && r.code == 0 ? "" : describe(r) + ": " + r.out + r.err;
}

// A fresh directory, /tmp/probesuite-<what>.XXXXXX; empty when none could be
// made.
inline std::string scratch_dir(const std::string &what)
{
	std::string t = "/tmp/probesuite-" + what + ".XXXXXX";
	return mkdtemp(t.data()) ? t : "";
}

inline void remove_dir(const std::string &dir)
{
	std::string rm = "rm -rf '" + dir + "'";
	EXPECT_EQ(system(rm.c_str()), 0) << rm;
}

// A shell script dir/name that runs body; its path.
inline std::string write_script(const std::string &dir, const std::string &name,
                                const std::string &body, mode_t mode = 0755)
{
	std::string path = dir + "/" + name;
	std::ofstream(path) << "#!/bin/sh\n" << body;
	EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
	return path;
}

// A fresh directory, dir, for each test, removed after it.
class Scratch : public testing::Test
{
protected:
	std::string dir;

	explicit Scratch(const char *what) : what(what)
	{
	}

	void SetUp() override
	{
		dir = scratch_dir(what);
		ASSERT_NE(dir, "");
	}

	void TearDown() override
	{
		remove_dir(dir);
	}

private:
	const char *what;
};

// Stand-in launchers in a fresh directory, made once for all the tests of
// a suite: its SetUpTestSuite calls make_dir, then script.
class StandIns : public testing::Test
{
protected:
	static inline std::string dir;

	static void make_dir(const std::string &what)
	{
		dir = scratch_dir(what);
		ASSERT_NE(dir, "");
	}

	static void TearDownTestSuite()
	{
		remove_dir(dir);
	}

	static void script(const std::string &name, const std::string &body)
	{
		write_script(dir, name, body);
	}

	static std::string launcher(const std::string &name)
	{
		return dir + "/" + name;
	}
};

#endif
