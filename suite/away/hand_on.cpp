#include "suite/away/hand_on.h"
#include "suite/text.h"

#include <cctype>
#include <sys/wait.h>

// The console's last lines, without control characters, on one line.
std::string last_lines(const std::string &console, const std::string &whose)
{
	std::vector<std::string> lines;
	std::string l;
	for (std::size_t i = 0; i <= console.size(); i++) {
		char c = i < console.size() ? console[i] : '\n';
		if (c == '\033') {  // a terminal sequence: up to its final letter
			while (i + 1 < console.size() && !isalpha((unsigned char)console[i + 1]))
				i++;
			i++;
		} else if (c == '\n' || c == '\r') {
			// Without the kernel's time stamp, "[    2.574430] ".
			std::size_t from = 0;
			if (l.starts_with("[") && l.find("] ") != std::string::npos &&
			    l.find_first_not_of(" 0123456789.", 1) == l.find("] "))
				from = l.find("] ") + 2;
			from = l.find_first_not_of(' ', from);
			if (from != std::string::npos)
				lines.push_back(l.substr(from));
			l.clear();
		} else if ((unsigned char)c >= 0x20 && c != 0x7f) {
			l += c;
		}
	}
	if (lines.empty())
		return whose + " stayed silent";
	// A panic's register dump ends the console: name the panic first.
	std::string tail;
	for (const std::string &line : lines)
		if (line.starts_with("Kernel panic - "))
			tail = line + "; ";
	tail += whose + "'s last lines: ";
	std::size_t from = lines.size() > 4 ? lines.size() - 4 : 0;
	for (std::size_t i = from; i < lines.size(); i++)
		tail += (i == from ? "" : " | ") + lines[i];
	return tail;
}

namespace
{

// Why the guest's results are missing or cut short.
std::string missing(const away_link &l, const bounds &b, const away_names &n)
{
	if (!l.g.broken.empty())
		return l.g.broken;
	if (!l.g.refused.empty())
		return l.g.refused;
	std::string how =
	        !l.ended ? ""
	        : WIFEXITED(l.status)
	                ? n.what + " ended with status " + std::to_string(WEXITSTATUS(l.status))
	                : n.what + " was killed by signal " + std::to_string(WTERMSIG(l.status));
	std::string why;
	if (!l.g.ready)
		why = l.ended ? "the suite did not start " + n.where + " (" + how + ")"
		              : "the suite did not start " + n.where + " within " +
		                        fixed(b.start, 0) + " s";
	else
		why = l.ended ? "the guest stopped before it sent this result (" + how + ")"
		              : "the suite " + n.where + " did not finish within " +
		                        fixed(b.run, 0) + " s";
	return why + "; " + last_lines(l.console_text, n.whose);
}

}  // namespace

bool hand_on(const std::vector<scenario> &plan, away_link &l, const bounds &b, const away_names &n,
             std::string why, const take_run &take, platform &on)
{
	if (why.empty() && (!l.g.done || !l.g.broken.empty()))
		why = missing(l, b, n);
	for (std::size_t i = 0; i < plan.size(); i++) {
		auto got = l.g.results.find(title(plan[i]));
		run_result r;
		if (got != l.g.results.end())
			r = std::move(got->second);
		else if (l.stopped && l.g.broken.empty())
			r.interrupted = true;
		else
			r.setup = why.empty() ? "the guest sent no result for it" : why;
		take(i, 0, std::move(r));
	}
	if (!l.g.ready)
		return false;
	on.kernel = l.g.on.kernel;
	on.machine = l.g.on.machine;
	on.processors = l.g.on.processors;
	return true;
}

void unarranged(const std::vector<scenario> &plan, const take_run &take, const std::string &why)
{
	for (std::size_t i = 0; i < plan.size(); i++) {
		run_result r;
		r.setup = why;
		take(i, 0, std::move(r));
	}
}
