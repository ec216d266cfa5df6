// The matrix as one web page, with nothing to fetch and no script: a row
// per scenario, a column per platform, each cell its outcome in the text
// report's colour, opening its transcript and verdict. A header names
// each platform's kernel, C library and launcher; the cells that differ
// from the first platform's are marked and listed.
#include "suite/report/html.h"
#include "suite/matrix/matrix.h"
#include "suite/report/output.h"
#include "suite/report/terminal.h"
#include "suite/text.h"

#include <cstdlib>
#include <cstring>

namespace
{

// text as HTML: the markup characters escaped, a byte that is not UTF-8
// replaced.
std::string markup(const std::string &text)
{
	std::string h;
	for (std::size_t i = 0; i < text.size();) {
		unsigned long code;
		std::size_t n = utf8_length(text, i, &code);
		if (n == 0) {
			h += "\xef\xbf\xbd";
			i++;
			continue;
		}
		if (const char *e = markup_entity(text[i]))
			h += e;
		else
			h += text.substr(i, n);
		i += n;
	}
	return h;
}

// Text from outside as HTML, its control characters escaped.
std::string html(const std::string &text)
{
	return markup(escaped(text));
}

// The outcome's class: its name in the record, a word.
std::string css_class(outcome o)
{
	std::string name = form(o).name;
	for (char &c : name)
		if (c == ' ')
			c = '-';
	return "o-" + name;
}

// The outcome's terminal colour (an SGR sequence: 1 bold, 31 red, 32
// green, 33 yellow, 36 cyan) as CSS.
std::string css_colour(outcome o)
{
	static const char *const colours[] = {"#222",    "#b3261e", "#1b7f2a", "#8a5a00",
	                                      "#1f4fb3", "#7b2d8e", "#00708a", "#666"};
	std::string css;
	for (const char *p = form(o).colour; *p; p++) {
		if (*p < '0' || *p > '9')
			continue;
		long n = strtol(p, (char **)&p, 10);
		if (n == 1)
			css += "font-weight:bold;";
		else if (n >= 30 && n <= 37)
			css += std::string("color:") + colours[n - 30] + ";";
		if (!*p)
			break;
	}
	return css;
}

const char style[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1em 1.5em;color:#222;position:relative}
h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.1em;margin:1.2em 0 .4em}
table{border-collapse:collapse}
th,td{border:1px solid #ccc;padding:2px 5px;vertical-align:top;text-align:left}
thead th{background:#f2f2f2}
table.platforms td,table.platforms th{font-size:12px}
table.matrix{width:100%;table-layout:fixed}
table.matrix col.title{width:15em}
table.matrix thead th{font-size:12px;overflow-wrap:anywhere}
table.matrix tbody th{font-weight:normal;font-size:12px;overflow-wrap:anywhere}
table.matrix td{font-size:12px}
td.differs{outline:2px solid #b3261e;outline-offset:-2px;background:#fdf0ef}
td.none{color:#999}
summary{cursor:pointer;list-style:none}
summary::-webkit-details-marker{display:none}
td.differs summary{position:relative;padding-right:.7em}
td.differs summary::after{content:"\2260";position:absolute;right:-2px;top:-3px;font-size:11px}
details[open]>div{position:absolute;left:0;right:0;z-index:2;background:#fff;
 border:1px solid #888;box-shadow:0 3px 12px #0004;padding:.5em 1em;font-weight:normal;color:#222}
pre{margin:.3em 0;font:12px/1.35 ui-monospace,monospace;white-space:pre-wrap;overflow-wrap:anywhere}
p.verdict{margin:.2em 0;font-family:ui-monospace,monospace;font-size:12px}
p.legend{font-size:12px}
ul.differences{font-size:13px;padding-left:1.2em}
)";

void header(FILE *f, const matrix &m)
{
	std::string date = m.platforms.empty() ? "" : m.platforms[0].r.on.started;
	fprintf(f, "<h1>%s checked side by side</h1>\n",
	        counted((long)m.platforms.size(), "platform", "platforms").c_str());
	if (!m.platforms.empty())
		fprintf(f,
		        "<p>Started %s; %s s in all. The first platform, %s, is the reference: "
		        "a cell marked &#x2260; differs from it. Each cell opens its "
		        "transcript, each line's end shown as $, and its verdict.</p>\n",
		        html(date).c_str(), fixed(m.seconds, 1).c_str(),
		        html(m.platforms[0].name).c_str());
	fprintf(f, "<table class=\"platforms\">\n<thead><tr><th>platform</th><th>kernel</th>"
	           "<th>C library</th><th>launcher</th><th>ran on</th><th>started</th></tr>"
	           "</thead>\n<tbody>\n");
	for (const column &c : m.platforms) {
		const platform &p = c.r.on;
		std::string launcher;
		for (const std::string &w : p.launcher)
			launcher += (launcher.empty() ? "" : " ") + w;
		std::string libc = p.libc + (p.libc_version.empty() ? "" : " " + p.libc_version) +
		                   (p.static_probes ? ", static" : "");
		std::string where = !p.where.empty() ? p.where : p.kernel.empty() ? "" : "here";
		fprintf(f,
		        "<tr><th>%s</th><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></"
		        "tr>\n",
		        html(c.name).c_str(),
		        html(p.kernel + (p.image.empty() ? "" : " (" + p.image + ")")).c_str(),
		        html(libc).c_str(), html(launcher.empty() ? "none" : launcher).c_str(),
		        html(where).c_str(), html(p.started).c_str());
	}
	fprintf(f, "</tbody>\n</table>\n");
}

// What a cell opens: the verdict, the counts of a repeated run, the
// transcript.
std::string opened(const tally &t, int repeat)
{
	std::string text;
	char *buf = nullptr;
	std::size_t size = 0;
	if (FILE *s = open_memstream(&buf, &size)) {
		show_stream(s, "stdout", t.got.out, "");
		show_stream(s, "stderr", t.got.err, "");
		if (fclose(s) == 0)
			text.assign(buf, size);
		free(buf);
	}
	std::string v = std::string("verdict: ") + form(t.j.result).word +
	                (t.j.why.empty() ? "" : ": " + t.j.why) +
	                (t.runs > 0 ? " (" + ending(t.got) + ")" : "");
	std::string h = "<p class=\"verdict\">" + html(v) + "</p>";
	if (!t.j.listed.empty())
		h += "<p class=\"verdict\">listed as a known difference: " + html(t.j.listed) +
		     "</p>";
	if (repeat > 1)
		h += "<p class=\"verdict\">runs: " + html(counts(t)) + "</p>";
	return h + "<pre>" + markup(text) + "</pre>";  // escaped already
}

void cells(FILE *f, const matrix &m)
{
	fprintf(f, "<table class=\"matrix\" id=\"matrix\">\n<colgroup><col class=\"title\">");
	for (std::size_t i = 0; i < m.platforms.size(); i++)
		fprintf(f, "<col>");
	fprintf(f, "</colgroup>\n<thead><tr><th>scenario</th>");
	for (const column &c : m.platforms)
		fprintf(f, "<th>%s</th>", html(c.name).c_str());
	fprintf(f, "</tr></thead>\n<tbody>\n");
	for (const std::string &title : rows(m)) {
		fprintf(f, "<tr><th scope=\"row\">%s</th>", html(title).c_str());
		const tally *ref = m.platforms.empty() ? nullptr : cell(m.platforms[0], title);
		for (const column &c : m.platforms) {
			const tally *t = cell(c, title);
			if (!t) {
				fprintf(f, "<td class=\"none\">-</td>");
				continue;
			}
			bool differs = ref && t->j.result != ref->j.result;
			std::string what = html(c.name + ": " + title);
			fprintf(f,
			        "<td class=\"%s%s\" "
			        "title=\"%s\"><details><summary>%s</summary><div>"
			        "<p><b>%s</b></p>%s</div></details></td>",
			        css_class(t->j.result).c_str(), differs ? " differs" : "",
			        (what +
			         (differs ? html(" (differs from " + m.platforms[0].name + ")")
			                  : ""))
			                .c_str(),
			        form(t->j.result).word, what.c_str(),
			        opened(*t, c.r.repeat).c_str());
		}
		fprintf(f, "</tr>\n");
	}
	fprintf(f, "</tbody>\n</table>\n");
}

void legend(FILE *f)
{
	fprintf(f, "<p class=\"legend\">Outcomes:");
	const char *sep = " ";
	for (const outcome_form &o : every_form()) {
		fprintf(f, "%s<span class=\"%s\">%s</span>", sep, css_class(o.o).c_str(), o.word);
		sep = ", ";
	}
	fprintf(f,
	        ". An <span class=\"%s\">%s</span> kept the contract as far as the runner "
	        "could check: its verdict says what it could not.</p>\n",
	        css_class(outcome::unverified).c_str(), form(outcome::unverified).word);
}

void listed(FILE *f, const matrix &m)
{
	if (m.platforms.size() < 2)
		return;
	std::vector<difference> d = differences(m);
	fprintf(f, "<h2>Where the outcome differs from %s's</h2>\n",
	        html(m.platforms[0].name).c_str());
	if (d.empty())
		fprintf(f, "<p>Nowhere.</p>\n");
	else
		fprintf(f, "<ul class=\"differences\">\n");
	for (const difference &x : d)
		fprintf(f, "<li>%s: %s: <span class=\"%s\">%s</span>%s%s</li>\n",
		        html(x.platform).c_str(), html(x.title).c_str(),
		        css_class(x.t->j.result).c_str(), form(x.t->j.result).word,
		        x.reason.empty() ? "" : ": ", html(x.reason).c_str());
	if (!d.empty())
		fprintf(f, "</ul>\n");
}

}  // namespace

void report_html(FILE *f, const matrix &m)
{
	fprintf(f,
	        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
	        "<meta name=\"viewport\" content=\"width=device-width\">\n"
	        "<title>probesuite: %s</title>\n<style>%s",
	        counted((long)m.platforms.size(), "platform", "platforms").c_str(), style);
	for (const outcome_form &o : every_form())
		fprintf(f, ".%s{%s}\n", css_class(o.o).c_str(), css_colour(o.o).c_str());
	fprintf(f, "</style>\n</head>\n<body>\n");
	header(f, m);
	cells(f, m);
	legend(f);
	listed(f, m);
	fprintf(f, "</body>\n</html>\n");
}
