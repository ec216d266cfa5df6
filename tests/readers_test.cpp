// The readers of what a user hands the runner, called directly: a record,
// a platforms or expectations file, a program's ELF headers, the options.
// Each refuses what is out of bounds with a message that says where,
// without exiting, blocking or growing without bound.
#include "check/harness/file.h"
#include "suite/away/needs.h"
#include "suite/matrix/compare.h"
#include "suite/matrix/platforms.h"
#include "suite/plan/expect.h"
#include "suite/plan/options.h"
#include "suite/plan/prepare.h"
#include "suite/record/elf.h"
#include "suite/record/record.h"
#include "suite/text.h"
#include "tests/runner.h"

#include <elf.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

// A record of two scenarios, as json_record writes it.
std::string two_scenarios()
{
	record r;
	r.repeat = 2;
	for (const char *title : {"raiseprint", "ductread (fed)"}) {
		tally &t = r.scenarios.emplace_back();
		t.title = title;
		t.probe = "x";
		t.runs = 2;
		t.shown = 0;
		t.outcomes = {{outcome::ok, 2}};
		t.seen = {{"printed last", {{"a", 2}}}};
	}
	return json_record(r);
}

// text with the nth occurrence (from 0) of from replaced by to.
std::string replaced(std::string text, const std::string &from, const std::string &to, int nth = 0)
{
	std::size_t at = text.find(from);
	while (at != std::string::npos && nth-- > 0)
		at = text.find(from, at + 1);
	EXPECT_NE(at, std::string::npos) << from;
	return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ReadRecord, RefusesWhatNoRunGivesAndSaysWhere)
{
	const std::string good = two_scenarios();
	std::string why;
	record r;
	ASSERT_TRUE(read_record(good, r, why)) << why;
	struct {
		std::string text, says;
	} cases[] = {
	        {std::string(200000, '['), "nested more than 16 deep"},
	        {"{\"format\": 1, \"x\": " + std::string(200000, '['), "nested more than 16 deep"},
	        {good.substr(0, 40), "not JSON at byte 40"},
	        {replaced(good, "\"repeat\": 2", "\"repeat\": 0"), "field \"repeat\": 0 is not"},
	        {replaced(good, "\"repeat\": 2", "\"repeat\": -2147483648"), "field \"repeat\""},
	        {replaced(good, "\"repeat\": 2", "\"repeat\": 4294967297"),
	         "field \"repeat\": not an integer from"},
	        {replaced(good, "\"runs\": 2", "\"runs\": 2147483647"),
	         "scenario 1 (raiseprint): field \"runs\""},
	        {replaced(good, "\"repeat\": 2", "\"repeat\": 1"),
	         "scenario 1 (raiseprint): field \"runs\": more than the record's repeat of 1"},
	        {replaced(good, "\"ok\": 2", "\"ok\": 2147483647", 1),
	         "scenario 2 (ductread (fed)): field \"outcomes\""},
	        {replaced(good, "\"ok\": 2", "\"ok\": 1"), "the counts add up to 1, not 2"},
	        {replaced(good, "\"ok\": 2", "\"ok\": -1"), "field \"outcomes\""},
	        {replaced(good, "\"a\": 2", "\"a\": 3"), "field \"values\""},
	        {replaced(good, "\"raiseprint\"", "\"raise\\u0000print\""),
	         "field \"title\": a NUL byte"},
	        {replaced(good, "\"code\": -1", "\"code\": \"x\"", 1),
	         "scenario 2 (ductread (fed)): field \"run.code\""},
	        {replaced(good, "\"pid\": -1", "\"pid\": 1.5", 1), "field \"run.seen.pid\""},
	};
	for (const auto &c : cases) {
		why.clear();
		EXPECT_FALSE(read_record(c.text, r, why)) << c.says;
		EXPECT_TRUE(has(why, c.says)) << why;
		EXPECT_LT(why.size(), 600u) << why;
		matrix m;
		EXPECT_FALSE(read_records(c.text, m, why)) << c.says;
	}
}

// Every text a matrix's record holds, names and words as well as fields,
// comes back byte for byte, whatever its bytes.
TEST(ReadRecord, EveryTextComesBackAsItWas)
{
	matrix m;
	for (const char *name : {"caf\xe9", "base64:QQ==", "plain"}) {
		column &c = m.platforms.emplace_back();
		c.name = name;
		c.r.on.launcher = {"run\xff", "base64:", ""};
		tally &t = c.r.scenarios.emplace_back();
		t.title = name;
		t.runs = 1;
		t.outcomes = {{outcome::ok, 1}};
		t.seen = {{std::string("last\xfe"), {{"\xc3", 1}}}};
	}
	std::string text = json_matrix(m), why;
	EXPECT_TRUE(is_utf8(text));
	matrix back;
	ASSERT_TRUE(read_records(text, back, why)) << why;
	EXPECT_EQ(back, m);
	// A record saved before its runs kept the probe's pipes reads as one
	// that saw none.
	std::string old = two_scenarios();
	for (std::size_t at; (at = old.find("\"pipes at exit\": []")) != std::string::npos;) {
		std::size_t comma = old.rfind(',', at);
		old.erase(comma, at + 19 - comma);
	}
	ASSERT_EQ(old.find("pipes"), std::string::npos);
	EXPECT_TRUE(read_records(old, back, why)) << why;
}

// A scratch folder with a FIFO that nothing writes to, a directory, and
// files of given texts.
class Files : public ::testing::Test
{
protected:
	static void SetUpTestSuite()
	{
		dir = scratch_dir("readers");
		ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
		ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
	}
	static void TearDownTestSuite()
	{
		remove_dir(dir);
	}

	static std::string write(const std::string &name, const std::string &text)
	{
		std::string path = dir + "/" + name;
		std::ofstream(path, std::ios::binary) << text;
		return path;
	}

	static inline std::string dir;
};

TEST_F(Files, OnlyRegularFilesWithinTheirBoundAreRead)
{
	std::string big = write("big", "");
	ASSERT_EQ(truncate(big.c_str(), list_limit + 1), 0);
	struct {
		std::string path, says;
	} cases[] = {
	        {dir + "/fifo", "it is a FIFO, not a regular file"},
	        {dir + "/folder", "it is a directory, not a regular file"},
	        {"/dev/zero", "it is a character device, not a regular file"},
	        {big, "it is larger than 1 MiB"},
	        {dir + "/none", "No such file or directory"},
	};
	for (const auto &c : cases) {
		std::string data = "old", why;
		EXPECT_FALSE(read_regular(c.path, list_limit, false, data, why)) << c.path;
		EXPECT_EQ(why, c.says) << c.path;
		EXPECT_LE(data.size(), list_limit) << c.path;
	}
	std::string data, why;
	EXPECT_TRUE(read_regular(big, 10, true, data, why)) << why;
	EXPECT_EQ(data, std::string(10, '\0'));
	EXPECT_TRUE(read_regular(write("small", "a\nb"), 3, false, data, why)) << why;
	EXPECT_EQ(data, "a\nb");
}

TEST_F(Files, EachReaderNamesTheFileAndLine)
{
	std::string nul = write("nul", std::string("# x\na\t--only raise\0print\n", 25));
	std::string enul = write("enul", std::string("raise\0print\tgone\n", 17));
	std::string two = write("two", "a\t--only raiseprint\na\t--only raiseprint\n");
	std::string many;
	for (int n = 0; n <= most_platforms; n++)
		many += std::to_string(n) + "\t--only raiseprint\n";
	struct {
		int reader;  // 0: platforms, 1: expectations, 2: records
		std::string path, says;
	} cases[] = {
	        {0, nul, nul + ":2: a NUL byte in the line"},
	        {0, dir + "/fifo", "cannot read the platforms file " + dir + "/fifo: it is a FIFO"},
	        {0, two, two + ":2: the platform 'a' is named already on line 1"},
	        {0, write("many", many), dir + "/many:101: more than 100 platforms"},
	        {0, write("long", std::string(300, 'n') + "\t--only " + std::string(300, 'p')),
	         dir + "/long:1: no probe is called '" + std::string(200, 'p') + "\xe2\x80\xa6'"},
	        {1, enul, enul + ":1: a NUL byte in the line"},
	        {1, dir + "/folder",
	         "cannot read the expectations file " + dir + "/folder: it is a directory"},
	        {2, dir + "/fifo", "cannot read the record " + dir + "/fifo: it is a FIFO"},
	        {2, nul, nul + " is no run record: not JSON at byte 0"},
	};
	for (const auto &c : cases) {
		std::string why;
		std::vector<platform_line> platforms;
		std::vector<scenario> all = standard();
		matrix m;
		bool ok = c.reader == 0   ? read_platforms(c.path, platforms, why)
		          : c.reader == 1 ? read_expectations(c.path, all, why)
		                          : compared({c.path}, m, why);
		EXPECT_FALSE(ok) << c.path;
		EXPECT_TRUE(why.starts_with(c.says)) << why << "\nnot\n" << c.says;
	}
}

// An ELF header with one program header, at phoff, of type PT_INTERP at
// interp; size bytes in all.
std::string elf(std::uint64_t phoff, std::uint64_t interp, std::size_t size)
{
	Elf64_Ehdr h{};
	memcpy(h.e_ident, ELFMAG, SELFMAG);
	h.e_ident[EI_CLASS] = ELFCLASS64;
	h.e_phoff = phoff;
	h.e_phentsize = sizeof(Elf64_Phdr);
	h.e_phnum = 1;
	Elf64_Phdr ph{};
	ph.p_type = PT_INTERP;
	ph.p_offset = interp;
	std::string data(size, 'x');
	memcpy(data.data(), &h, sizeof h);
	if (phoff <= size - sizeof ph)
		memcpy(data.data() + phoff, &ph, sizeof ph);
	return data;
}

TEST_F(Files, ElfHeadersThatPointOutsideTheFileAreRefused)
{
	const std::size_t size = sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) + 8;
	struct {
		std::uint64_t phoff, interp;
		const char *says;
	} cases[] = {
	        {~0ull - 7, 0, "its program headers are cut short"},
	        {~0ull - sizeof(Elf64_Phdr) + 1, 0, "its program headers are cut short"},
	        {size - 8, 0, "its program headers are cut short"},
	        {sizeof(Elf64_Ehdr), size - 4, "its interpreter's path runs past the end"},
	        {sizeof(Elf64_Ehdr), ~0ull, "its interpreter's path runs past the end"},
	};
	for (const auto &c : cases) {
		std::string path = write("elf", elf(c.phoff, c.interp, size)), why;
		EXPECT_FALSE(is_static(path, why)) << c.says;
		EXPECT_TRUE(why.starts_with(c.says)) << why;
	}
	std::string dynamic = elf(sizeof(Elf64_Ehdr), size - 4, size), why;
	dynamic.back() = '\0';
	EXPECT_FALSE(is_static(write("elf", dynamic), why));
	EXPECT_EQ(why, "it is linked dynamically (interpreter xxx)");
}

bool parsed(std::vector<std::string> words, options &o, std::string &why)
{
	words.insert(words.begin(), "probesuite");
	std::vector<char *> argv;
	argv.reserve(words.size() + 1);
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	return parse((int)words.size(), argv.data(), o, from_command_line, why);
}

TEST_F(Files, OptionsOutOfTheirRangeAreRefused)
{
	struct {
		std::vector<std::string> words;
		std::string says;  // empty: taken
	} cases[] = {
	        {{"--time-scale", "1e-300"}, "--time-scale needs a number from 0.01 to 1000"},
	        {{"--time-scale", "1e300"}, "--time-scale needs a number from 0.01 to 1000"},
	        {{"--time-scale", "nan"}, "--time-scale needs a number from 0.01 to 1000"},
	        {{"--time-scale", "0.01"}, ""},
	        {{"--time-scale", "1000"}, ""},
	        {{"--launcher", dir + "/folder"}, "cannot find the launcher '"},
	        {{"--launcher", "''"}, "cannot find the launcher ''"},
	        {{"--launcher", "folder"}, "cannot find the launcher 'folder'"},
	        {{"--kernel", dir + "/fifo"},
	         "cannot read the kernel image " + dir + "/fifo: it is a FIFO, not a regular file"},
	};
	// Where folder/ is found by its name, "" in PATH being the folder
	// the runner is in.
	char here[4096];
	ASSERT_TRUE(getcwd(here, sizeof here));
	std::string path = getenv("PATH");
	ASSERT_EQ(chdir(dir.c_str()), 0);
	setenv("PATH", (":" + path).c_str(), 1);
	for (const auto &c : cases) {
		options o;
		std::vector<scenario> plan;
		std::string why;
		bool ok = parsed(c.words, o, why) && prepare(o, plan, why);
		EXPECT_EQ(ok, c.says.empty()) << c.words[1] << ": " << why;
		EXPECT_TRUE(why.starts_with(c.says)) << why;
	}
	// A relative folder is made whole.
	options o;
	std::vector<scenario> plan;
	std::string why;
	EXPECT_TRUE(parsed({"--dir", "folder"}, o, why) && prepare(o, plan, why)) << why;
	char *whole = realpath(dir.c_str(), nullptr);
	EXPECT_EQ(o.dir, std::string(whole) + "/folder");
	free(whole);
	setenv("PATH", path.c_str(), 1);
	ASSERT_EQ(chdir(here), 0);
}

// A scale this runner takes reaches a guest or another machine as the
// same number: what limit_options writes reads back unchanged.
TEST(ReadOptions, ATimeScaleGoesOnUnchanged)
{
	for (double x : {0.01, 0.1, 1.0 / 3, 2.5, 999.999999, 1000.0}) {
		options o, back;
		o.time_scale = x;
		std::string why;
		ASSERT_TRUE(parsed(limit_options(o), back, why)) << why;
		EXPECT_EQ(back.time_scale, x) << x;
	}
}

}  // namespace
