// The probes cost what the same programs in C cost: each needs only the C
// library and the loader, and runs nothing before main but the one entry
// the compiler's start-up file puts in .init_array (frame_dummy). In the
// static flavours (FLAVOUR "static" or "musl") a probe needs no library and
// names no loader; the static flavour's suite runner neither.
#include "check/harness/run.h"
#include "tests/common.h"
#include "tests/sanitized.h"

#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

struct elf_facts {
	std::vector<std::string> needed;  // DT_NEEDED libraries
	long init_bytes = 0;              // size of .init_array and .preinit_array
	bool interp = false;              // a PT_INTERP program header names a loader
	bool glibc_tag = false;           // glibc's start-up file put its .note.ABI-tag in
};

// Reads the dynamic section, the section table and the program headers
// with readelf.
elf_facts read_elf(const std::string &path)
{
	elf_facts e;
	run_result r = run_tool({"/usr/bin/readelf", "-W", "-d", "-S", "-l", path});
	EXPECT_EQ(describe(r), "exit 0") << r.err;
	std::istringstream lines(r.out);
	for (std::string line; std::getline(lines, line);) {
		// " 0x0000000000000001 (NEEDED)   Shared library: [libc.so.6]"
		std::size_t open = line.find("Shared library: [");
		if (line.find("(NEEDED)") != std::string::npos && open != std::string::npos)
			e.needed.push_back(
			        line.substr(open + 17, line.find(']', open) - open - 17));
		// "  [19] .init_array  INIT_ARRAY  0000000000003dd0 002dd0 000008 08  WA  0   0  8"
		std::istringstream words(line.substr(line.find(']') + 1));
		std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
		if (line.find("  [") == 0 && w.size() > 4 &&
		    (w[1] == "INIT_ARRAY" || w[1] == "PREINIT_ARRAY"))
			e.init_bytes += std::stol(w[4], nullptr, 16);
		if (line.find("  [") == 0 && !w.empty() && w[0] == ".note.ABI-tag")
			e.glibc_tag = true;
		// "  INTERP         0x000318 0x0000000000000318 ..."
		if (line.find("  INTERP ") == 0)
			e.interp = true;
	}
	return e;
}

std::string joined(const std::vector<std::string> &v)
{
	std::string s;
	for (const std::string &x : v)
		s += (s.empty() ? "" : " ") + x;
	return s;
}

bool only_libc(const std::vector<std::string> &needed)
{
	for (const std::string &n : needed)
		if (n != "libc.so.6" && n != "ld-linux-x86-64.so.2")
			return false;
	return !needed.empty();
}

// The reader, on this test program: C++ with static test registrations, so
// it must find libstdc++ and more than one start-up entry, or the probe
// checks below would pass on a reader that finds nothing.
TEST(Deps, ReaderSeesTheCxxRuntimeAndConstructorsOfThisTest)
{
	char self_path[4096] = {};
	ASSERT_GT(readlink("/proc/self/exe", self_path, sizeof self_path - 1), 0);
	elf_facts self = read_elf(self_path);
	EXPECT_FALSE(only_libc(self.needed)) << joined(self.needed);
	EXPECT_NE(joined(self.needed).find("libstdc++.so.6"), std::string::npos);
	EXPECT_GT(self.init_bytes, 8);
	EXPECT_TRUE(self.interp);
	EXPECT_TRUE(self.glibc_tag);
	EXPECT_FALSE(names_no_loader(self_path));
}

// Whether a sanitizer's runtime is in this program, as the linker left it:
// a shared runtime among the libraries needed (g++), or one linked in
// statically, whose entry points are then defined here (clang++).
bool runtime_linked_in(const std::string &path)
{
	for (const std::string &n : read_elf(path).needed)
		if (n.starts_with("libasan") || n.starts_with("libtsan") ||
		    n.starts_with("libubsan"))
			return true;
	run_result r = run_tool({"/usr/bin/readelf", "-W", "--syms", path});
	EXPECT_EQ(describe(r), "exit 0") << r.err;
	std::istringstream lines(r.out);
	for (std::string line; std::getline(lines, line);) {
		// "  1234: 00000000000f1e20  233 FUNC  GLOBAL DEFAULT  14 __asan_init"
		std::istringstream words(line);
		std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
		if (w.size() >= 8 && w[6] != "UND" &&
		    (w[7].starts_with("__asan_init") || w[7].starts_with("__tsan_init") ||
		     w[7].starts_with("__ubsan_handle_")))
			return true;
	}
	return false;
}

// The tests skip what a sanitizer prevents by what they see of its runtime.
// A plain build that took itself for a sanitized one would skip the fault,
// memcheck and dependency tests and still pass; a sanitized one that did not
// would fail them for the wrong reason.
TEST(Deps, SanitizerSkipsFollowTheRuntimeLinkedIn)
{
	char self_path[4096] = {};
	ASSERT_GT(readlink("/proc/self/exe", self_path, sizeof self_path - 1), 0);
	EXPECT_EQ(SANITIZED, runtime_linked_in(self_path));
}

const bool static_probes = std::string(FLAVOUR) != "dynamic";

std::vector<std::string> probe_names()
{
	std::istringstream in(PROBE_NAMES);
	return {std::istream_iterator<std::string>(in), {}};
}

class Probe : public testing::TestWithParam<std::string>
{
};

TEST_P(Probe, NeedsOnlyTheCLibraryAndRunsNoConstructors)
{
	// The sanitizer runtimes are shared libraries with constructors of their own.
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizer builds load their runtimes";
	elf_facts e = read_elf(std::string(PROBE_DIR) + "/" + GetParam());
	if (static_probes)
		EXPECT_EQ(joined(e.needed), "") << "a static probe needs no library";
	else
		EXPECT_TRUE(only_libc(e.needed)) << "needs " << joined(e.needed);
	EXPECT_EQ(e.init_bytes, 8) << "more than frame_dummy runs before main";
}

TEST_P(Probe, NamesALoaderOnlyWhenDynamic)
{
	elf_facts e = read_elf(std::string(PROBE_DIR) + "/" + GetParam());
	EXPECT_EQ(e.interp, !static_probes) << FLAVOUR;
	// What makes the fault and memcheck tests skip a probe.
	EXPECT_EQ(names_no_loader(std::string(PROBE_DIR) + "/" + GetParam()), static_probes);
}

// musl's start-up files take the place of glibc's, which tag the program.
TEST_P(Probe, StartsWithTheFlavoursCLibrary)
{
	elf_facts e = read_elf(std::string(PROBE_DIR) + "/" + GetParam());
	EXPECT_EQ(e.glibc_tag, std::string(FLAVOUR) != "musl") << FLAVOUR;
}

INSTANTIATE_TEST_SUITE_P(Deps, Probe, testing::ValuesIn(probe_names()),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

TEST(Deps, AllTenProbesAreChecked)
{
	EXPECT_EQ(probe_names().size(), 10u) << PROBE_NAMES;
}

// The static flavour's runner serves as init where no loader or library
// exists; the other flavours' runner is an ordinary dynamic program.
TEST(Deps, SuiteRunnerIsStaticInTheStaticFlavourOnly)
{
	bool wanted = std::string(FLAVOUR) == "static";
	elf_facts e = read_elf(std::string(PROBE_DIR) + "/probesuite");
	EXPECT_EQ(e.interp, !wanted) << FLAVOUR;
	EXPECT_EQ(e.needed.empty(), wanted) << joined(e.needed);
}

}  // namespace
