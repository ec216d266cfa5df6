// The runner's small readers, called directly: the splitting of a
// launcher's words, and what a console's last lines say of a machine that
// did not get as far as the suite.
#include "suite/away/hand_on.h"
#include "suite/plan/options.h"
#include "suite/text.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

TEST(Split, BlanksSeparateQuotesGroupAndABackslashTakesTheNextCharacter)
{
	struct {
		std::string line;
		std::vector<std::string> words;
	} cases[] = {
	        {"", {}},
	        {" \t\n ", {}},
	        {"valgrind", {"valgrind"}},
	        {"  valgrind  -q\t--error-exitcode=99\n",
	         {"valgrind", "-q", "--error-exitcode=99"}},
	        {"bwrap --dev-bind / /", {"bwrap", "--dev-bind", "/", "/"}},
	        {"sh -c 'exec \"$0\" | cat'", {"sh", "-c", "exec \"$0\" | cat"}},
	        {"a\"b c\"d", {"ab cd"}},
	        {"''", {""}},
	        {"x \"\" y", {"x", "", "y"}},
	        {"a\\ b", {"a b"}},
	        {"\\'", {"'"}},
	        {"a\\", {"a\\"}},
	        {"'a\\'", {"a\\"}},
	        {"\"a\\\"b\"", {"a\"b"}},
	        {"\"tab\there\"", {"tab\there"}},
	        {"'it'\\''s'", {"it's"}},
	};
	for (const auto &c : cases) {
		std::vector<std::string> words = {"before"};
		EXPECT_TRUE(split(c.line, words)) << c.line;
		std::vector<std::string> want = {"before"};
		want.insert(want.end(), c.words.begin(), c.words.end());
		EXPECT_EQ(words, want) << c.line;
	}
}

TEST(Split, UnclosedQuoteIsRefused)
{
	for (const char *line : {"'unclosed", "a \"b", "\"a\\\"", "x '"}) {
		std::vector<std::string> words;
		EXPECT_FALSE(split(line, words)) << line;
	}
}

TEST(Split, ReadsBackTheWordsShellWordsWrote)
{
	for (const std::vector<std::string> &w : {std::vector<std::string>{"valgrind", "-q"},
	                                          {"sh", "-c", "exec \"$0\" | cat"},
	                                          {"it's", "", "a\\b", "tab\tand\nnewline"}}) {
		std::vector<std::string> back;
		EXPECT_TRUE(split(shell_words(w), back)) << shell_words(w);
		EXPECT_EQ(back, w) << shell_words(w);
	}
}

TEST(LastLines, TheLastFourOnOneLineWithoutTimeStampsOrControls)
{
	struct {
		std::string console, says;
	} cases[] = {
	        {"", "the console stayed silent"},
	        {"\n\r\n   \n", "the console stayed silent"},
	        {"one", "the console's last lines: one"},
	        {"one\ntwo\n", "the console's last lines: one | two"},
	        {"1\n2\n3\n4\n5\n6\n", "the console's last lines: 3 | 4 | 5 | 6"},
	        {"a\r\nb\rc\n", "the console's last lines: a | b | c"},
	        {"[    2.574430] Run /init as init process\n",
	         "the console's last lines: Run /init as init process"},
	        {"[ 12.5] x\n[not a stamp] y\n[    1.0]no blank\n",
	         "the console's last lines: x | [not a stamp] y | [    1.0]no blank"},
	        {"   indented\n", "the console's last lines: indented"},
	        {"\033[2J\033[01;01Hboot\033[0m ok\n", "the console's last lines: boot ok"},
	        {"bell\a tab\t del\x7f end\n", "the console's last lines: bell tab del end"},
	        {"[    0.9] Kernel panic - not syncing: Attempted to kill init!\n"
	         "CPU: 0 PID: 1\nCall Trace:\n dump_stack\n panic\n do_exit\n",
	         "Kernel panic - not syncing: Attempted to kill init!; the console's last lines: "
	         "Call Trace: | dump_stack | panic | do_exit"},
	        {"Kernel panic - first\nKernel panic - second\n",
	         "Kernel panic - second; the console's last lines: Kernel panic - first | Kernel "
	         "panic - second"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(last_lines(c.console, "the console"), c.says) << c.console;
	EXPECT_EQ(last_lines("Permission denied (publickey).\r\n", "ssh"),
	          "ssh's last lines: Permission denied (publickey).");
}

}  // namespace
